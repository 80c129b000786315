// orv.krige._engine: the pair engine of the public variogram.
//
// pair_sums counts the pairs of a set of samples in each distance class and returns each class's
// correctly rounded mean distance and mean per-pair value. pair_state does the same work on a
// block of pairs and returns the exact sums as an int64 array, which merge_states adds up and
// finish_state turns into the same result. The Python front end validates and converts the
// arguments; this module still checks every shape, type and range it relies on.
#include "common/array_buffer.hpp"
#include "common/interpreter_interrupt.hpp"
#include "common/numpy_array.hpp"
#include "common/owned_ref.hpp"
#include "common/thread_policy.hpp"
#include "engine/variogram_tiles.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

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

// What the module keeps: numpy.empty, looked up once at import, and the names of the dtypes.
struct EngineState {
    PyObject *empty;
    PyObject *int64;
    PyObject *float64;
};

EngineState &state_of(PyObject *module) {
    return *static_cast<EngineState *>(PyModule_GetState(module));
}

// A new one-dimensional NumPy array of `length` items of `dtype`, copied from `data`.
Ref copied_array(PyObject *module, PyObject *dtype, std::size_t length, const void *data) {
    Ref array = krige::new_array(state_of(module).empty, Py_ssize_t(length), 0, dtype);
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

PyObject *means_tuple(PyObject *module, const engine::ClassMeans &means) {
    const std::size_t n = means.counts.size();
    const EngineState &state = state_of(module);
    Ref counts = copied_array(module, state.int64, n, means.counts.data());
    if (!counts) return nullptr;
    Ref distances = copied_array(module, state.float64, n, means.distances.data());
    if (!distances) return nullptr;
    Ref values = copied_array(module, state.float64, n, means.values.data());
    if (!values) return nullptr;
    return PyTuple_Pack(3, counts.get(), distances.get(), values.get());
}

// The samples of one set: points (N, d) and values (N,), both float64 and C-contiguous. Each
// array is taken only when the one before it was usable, so that no code runs with an
// exception pending.
struct Samples {
    std::optional<Float64Buffer> points, values;
    engine::SampleArrays arrays{};

    bool take(PyObject *points_object, PyObject *values_object, const char *points_name,
              const char *values_name) {
        if (!points.emplace(points_object, 2, Access::read, points_name)) return false;
        return bool(values.emplace(values_object, 1, Access::read, values_name));
    }

    bool check(const char *which, bool geographic) {
        const Py_ssize_t size = points->extent(0), columns = points->extent(1);
        if (geographic ? columns != 2 : (columns < 1 || columns > 3)) {
            PyErr_Format(PyExc_ValueError, "%s must have %s columns; got %zd", which,
                         geographic ? "2 (longitude, latitude)" : "1, 2 or 3", columns);
            return false;
        }
        if (values->extent(0) != size) {
            PyErr_Format(PyExc_ValueError, "%s: %zd points but %zd values", which, size,
                         values->extent(0));
            return false;
        }
        if (size > most_samples) {
            PyErr_Format(PyExc_ValueError, "%s: at most %zd samples", which, most_samples);
            return false;
        }
        arrays = {points->data(), values->data(), std::size_t(size), int(columns)};
        return true;
    }
};

// A truth value; false with an exception set when `object` has none.
bool parse_flag(PyObject *object, bool &flag) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    flag = truth != 0;
    return true;
}

// The thread count: at least 1; counts beyond the engine's maximum run on that many threads.
bool parse_threads(PyObject *object, int &threads) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (count == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && count < 1)) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return false;
    }
    threads =
        overflow > 0 ? krige::most_threads : int(std::min<long long>(count, krige::most_threads));
    return true;
}

// Edges, coordinate type, estimator, direction and bandwidth, as the functions take them, each
// checked as it is read.
struct Settings {
    std::optional<Float64Buffer> edges;
    engine::PairSettings pair{};

