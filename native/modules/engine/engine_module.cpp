// orv.krige._engine: the pair engine of the public variogram.
//
// pair_sums counts the pairs of a set of samples in each distance class and returns each class's
// correctly rounded mean distance and mean per-pair value. pair_state does the same work on a
// block of pairs and returns the exact sums as an int64 array, which merge_states adds up and
// finish_state turns into the same result. The Python front end validates and converts the
// arguments; this module still checks every shape, type and range it relies on.
#include "common/array_buffer.hpp"
#include "common/owned_ref.hpp"
#include "engine/variogram_tiles.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <optional>

namespace {

using krige::Access;
using krige::Float64Buffer;
using krige::Int64Buffer;
using krige::Ref;
namespace engine = krige::engine;

// Below 2^32 samples every index fits 32 bits and no class count can overflow int64.
constexpr Py_ssize_t most_samples = Py_ssize_t(0xfffffffe);

bool wrong_argument_count(const char *function, Py_ssize_t expected, Py_ssize_t given) {
    if (given == expected) return false;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments (%zd given)", function,
                 expected, given);
    return true;
}

// A new one-dimensional NumPy array of `length` items of `dtype`, copied from `data`.
Ref new_array(const char *dtype, std::size_t length, const void *data) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return Ref();
    Ref array(PyObject_CallMethod(numpy.get(), "empty", "ns", Py_ssize_t(length), dtype));
    if (!array) return Ref();
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0)
        return Ref();
    if (std::size_t(view.len) != length * 8) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_SystemError, "numpy.empty gave an array of another size");
        return Ref();
    }
    if (length > 0) std::memcpy(view.buf, data, length * 8);
    PyBuffer_Release(&view);
    return array;
}

PyObject *means_tuple(const engine::ClassMeans &means) {
    const std::size_t n = means.counts.size();
    Ref counts = new_array("int64", n, means.counts.data());
    if (!counts) return nullptr;
    Ref distances = new_array("float64", n, means.distances.data());
    if (!distances) return nullptr;
    Ref values = new_array("float64", n, means.values.data());
    if (!values) return nullptr;
    return PyTuple_Pack(3, counts.get(), distances.get(), values.get());
}

// The samples of one set: points (N, d) and values (N,), both float64 and C-contiguous.
struct Samples {
    Float64Buffer points, values;
    engine::SampleArrays arrays{};

    Samples(PyObject *points_object, PyObject *values_object, const char *points_name,
            const char *values_name)
        : points(points_object, 2, Access::read, points_name),
          values(values_object, 1, Access::read, values_name) {}

    bool check(const char *which, bool geographic) {
        if (!points || !values) return false;
        const Py_ssize_t size = points.extent(0), columns = points.extent(1);
        if (geographic ? columns != 2 : (columns < 1 || columns > 3)) {
            PyErr_Format(PyExc_ValueError, "%s must have %s columns; got %zd", which,
                         geographic ? "2 (longitude, latitude)" : "1, 2 or 3", columns);
            return false;
        }
        if (values.extent(0) != size) {
            PyErr_Format(PyExc_ValueError, "%s: %zd points but %zd values", which, size,
                         values.extent(0));
            return false;
        }
        if (size > most_samples) {
            PyErr_Format(PyExc_ValueError, "%s: at most %zd samples", which, most_samples);
            return false;
        }
        arrays = {points.data(), values.data(), std::size_t(size), int(columns)};
        return true;
    }
};

// Edges, coordinate type, estimator, direction and bandwidth, as the functions take them.
struct Settings {
    Float64Buffer edges;
    engine::PairSettings pair{};

    explicit Settings(PyObject *edges_object) : edges(edges_object, 1, Access::read, "edges") {}

