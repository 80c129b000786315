// orv.krige._kriging: the kriging engine for Python.
//
// krige() krigs the targets from the samples into output arrays the caller allocated. The
// Python front end validates and prepares every argument (coordinates transformed, duplicates
// merged); this layer still checks the shapes and types it relies on, and runs the engine with
// the interpreter lock released.
#include "common/array_buffer.hpp"
#include "common/interpreter_interrupt.hpp"
#include "common/owned_ref.hpp"
#include "engine/kriging_engine.hpp"

#include <cmath>
#include <cstdint>
#include <new>

namespace {

using krige::Access;
using krige::Float64Buffer;
using krige::Int64Buffer;
namespace engine = krige::engine;

bool check_rows(const Float64Buffer &buffer, Py_ssize_t rows, int columns, const char *name) {
    if (!buffer) return false;
    if ((rows >= 0 && buffer.extent(0) != rows) || buffer.extent(1) != columns) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (%zd, %d); got (%zd, %zd)", name, rows,
                     columns, buffer.extent(0), buffer.extent(1));
        return false;
    }
    return true;
}

template <class Buffer>
bool check_length(const Buffer &buffer, Py_ssize_t length, const char *name) {
    if (!buffer) return false;
    if (buffer.extent(0) != length) {
        PyErr_Format(PyExc_ValueError, "%s must have %zd items; got %zd", name, length,
                     buffer.extent(0));
        return false;
    }
    return true;
}