    bool parse(PyObject *edges_object, PyObject *geographic_object, PyObject *estimator_object,
               PyObject *direction_object, PyObject *bandwidth_object) {
        if (!edges.emplace(edges_object, 1, Access::read, "edges")) return false;
        const std::span<const double> e(edges->data(), std::size_t(edges->extent(0)));
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
        if (!parse_flag(geographic_object, pair.geographic)) return false;

        const long estimator = PyLong_AsLong(estimator_object);
        if (estimator == -1 && PyErr_Occurred()) return false;
        if (estimator != 0 && estimator != 1) {
            PyErr_SetString(PyExc_ValueError, "estimator must be 0 (matheron) or 1 (cressie)");
            return false;
        }
        pair.estimator = engine::Estimator(estimator);

        if (direction_object != Py_None) {
            const Py_ssize_t size =
                PyTuple_Check(direction_object) ? PyTuple_GET_SIZE(direction_object) : 0;
            if (size != 2 && size != 3) {
                PyErr_SetString(PyExc_TypeError, "direction must be None or a tuple (degrees, "
                                                 "tolerance_degrees[, dip_degrees])");
                return false;
            }
            double parts[3] = {0.0, 0.0, 0.0};
            for (Py_ssize_t k = 0; k < size; ++k) {
                // The tuple's own reference may go while a __float__ runs: hold one.
                Ref part = Ref::borrow(PyTuple_GET_ITEM(direction_object, k));
                parts[k] = PyFloat_AsDouble(part.get());
                if (parts[k] == -1.0 && PyErr_Occurred()) return false;
            }
            if (!std::isfinite(parts[0]) || !std::isfinite(parts[2]) ||
                !(parts[1] > 0.0 && parts[1] <= 90.0)) {
                PyErr_SetString(PyExc_ValueError, "direction must be finite degrees with a "
                                                  "tolerance of 0 < tolerance <= 90 degrees");
                return false;
            }
            pair.directional = true;
            pair.degrees = parts[0];
            pair.tolerance_degrees = parts[1];
            pair.dip_degrees = parts[2];
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
            pair.bandwidth = bandwidth;
        }
        if (pair.directional && pair.geographic)
            pair.bearing =
                engine::BearingFilter(pair.degrees, pair.tolerance_degrees, pair.bandwidth);
        else if (pair.directional)
            pair.direction = engine::DirectionFilter(pair.degrees, pair.dip_degrees,
                                                     pair.tolerance_degrees, pair.bandwidth);
        return true;
    }

    // A direction needs geographic coordinates or projected ones with 2 or 3 columns; a dip
    // needs 3 columns.
    bool check_direction(int columns) {
        if (!pair.directional || pair.geographic) {
            if (pair.directional && pair.dip_degrees != 0.0) {
                PyErr_SetString(PyExc_ValueError, "a dip needs projected coordinates");
                return false;
            }
            return true;
        }
        if (columns < 2 || (pair.dip_degrees != 0.0 && columns != 3)) {
            PyErr_SetString(PyExc_ValueError, "direction needs projected coordinates with 2 or "
                                              "3 columns, and a dip 3 columns");
            return false;
        }
        return true;
    }
};

// Runs the engine with the interpreter lock released, and turns how it ended into an exception.
// With a progress callable (not None), the samples done are counted and reported to it.
bool accumulate(const engine::SampleArrays &a, const engine::SampleArrays *b,
                engine::PairSettings &settings, bool prune, engine::PairAccumulator &accumulator,
                PyObject *progress = Py_None) {
    engine::PairsStatus status;
    krige::ProgressCounter counter;
    settings.progress = progress == Py_None ? nullptr : &counter;
    try {
        krige::ReleasedInterpreter interpreter(progress, &counter);
        status = engine::accumulate_pairs(a, b, settings, prune, accumulator, interpreter);
    } catch (const std::bad_alloc &) {
        settings.progress = nullptr;
        PyErr_NoMemory();
        return false;
    }
    settings.progress = nullptr;
    if (krige::raise_for(status.run) < 0) return false;
    switch (status.samples) {
    case engine::SampleCheck::valid:
        break;
    case engine::SampleCheck::not_finite:
        PyErr_SetString(PyExc_ValueError, "every coordinate and value must be finite");
        return false;
    case engine::SampleCheck::latitude_out_of_range:
        PyErr_SetString(PyExc_ValueError, "latitudes must lie within [-pi/2, pi/2] radians");
        return false;
    case engine::SampleCheck::stopped: // only an interrupt stops the layout
        PyErr_SetString(PyExc_SystemError, "the samples' layout stopped without a cause");
        return false;
    }
    if (status.count_overflow) {
        PyErr_SetString(PyExc_OverflowError, "a class holds more than 2**63 - 1 pairs");
        return false;
    }
    return krige::report_progress(progress, counter) == 0;
}