    bool parse(PyObject *geographic_object, PyObject *estimator_object, PyObject *direction_object,
               PyObject *bandwidth_object, PyObject *threads_object) {
        if (!edges) return false;
        const std::span<const double> e(edges.data(), std::size_t(edges.extent(0)));
        if (e.size() < 2) {
            PyErr_SetString(PyExc_ValueError, "edges must hold at least 2 values");
            return false;
        }
        for (std::size_t k = 0; k < e.size(); ++k)
            if (!std::isfinite(e[k]) || !(e[k] >= 0.0) || (k > 0 && !(e[k] > e[k - 1]))) {
                PyErr_SetString(PyExc_ValueError,
                                "edges must be finite, non-negative and strictly ascending");
                return false;
            }
        pair.edges = e;
        const int geographic = PyObject_IsTrue(geographic_object);
        if (geographic < 0) return false;
        pair.geographic = geographic != 0;

        const long estimator = PyLong_AsLong(estimator_object);
        if (estimator == -1 && PyErr_Occurred()) return false;
        if (estimator != 0 && estimator != 1) {
            PyErr_SetString(PyExc_ValueError, "estimator must be 0 (matheron) or 1 (cressie)");
            return false;
        }
        pair.estimator = engine::Estimator(estimator);

        if (direction_object != Py_None) {
            if (!PyTuple_Check(direction_object) || PyTuple_GET_SIZE(direction_object) != 3) {
                PyErr_SetString(PyExc_TypeError,
                                "direction must be None or a tuple (ux, uy, cos_tolerance)");
                return false;
            }
            double parts[3];
            for (Py_ssize_t k = 0; k < 3; ++k) {
                parts[k] = PyFloat_AsDouble(PyTuple_GET_ITEM(direction_object, k));
                if (parts[k] == -1.0 && PyErr_Occurred()) return false;
            }
            pair.directional = true;
            pair.direction.ux = parts[0];
            pair.direction.uy = parts[1];
            pair.direction.cos_tolerance = parts[2];
        }
        if (bandwidth_object != Py_None) {
            if (!pair.directional) {
                PyErr_SetString(PyExc_ValueError, "bandwidth needs a direction");
                return false;
            }
            const double bandwidth = PyFloat_AsDouble(bandwidth_object);
            if (bandwidth == -1.0 && PyErr_Occurred()) return false;
            if (!(bandwidth > 0.0) || !std::isfinite(bandwidth)) {
                PyErr_SetString(PyExc_ValueError, "bandwidth must be positive and finite");
                return false;
            }
            pair.direction.has_bandwidth = true;
            pair.direction.bandwidth = bandwidth;
        }

        const long threads = PyLong_AsLong(threads_object);
        if (threads == -1 && PyErr_Occurred()) return false;
        if (threads < 1) {
            PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
            return false;
        }
        pair.threads = int(std::min(threads, 1L << 20));
        return true;
    }

    // A direction is only defined for projected coordinates in the plane.
    bool check_direction(int columns) {
        if (pair.directional && (pair.geographic || columns != 2)) {
            PyErr_SetString(PyExc_ValueError,
                            "direction needs projected coordinates with 2 columns");
            return false;
        }
        return true;
    }

    std::optional<engine::PairAccumulator> accumulator() {
        try {
            return engine::PairAccumulator(pair.edges.size() - 1);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return std::nullopt;
        }
    }
};

std::optional<engine::ClassMeans> rounded_means(const engine::PairAccumulator &accumulator) {
    try {
        return engine::class_means(accumulator);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return std::nullopt;
    }
}

PyObject *pair_sums(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("pair_sums", 9, count)) return nullptr;
    Samples samples(args[0], args[1], "points", "values");
    Settings settings(args[2]);
    if (!settings.parse(args[3], args[4], args[5], args[6], args[8])) return nullptr;
    if (!samples.check("points", settings.pair.geographic) ||
        !settings.check_direction(samples.arrays.columns))
        return nullptr;
    const int prune = PyObject_IsTrue(args[7]);
    if (prune < 0) return nullptr;
    std::optional<engine::PairAccumulator> accumulator = settings.accumulator();
    if (!accumulator || engine::accumulate_pairs(samples.arrays, nullptr, settings.pair, prune != 0,
                                                 *accumulator) < 0)
        return nullptr;
    std::optional<engine::ClassMeans> means = rounded_means(*accumulator);
    return means ? means_tuple(*means) : nullptr;
}

