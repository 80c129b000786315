// orv.krige._kriging: the kriging engine for Python.
//
// A Samples object holds the prepared samples (their arrays' memory held through the buffer
// protocol, so it cannot move or be resized), the model and the drift, with the k-d tree and
// the one factorisation of global kriging built when it is made: every later call reuses them.
// predict() krigs targets into output arrays the caller allocated; leave_one_out() gives
// global kriging's leave-one-out from the factorisation. The Python front end validates and
// prepares every argument; this layer still checks the shapes and types it relies on, and
// runs the engine with the interpreter lock released.
#include "common/array_buffer.hpp"
#include "common/interpreter_interrupt.hpp"
#include "common/owned_ref.hpp"
#include "engine/kriging_engine.hpp"

#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

namespace {

using krige::Access;
using krige::Float64Buffer;
using krige::Int64Buffer;
using krige::Ref;
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

// The engine call with the interpreter lock released and progress reported; -1 with an
// exception when it did not finish.
template <class Call> int run_released(PyObject *progress, Call &&call) {
    krige::ProgressCounter counter;
    krige::RunStatus status;
    try {
        krige::ReleasedInterpreter released(progress, &counter);
        status = call(released, progress == Py_None ? nullptr : &counter);
    } catch (const std::bad_alloc &) {
        status = krige::RunStatus::out_of_memory;
    }
    if (krige::raise_for(status) < 0) return -1;
    return krige::report_progress(progress, counter);
}

// The three output arrays of `count` targets, each checked before the next is requested.
struct OutputBuffers {
    OutputBuffers(PyObject *estimate_object, PyObject *variance_object, PyObject *neighbours_object,
                  Py_ssize_t count)
        : estimate(estimate_object, 1, Access::write, "estimate"),
          variance(check_length(estimate, count, "estimate") ? variance_object : nullptr, 1,
                   Access::write, "variance"),
          used(variance && check_length(variance, count, "variance") ? neighbours_object : nullptr,
               1, Access::write, "neighbours"),
          valid(used && check_length(used, count, "neighbours")) {}
    engine::KrigingOutput output() const { return {estimate.data(), variance.data(), used.data()}; }
    Float64Buffer estimate, variance;
    Int64Buffer used;
    bool valid;
};

// What a Samples object owns. The buffers come first: the engine's samples point into them.
struct SampleData {
    SampleData(PyObject *points_object, PyObject *values_object, PyObject *drift_object)
        : points(points_object, 2, Access::read, "points"),
          values(points ? values_object : nullptr, 1, Access::read, "values"),
          drift_points(values && drift_object != Py_None ? drift_object : nullptr, 2, Access::read,
                       "drift_points") {}
    Float64Buffer points, values, drift_points;
    std::unique_ptr<engine::KrigingSamples> samples;
};

struct SamplesObject {
    PyObject_HEAD SampleData *data;
};

void samples_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    delete reinterpret_cast<SamplesObject *>(self)->data;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *samples_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Samples() takes positional arguments only");
        return nullptr;
    }
    PyObject *points_object, *values_object, *drift_object;
    int model_code, drift_degree, build_index, factorise;
    double a, b, nugget, shape, mean, centre_x, centre_y, centre_z, scale;
    if (!PyArg_ParseTuple(args, "OOiddddid(ddd)dOpp:Samples", &points_object, &values_object,
                          &model_code, &a, &b, &nugget, &shape, &drift_degree, &mean, &centre_x,
                          &centre_y, &centre_z, &scale, &drift_object, &build_index, &factorise))
        return nullptr;
    if (model_code < 0 || model_code > int(engine::ModelKind::stable) || drift_degree < -1 ||
        drift_degree > 2 || !(scale > 0)) {
        PyErr_SetString(PyExc_ValueError, "Samples: a setting is out of range");
        return nullptr;
    }
    std::unique_ptr<SampleData> data;
    try {
        data = std::make_unique<SampleData>(points_object, values_object, drift_object);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    // Each buffer was requested only once the one before it was valid: a request can run
    // Python code, which must not run with an exception pending.
    if (!data->points || !data->values) return nullptr;
    const Py_ssize_t count = data->points.extent(0);
    const int dimensions = int(data->points.extent(1));
    if (dimensions < 1 || dimensions > 3) {
        PyErr_SetString(PyExc_ValueError, "points must have 1, 2 or 3 columns");
        return nullptr;
    }
    if (!check_length(data->values, count, "values")) return nullptr;
    int drift_dimensions = dimensions;
    if (drift_object != Py_None) {
        if (!data->drift_points) return nullptr;
        drift_dimensions = int(data->drift_points.extent(1));
        if (drift_dimensions < 1 || drift_dimensions > 3) {
            PyErr_SetString(PyExc_ValueError, "drift_points must have 1, 2 or 3 columns");
            return nullptr;
        }
        if (!check_rows(data->drift_points, count, drift_dimensions, "drift_points"))
            return nullptr;
    }
    engine::SampleSettings settings;
    settings.points = data->points.data();
    settings.values = data->values.data();
    settings.count = count;
    settings.dimensions = dimensions;
    settings.model = engine::CovarianceModel(engine::ModelKind(model_code), a, b, nugget, shape);
    settings.drift_degree = drift_degree;
    settings.mean = mean;
    settings.centre[0] = centre_x;
    settings.centre[1] = centre_y;
    settings.centre[2] = centre_z;
    settings.scale = scale;
    if (drift_object != Py_None) {
        settings.drift_points = data->drift_points.data();
        settings.drift_dimensions = drift_dimensions;
    }
    try {
        data->samples = std::make_unique<engine::KrigingSamples>(settings);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    engine::KrigingSamples &samples = *data->samples;
    const int built =
        run_released(Py_None, [&](krige::Interrupt &interrupt, krige::ProgressCounter *) {
            krige::RunStatus status = krige::RunStatus::finished;
            if (build_index) status = samples.build_index(interrupt);
            if (status == krige::RunStatus::finished && factorise)
                status = samples.factorise(interrupt);
            return status;
        });
    if (built < 0) return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<SamplesObject *>(self)->data = data.release();
    return self;
}

const engine::KrigingSamples &samples_of(PyObject *self) {
    return *reinterpret_cast<SamplesObject *>(self)->data->samples;
}

PyObject *samples_predict(PyObject *self, PyObject *args) {
    PyObject *targets_object, *drift_targets_object, *offsets_object, *labels_object,
        *target_labels_object, *estimate_object, *variance_object, *neighbours_object, *progress;
    int point, threads;
    double max_distance2;
    long long neighbours, min_neighbours, chunk;
    if (!PyArg_ParseTuple(args, "OOOpLdLOOiLOOOO:predict", &targets_object, &drift_targets_object,
                          &offsets_object, &point, &neighbours, &max_distance2, &min_neighbours,
                          &labels_object, &target_labels_object, &threads, &chunk, &estimate_object,
                          &variance_object, &neighbours_object, &progress))
        return nullptr;
    const engine::KrigingSamples &samples = samples_of(self);
    const engine::SampleSettings &s = samples.settings();
    if (neighbours < 0 || min_neighbours < 0 || std::isnan(max_distance2)) {
        PyErr_SetString(PyExc_ValueError, "predict: a setting is out of range");
        return nullptr;
    }
    if (neighbours > 0 && samples.index() == nullptr) {
        PyErr_SetString(PyExc_ValueError, "predict: these samples have no neighbour index");
        return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    Float64Buffer targets(targets_object, 2, Access::read, "targets");
    if (!check_rows(targets, -1, s.dimensions, "targets")) return nullptr;
    const Py_ssize_t target_count = targets.extent(0);
    const bool has_drift = s.drift_points != nullptr;
    if (has_drift != (drift_targets_object != Py_None)) {
        PyErr_SetString(PyExc_ValueError,
                        "drift_targets are needed exactly when the samples have drift_points");
        return nullptr;
    }
    Float64Buffer drift_targets(has_drift ? drift_targets_object : nullptr, 2, Access::read,
                                "drift_targets");
    if (has_drift && !check_rows(drift_targets, target_count, s.drift_dimensions, "drift_targets"))
        return nullptr;
    Float64Buffer offsets(offsets_object, 2, Access::read, "offsets");
    if (!check_rows(offsets, -1, s.dimensions, "offsets")) return nullptr;
    if (offsets.extent(0) < 1) {
        PyErr_SetString(PyExc_ValueError, "offsets must hold at least one row");
        return nullptr;
    }
    const bool has_labels = labels_object != Py_None;
    if (has_labels != (target_labels_object != Py_None)) {
        PyErr_SetString(PyExc_ValueError, "labels and target_labels go together");
        return nullptr;
    }
    Int64Buffer labels(has_labels ? labels_object : nullptr, 1, Access::read, "labels");
    if (has_labels && !check_length(labels, s.count, "labels")) return nullptr;
    Int64Buffer target_labels(has_labels ? target_labels_object : nullptr, 1, Access::read,
                              "target_labels");
    if (has_labels && !check_length(target_labels, target_count, "target_labels")) return nullptr;
    if (has_labels && neighbours == 0) {
        PyErr_SetString(PyExc_ValueError, "labels need a neighbourhood (neighbours > 0)");
        return nullptr;
    }
    const OutputBuffers outputs(estimate_object, variance_object, neighbours_object, target_count);
    if (!outputs.valid) return nullptr;

    engine::TargetSettings settings;
    settings.neighbours = neighbours;
    settings.max_distance2 = max_distance2;
    settings.min_neighbours = min_neighbours;
    if (has_labels) {
        settings.labels = {labels.data(), std::size_t(s.count)};
        settings.target_labels = {target_labels.data(), std::size_t(target_count)};
    }
    settings.targets = targets.data();
    settings.target_count = target_count;
    settings.drift_targets = has_drift ? drift_targets.data() : nullptr;
    settings.offsets = offsets.data();
    settings.offset_count = offsets.extent(0);
    settings.point = point != 0;
    settings.chunk = chunk;
    const engine::KrigingOutput output = outputs.output();

    engine::KrigingResult result;
    if (run_released(progress, [&](krige::Interrupt &interrupt, krige::ProgressCounter *counter) {
            settings.progress = counter;
            result = engine::krige_targets(samples, settings, output, threads, interrupt);
            return result.status;
        }) < 0)
        return nullptr;
    return PyLong_FromLongLong(result.failed);
}

PyObject *samples_leave_one_out(PyObject *self, PyObject *args) {
    PyObject *estimate_object, *variance_object, *neighbours_object, *progress;
    long long min_neighbours;
    int threads;
    if (!PyArg_ParseTuple(args, "LiOOOO:leave_one_out", &min_neighbours, &threads, &estimate_object,
                          &variance_object, &neighbours_object, &progress))
        return nullptr;
    const engine::KrigingSamples &samples = samples_of(self);
    const Py_ssize_t count = samples.settings().count;
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    const OutputBuffers outputs(estimate_object, variance_object, neighbours_object, count);
    if (!outputs.valid) return nullptr;
    const engine::KrigingOutput output = outputs.output();
    engine::KrigingResult result;
    if (run_released(progress, [&](krige::Interrupt &interrupt, krige::ProgressCounter *counter) {
            result =
                engine::leave_one_out(samples, min_neighbours, output, threads, interrupt, counter);
            return result.status;
        }) < 0)
        return nullptr;
    return PyLong_FromLongLong(result.failed);
}

PyObject *samples_factorised(PyObject *self, void *) {
    return PyBool_FromLong(samples_of(self).factorised());
}

PyMethodDef samples_methods[] = {
    {"predict", samples_predict, METH_VARARGS,
     "predict($self, targets, drift_targets, offsets, point, neighbours, max_distance2, "
     "min_neighbours, labels, target_labels, threads, chunk, estimate, variance, "
     "neighbours_used, progress, /)\n--\n\n"
     "Krigs the targets into the output arrays; returns the number of failed systems."},
    {"leave_one_out", samples_leave_one_out, METH_VARARGS,
     "leave_one_out($self, min_neighbours, threads, estimate, variance, neighbours_used, "
     "progress, /)\n--\n\n"
     "Global kriging of each sample from the others; returns the number of failures."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef samples_getset[] = {
    {"factorised", samples_factorised, nullptr,
     "True when the system of every sample was factorised (global kriging).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot samples_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(samples_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(samples_dealloc)},
    {Py_tp_methods, samples_methods},
    {Py_tp_getset, samples_getset},
    {Py_tp_doc,
     const_cast<char *>(
         "Samples(points, values, model, a, b, nugget, shape, drift_degree, mean, centre, "
         "scale, drift_points, build_index, factorise, /)\n--\n\n"
         "Prepared kriging samples with their neighbour index and factorisation.")},
    {0, nullptr}};

PyType_Spec samples_spec = {"orv.krige._kriging.Samples", sizeof(SamplesObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, samples_slots};

int kriging_exec(PyObject *module) {
    const Ref type(PyType_FromModuleAndSpec(module, &samples_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "Samples", type.get());
}

PyModuleDef_Slot kriging_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(kriging_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr}};

PyModuleDef kriging_module = {PyModuleDef_HEAD_INIT,
                              "_kriging",
                              "Native kriging engine.",
                              0,
                              nullptr,
                              kriging_slots,
                              nullptr,
                              nullptr,
                              nullptr};

} // namespace

PyMODINIT_FUNC PyInit__kriging(void) {
    return PyModuleDef_Init(&kriging_module);
}