// The optional last argument: a progress callable or None (the default).
bool parse_progress(PyObject *const *args, Py_ssize_t count, Py_ssize_t at, PyObject *&progress) {
    progress = count > at ? args[at] : Py_None;
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return false;
    }
    return true;
}

bool wrong_argument_range(const char *function, Py_ssize_t least, Py_ssize_t given) {
    if (given == least || given == least + 1) return false;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd or %zd positional arguments (%zd given)",
                 function, least, least + 1, given);
    return true;
}

template <class Make> auto without_bad_alloc(Make make) -> std::optional<decltype(make())> {
    try {
        return make();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return std::nullopt;
    }
}

PyObject *pair_sums(PyObject *module, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_range("pair_sums", 9, count)) return nullptr;
    Samples samples;
    Settings settings;
    bool prune = false;
    int threads = 1;
    PyObject *progress = Py_None;
    if (!samples.take(args[0], args[1], "points", "values") ||
        !settings.parse(args[2], args[3], args[4], args[5], args[6]) ||
        !parse_flag(args[7], prune) || !parse_threads(args[8], threads) ||
        !parse_progress(args, count, 9, progress))
        return nullptr;
    settings.pair.threads = threads;
    if (!samples.check("points", settings.pair.geographic) ||
        !settings.check_direction(samples.arrays.columns))
        return nullptr;
    auto accumulator =
        without_bad_alloc([&] { return engine::PairAccumulator(settings.pair.edges.size() - 1); });
    if (!accumulator ||
        !accumulate(samples.arrays, nullptr, settings.pair, prune, *accumulator, progress))
        return nullptr;
    auto means = without_bad_alloc([&] { return engine::class_means(*accumulator); });
    return means ? means_tuple(module, *means) : nullptr;
}

// The most cells along an axis of a variogram map: each cell that receives pairs holds about a
// kilobyte of exact sums on each thread.
constexpr long long most_cells_per_axis = 1024;

PyObject *map_sums(PyObject *module, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_range("map_sums", 6, count)) return nullptr;
    Samples samples;
    if (!samples.take(args[0], args[1], "points", "values")) return nullptr;
    const double width = PyFloat_AsDouble(args[2]);
    if (width == -1.0 && PyErr_Occurred()) return nullptr;
    const long long per_axis = PyLong_AsLongLong(args[3]);
    if (per_axis == -1 && PyErr_Occurred()) return nullptr;
    const long estimator = PyLong_AsLong(args[4]);
    if (estimator == -1 && PyErr_Occurred()) return nullptr;
    int threads = 1;
    PyObject *progress = Py_None;
    if (!parse_threads(args[5], threads) || !parse_progress(args, count, 6, progress))
        return nullptr;
    if (!(width > 0.0) || !std::isfinite(width) || per_axis < 1 || per_axis > most_cells_per_axis ||
        !std::isfinite(double(per_axis) * width)) {
        PyErr_Format(PyExc_ValueError,
                     "width must be positive and finite and cells_per_axis within 1 .. %lld",
                     most_cells_per_axis);
        return nullptr;
    }
    if (estimator != 0 && estimator != 1) {
        PyErr_SetString(PyExc_ValueError, "estimator must be 0 (matheron) or 1 (cressie)");
        return nullptr;
    }
    if (!samples.check("points", false)) return nullptr;
    if (samples.arrays.columns != 2) {
        PyErr_SetString(PyExc_ValueError, "points must have 2 columns for a variogram map");
        return nullptr;
    }
    auto cells = without_bad_alloc([&] { return engine::LagCells(width, std::size_t(per_axis)); });
    if (!cells) return nullptr;
    const double no_edges[2] = {0.0, 1.0};
    engine::PairSettings settings{};
    settings.edges = std::span<const double>(no_edges, 2);
    settings.estimator = engine::Estimator(estimator);
    settings.cells = &*cells;
    settings.threads = threads;
    auto canonical = without_bad_alloc([&] { return engine::PairAccumulator(cells->cells()); });
    if (!canonical || !accumulate(samples.arrays, nullptr, settings, true, *canonical, progress))
        return nullptr;
    auto mirrored = without_bad_alloc([&] {
        engine::PairAccumulator result(cells->cells());
        const bool counted = engine::mirrored_cells(*canonical, *cells, result);
        return std::make_pair(counted, std::move(result));
    });
    if (!mirrored) return nullptr;
    if (!mirrored->first) {
        PyErr_SetString(PyExc_OverflowError, "a cell holds more than 2**63 - 1 pairs");
        return nullptr;
    }
    auto means = without_bad_alloc([&] { return engine::class_means(mirrored->second); });
    return means ? means_tuple(module, *means) : nullptr;
}