PyObject *state_array(engine::PairAccumulator &accumulator) {
    try {
        std::vector<int64_t> state(engine::state_length(accumulator.classes()));
        engine::write_state(accumulator, state.data());
        return new_array("int64", state.size(), state.data()).release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *pair_state(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("pair_state", 11, count)) return nullptr;
    Samples a(args[0], args[1], "points_a", "values_a");
    Samples b(args[2], args[3], "points_b", "values_b");
    Settings settings(args[4]);
    if (!settings.parse(args[5], args[6], args[7], args[8], args[10])) return nullptr;
    const int same = PyObject_IsTrue(args[9]);
    if (same < 0 || !a.check("points_a", settings.pair.geographic) ||
        !b.check("points_b", settings.pair.geographic) ||
        !settings.check_direction(a.arrays.columns))
        return nullptr;
    if (same ? a.arrays.size != b.arrays.size || a.arrays.columns != b.arrays.columns
             : a.arrays.columns != b.arrays.columns) {
        PyErr_SetString(PyExc_ValueError,
                        same ? "same=True needs the same samples as a and b"
                             : "points_a and points_b must have the same number of columns");
        return nullptr;
    }
    std::optional<engine::PairAccumulator> accumulator = settings.accumulator();
    // Either way of forming the candidates gives the same sums; the grid is the faster one.
    if (!accumulator || engine::accumulate_pairs(a.arrays, same ? nullptr : &b.arrays,
                                                 settings.pair, true, *accumulator) < 0)
        return nullptr;
    return state_array(*accumulator);
}

// Loads a state array into an accumulator; raises ValueError for anything that is not one.
std::optional<engine::PairAccumulator> load_state(PyObject *object, const char *name) {
    Int64Buffer buffer(object, 1, Access::read, name);
    if (!buffer) return std::nullopt;
    const std::size_t classes = engine::state_classes(buffer.values());
    if (classes == 0) {
        PyErr_Format(PyExc_ValueError, "%s is not a pair state", name);
        return std::nullopt;
    }
    try {
        engine::PairAccumulator accumulator(classes);
        if (!engine::read_state(buffer.values(), accumulator)) {
            PyErr_Format(PyExc_ValueError, "%s is not a valid pair state", name);
            return std::nullopt;
        }
        return accumulator;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return std::nullopt;
    }
}

PyObject *merge_states(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("merge_states", 2, count)) return nullptr;
    std::optional<engine::PairAccumulator> a = load_state(args[0], "state_a");
    if (!a) return nullptr;
    std::optional<engine::PairAccumulator> b = load_state(args[1], "state_b");
    if (!b) return nullptr;
    if (a->classes() != b->classes()) {
        PyErr_SetString(PyExc_ValueError, "the states have different numbers of classes");
        return nullptr;
    }
    if (!a->merge(*b)) {
        PyErr_SetString(PyExc_OverflowError, "a class holds more than 2**63 - 1 pairs");
        return nullptr;
    }
    for (std::size_t k = 0; k < a->classes(); ++k)
        if (!(*a)[k].distance.within_bounds() || !(*a)[k].value.within_bounds()) {
            PyErr_SetString(PyExc_OverflowError, "the merged sums exceed a state's range");
            return nullptr;
        }
    return state_array(*a);
}

PyObject *finish_state(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("finish_state", 1, count)) return nullptr;
    std::optional<engine::PairAccumulator> state = load_state(args[0], "state");
    if (!state) return nullptr;
    std::optional<engine::ClassMeans> means = rounded_means(*state);
    return means ? means_tuple(*means) : nullptr;
}

template <auto Function> PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(Function));
}

PyMethodDef engine_methods[] = {
    {"pair_sums", fastcall<pair_sums>(), METH_FASTCALL,
     "pair_sums($module, points, values, edges, geographic, estimator, direction, bandwidth, "
     "prune, threads, /)\n--\n\n"
     "Pair counts and correctly rounded mean distances and per-pair values of each class."},
    {"pair_state", fastcall<pair_state>(), METH_FASTCALL,
     "pair_state($module, points_a, values_a, points_b, values_b, edges, geographic, estimator, "
     "direction, bandwidth, same, threads, /)\n--\n\n"
     "The exact per-class sums of a block of pairs, as an int64 array."},
    {"merge_states", fastcall<merge_states>(), METH_FASTCALL,
     "merge_states($module, state_a, state_b, /)\n--\n\nThe state of the pairs of both states."},
    {"finish_state", fastcall<finish_state>(), METH_FASTCALL,
     "finish_state($module, state, /)\n--\n\n(counts, distance_means, value_means) of a state."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, {0, nullptr}};

PyModuleDef engine_module = {PyModuleDef_HEAD_INIT,
                             "_engine",
                             "Exact pair engine of the public variogram.",
                             0,
                             engine_methods,
                             engine_slots,
                             nullptr,
                             nullptr,
                             nullptr};

} // namespace

PyMODINIT_FUNC PyInit__engine(void) {
    return PyModuleDef_Init(&engine_module);
}