PyObject *krige_call(PyObject *, PyObject *args) {
    PyObject *drift_points_object, *drift_targets_object;
    PyObject *points_object, *values_object, *labels_object, *targets_object, *target_labels_object,
        *offsets_object, *estimate_object, *variance_object, *neighbours_object;
    int model_code, drift_degree, point, threads;
    double a, b, nugget, mean, centre_x, centre_y, centre_z, scale, max_distance2;
    double shape = 0.0; // optional last argument: Matérn smoothness or Stable exponent
    long long neighbours, min_neighbours, chunk;
    if (!PyArg_ParseTuple(args, "OOidddid(ddd)dOOLdLOOOOpiLOOO|d:krige", &points_object,
                          &values_object, &model_code, &a, &b, &nugget, &drift_degree, &mean,
                          &centre_x, &centre_y, &centre_z, &scale, &drift_points_object,
                          &drift_targets_object, &neighbours, &max_distance2, &min_neighbours,
                          &labels_object, &targets_object, &target_labels_object, &offsets_object,
                          &point, &threads, &chunk, &estimate_object, &variance_object,
                          &neighbours_object, &shape))
        return nullptr;
    if (model_code < 0 || model_code > 7 || !std::isfinite(shape) || drift_degree < -1 ||
        drift_degree > 2 || neighbours < 0 || min_neighbours < 0 || !(scale > 0) ||
        std::isnan(max_distance2)) {
        PyErr_SetString(PyExc_ValueError, "krige: a setting is out of range");
        return nullptr;
    }
    Float64Buffer points(points_object, 2, Access::read, "points");
    if (!points) return nullptr;
    const Py_ssize_t count = points.extent(0);
    const int dimensions = int(points.extent(1));
    if (dimensions < 1 || dimensions > 3) {
        PyErr_SetString(PyExc_ValueError, "points must have 1, 2 or 3 columns");
        return nullptr;
    }
    Float64Buffer values(values_object, 1, Access::read, "values");
    if (!check_length(values, count, "values")) return nullptr;
    Float64Buffer targets(targets_object, 2, Access::read, "targets");
    if (!check_rows(targets, -1, dimensions, "targets")) return nullptr;
    const Py_ssize_t target_count = targets.extent(0);
    Float64Buffer offsets(offsets_object, 2, Access::read, "offsets");
    if (!check_rows(offsets, -1, dimensions, "offsets")) return nullptr;
    if (offsets.extent(0) < 1) {
        PyErr_SetString(PyExc_ValueError, "offsets must hold at least one row");
        return nullptr;
    }
    const bool has_labels = labels_object != Py_None;
    if (has_labels != (target_labels_object != Py_None)) {
        PyErr_SetString(PyExc_ValueError, "labels and target_labels go together");
        return nullptr;
    }
    // Each buffer is checked before the next is requested: a request can run Python code,
    // which must not run with an exception pending.
    Int64Buffer labels(has_labels ? labels_object : nullptr, 1, Access::read, "labels");
    if (has_labels && !check_length(labels, count, "labels")) return nullptr;
    Int64Buffer target_labels(has_labels ? target_labels_object : nullptr, 1, Access::read,
                              "target_labels");
    if (has_labels && !check_length(target_labels, target_count, "target_labels")) return nullptr;
    const bool has_drift_points = drift_points_object != Py_None;
    if (has_drift_points != (drift_targets_object != Py_None)) {
        PyErr_SetString(PyExc_ValueError, "drift_points and drift_targets go together");
        return nullptr;
    }
    Float64Buffer drift_points(has_drift_points ? drift_points_object : nullptr, 2, Access::read,
                               "drift_points");
    int drift_dimensions = dimensions;
    if (has_drift_points) {
        if (!drift_points) return nullptr;
        drift_dimensions = int(drift_points.extent(1));
        if (drift_dimensions < 1 || drift_dimensions > 3) {
            PyErr_SetString(PyExc_ValueError, "drift_points must have 1, 2 or 3 columns");
            return nullptr;
        }
        if (!check_rows(drift_points, count, drift_dimensions, "drift_points")) return nullptr;
    }
    Float64Buffer drift_targets(has_drift_points ? drift_targets_object : nullptr, 2, Access::read,
                                "drift_targets");
    if (has_drift_points &&
        !check_rows(drift_targets, target_count, drift_dimensions, "drift_targets"))
        return nullptr;
    Float64Buffer estimate(estimate_object, 1, Access::write, "estimate");
    if (!check_length(estimate, target_count, "estimate")) return nullptr;
    Float64Buffer variance(variance_object, 1, Access::write, "variance");
    if (!check_length(variance, target_count, "variance")) return nullptr;
    Int64Buffer used(neighbours_object, 1, Access::write, "neighbours");
    if (!check_length(used, target_count, "neighbours")) return nullptr;

    engine::KrigingSettings settings;
    settings.points = points.data();
    settings.values = values.data();
    settings.count = count;
    settings.dimensions = dimensions;
    settings.model = {engine::ModelKind(model_code), a, b, nugget, shape};
    settings.drift_degree = drift_degree;
    settings.mean = mean;
    settings.centre[0] = centre_x;
    settings.centre[1] = centre_y;
    settings.centre[2] = centre_z;
    settings.scale = scale;
    if (has_drift_points) {
        settings.drift_points = drift_points.data();
        settings.drift_targets = drift_targets.data();
        settings.drift_dimensions = drift_dimensions;
    }
    settings.neighbours = neighbours;
    settings.max_distance2 = max_distance2;
    settings.min_neighbours = min_neighbours;
    if (has_labels) {
        settings.labels = {labels.data(), std::size_t(count)};
        settings.target_labels = {target_labels.data(), std::size_t(target_count)};
    }
    settings.targets = targets.data();
    settings.target_count = target_count;
    settings.offsets = offsets.data();
    settings.offset_count = offsets.extent(0);
    settings.point = point != 0;
    settings.chunk = chunk;
    const engine::KrigingOutput output{estimate.data(), variance.data(), used.data()};

    engine::KrigingResult result;
    try {
        krige::ReleasedInterpreter released;
        result = engine::krige_targets(settings, output, threads, released);
    } catch (const std::bad_alloc &) {
        result.status = krige::RunStatus::out_of_memory;
    }
    if (krige::raise_for(result.status) < 0) return nullptr;
    return PyLong_FromLongLong(result.failed);
}

PyMethodDef kriging_methods[] = {
    {"krige", krige_call, METH_VARARGS,
     "krige($module, points, values, model, a, b, nugget, drift_degree, mean, centre, scale, "
     "drift_points, drift_targets, "
     "neighbours, max_distance2, min_neighbours, labels, targets, target_labels, offsets, point, "
     "threads, chunk, estimate, variance, neighbours_used, shape=0.0, /)\n--\n\n"
     "Krigs the targets into the output arrays; returns the number of failed systems."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot kriging_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, {0, nullptr}};

PyModuleDef kriging_module = {PyModuleDef_HEAD_INIT,
                              "_kriging",
                              "Native kriging engine.",
                              0,
                              kriging_methods,
                              kriging_slots,
                              nullptr,
                              nullptr,
                              nullptr};

} // namespace

PyMODINIT_FUNC PyInit__kriging(void) {
    return PyModuleDef_Init(&kriging_module);
}