PyObject *state_array(PyObject *module, engine::PairAccumulator &accumulator, int64_t fingerprint) {
    try {
        std::vector<int64_t> state(engine::state_length(accumulator.classes()));
        engine::write_state(accumulator, fingerprint, state.data());
        return copied_array(module, state_of(module).int64, state.size(), state.data()).release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *pair_state(PyObject *module, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("pair_state", 11, count)) return nullptr;
    Samples a, b;
    Settings settings;
    bool same = false;
    int threads = 1;
    if (!a.take(args[0], args[1], "points_a", "values_a") ||
        !b.take(args[2], args[3], "points_b", "values_b") ||
        !settings.parse(args[4], args[5], args[6], args[7], args[8]) ||
        !parse_flag(args[9], same) || !parse_threads(args[10], threads))
        return nullptr;
    settings.pair.threads = threads;
    if (!a.check("points_a", settings.pair.geographic) ||
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
    auto accumulator =
        without_bad_alloc([&] { return engine::PairAccumulator(settings.pair.edges.size() - 1); });
    // Either way of forming the candidates gives the same sums; the grid is the faster one.
    if (!accumulator ||
        !accumulate(a.arrays, same ? nullptr : &b.arrays, settings.pair, true, *accumulator))
        return nullptr;
    return state_array(module, *accumulator, engine::settings_fingerprint(settings.pair));
}

// Loads a state array into an accumulator; raises ValueError for anything that is not one.
std::optional<engine::PairAccumulator> load_state(PyObject *object, const char *name,
                                                  int64_t &fingerprint) {
    Int64Buffer buffer(object, 1, Access::read, name);
    if (!buffer) return std::nullopt;
    const std::size_t classes = engine::state_classes(buffer.values());
    if (classes == 0) {
        PyErr_Format(PyExc_ValueError, "%s is not a pair state", name);
        return std::nullopt;
    }
    fingerprint = engine::state_fingerprint(buffer.values());
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

PyObject *merge_states(PyObject *module, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("merge_states", 2, count)) return nullptr;
    int64_t fingerprint_a = 0, fingerprint_b = 0;
    std::optional<engine::PairAccumulator> a = load_state(args[0], "state_a", fingerprint_a);
    if (!a) return nullptr;
    std::optional<engine::PairAccumulator> b = load_state(args[1], "state_b", fingerprint_b);
    if (!b) return nullptr;
    if (a->classes() != b->classes()) {
        PyErr_SetString(PyExc_ValueError, "the states have different numbers of classes");
        return nullptr;
    }
    if (fingerprint_a != fingerprint_b) {
        PyErr_SetString(PyExc_ValueError,
                        "the states were made with different edges, coordinate types, estimators, "
                        "directions or bandwidths");
        return nullptr;
    }
    if (!a->merge(*b)) {
        PyErr_SetString(PyExc_OverflowError, "a class holds more than 2**63 - 1 pairs");
        return nullptr;
    }
    for (std::size_t k = 0; k < a->classes(); ++k)
        if (const engine::ExactClassSums *sums = a->find(k);
            sums != nullptr && (!sums->distance.within_bounds() || !sums->value.within_bounds())) {
            PyErr_SetString(PyExc_OverflowError, "the merged sums exceed a state's range");
            return nullptr;
        }
    return state_array(module, *a, fingerprint_a);
}

PyObject *finish_state(PyObject *module, PyObject *const *args, Py_ssize_t count) {
    if (wrong_argument_count("finish_state", 1, count)) return nullptr;
    int64_t fingerprint = 0;
    std::optional<engine::PairAccumulator> state = load_state(args[0], "state", fingerprint);
    if (!state) return nullptr;
    auto means = without_bad_alloc([&] { return engine::class_means(*state); });
    return means ? means_tuple(module, *means) : nullptr;
}

template <auto Function> PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(Function));
}

PyMethodDef engine_methods[] = {
    {"pair_sums", fastcall<pair_sums>(), METH_FASTCALL,
     "pair_sums($module, points, values, edges, geographic, estimator, direction, bandwidth, "
     "prune, threads, progress=None, /)\n--\n\n"
     "Pair counts and correctly rounded mean distances and per-pair values of each class; "
     "progress(samples done) is called at most every 0.1 s and at the end."},
    {"pair_state", fastcall<pair_state>(), METH_FASTCALL,
     "pair_state($module, points_a, values_a, points_b, values_b, edges, geographic, estimator, "
     "direction, bandwidth, same, threads, /)\n--\n\n"
     "The exact per-class sums of a block of pairs, as an int64 array."},
    {"map_sums", fastcall<map_sums>(), METH_FASTCALL,
     "map_sums($module, points, values, width, cells_per_axis, estimator, threads, "
     "progress=None, /)\n--\n\n"
     "Entry counts and correctly rounded mean per-pair values of the cells of a variogram map, "
     "row by row (dy), each row by dx."},
    {"merge_states", fastcall<merge_states>(), METH_FASTCALL,
     "merge_states($module, state_a, state_b, /)\n--\n\nThe state of the pairs of both states."},
    {"finish_state", fastcall<finish_state>(), METH_FASTCALL,
     "finish_state($module, state, /)\n--\n\n(counts, distance_means, value_means) of a state."},
    {nullptr, nullptr, 0, nullptr}};

int engine_exec(PyObject *module) {
    EngineState &state = state_of(module);
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    state.empty = PyObject_GetAttrString(numpy.get(), "empty");
    if (state.empty == nullptr) return -1;
    state.int64 = PyUnicode_InternFromString("int64");
    if (state.int64 == nullptr) return -1;
    state.float64 = PyUnicode_InternFromString("float64");
    if (state.float64 == nullptr) return -1;
    // The candidate pairs from which the configured thread count applies, for the front end.
    return PyModule_AddObjectRef(module, "PAIRS_WORTH_A_THREAD",
                                 Ref(PyLong_FromLongLong(krige::pairs_worth_a_thread)).get());
}

int engine_traverse(PyObject *module, visitproc visit, void *arg) {
    EngineState *state = static_cast<EngineState *>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->empty);
    return 0;
}

int engine_clear(PyObject *module) {
    EngineState *state = static_cast<EngineState *>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->empty);
    Py_CLEAR(state->int64);
    Py_CLEAR(state->float64);
    return 0;
}

void engine_free(void *module) {
    engine_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(engine_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr}};

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT, "_engine",      "Exact pair engine of the public variogram.",
    sizeof(EngineState),   engine_methods, engine_slots,
    engine_traverse,       engine_clear,   engine_free};

} // namespace

PyMODINIT_FUNC PyInit__engine(void) {
    return PyModuleDef_Init(&engine_module);
}
