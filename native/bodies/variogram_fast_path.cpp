#include "bodies/variogram_fast_path.hpp"

#include "frame/constants.hpp"
#include "common/float64_buffer.hpp"
#include "engine/pair_classes.hpp"
#include "frame/runtime.hpp"

#include <cfenv>
#include <cmath>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace krige::fast_path {
namespace {

// ---- The genuine NumPy ------------------------------------------------------------------------

// NumPy's own objects, taken from its implementation modules (not from the `numpy` namespace,
// which callers may patch). A shortcut runs only when the module's `np` and the functions it
// would call are these very objects.
struct GenuineNumpy {
    PyObject *module = nullptr;
    PyObject *ndarray = nullptr;
    PyObject *empty = nullptr;
    PyObject *mean = nullptr;
    PyObject *indices = nullptr;
    PyObject *getbufsize = nullptr;
    pairs::SummationRule rule{};
    bool chunked = false; // the chunk is NumPy's buffer size, read at each call
    bool usable = false;
};

GenuineNumpy numpy;
bool numpy_examined = false;

// sys.modules[name], without importing anything.
Ref loaded_module(const char *name) {
    Ref key(PyUnicode_FromString(name));
    Ref module(key ? PyImport_GetModule(key.get()) : nullptr);
    PyErr_Clear();
    return module;
}

// sys.modules[prefix + suffix] for NumPy 2 ("numpy._core") or NumPy 1 ("numpy.core").
PyObject *numpy_submodule(const char *suffix) {
    for (const char *prefix : {"numpy._core.", "numpy.core."}) {
        if (Ref module = loaded_module((std::string(prefix) + suffix).c_str()))
            return module.release();
    }
    return nullptr;
}

PyObject *member(PyObject *module, const char *name) {
    if (module == nullptr) return nullptr;
    PyObject *value = PyObject_GetAttrString(module, name);
    if (value == nullptr) PyErr_Clear();
    return value;
}

// The float64 memory of a plain NumPy array; empty, with no exception, for anything else.
class Float64View : public Float64Buffer {
  public:
    Float64View(PyObject *array, int dimensions, bool writable = false)
        : Float64Buffer(Py_TYPE(array) == reinterpret_cast<PyTypeObject *>(numpy.ndarray) ? array
                                                                                          : nullptr,
                        dimensions, writable) {
        if (!*this) PyErr_Clear();
    }
};

// Which summation rule does np.mean follow here? Answered once: probe arrays of pseudo-random
// values of many magnitudes are drawn until the two candidate rules give different means, and
// NumPy's own mean of that probe decides. With no match, the shortcuts stay off.
bool learn_summation_rule() {
    Ref bufsize_object = call(numpy.getbufsize, {});
    if (!bufsize_object) return false;
    const int64_t bufsize = PyLong_AsLongLong(bufsize_object.get());
    if (bufsize <= 0 || PyErr_Occurred()) return false;
    const int64_t size = 3 * bufsize + 1001;
    Ref count(PyLong_FromLongLong(size));
    Ref probe = call(count ? numpy.empty : nullptr, {count.get()});
    if (!probe) return false;
    Float64View view(probe.get(), 1, true);
    if (!view) return false;
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (int attempt = 0; attempt < 64; ++attempt) {
        for (double &value : view.values()) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            value = std::ldexp(double(state >> 11), int(state % 41) - 73);
        }
        const double whole = pairs::reduce_sum(view.data(), size, {0}) / double(size);
        const double chunked = pairs::reduce_sum(view.data(), size, {bufsize}) / double(size);
        if (whole == chunked && attempt + 1 < 64) continue;
        Ref mean = call(numpy.mean, {probe.get()});
        double expected = mean ? PyFloat_AsDouble(mean.get()) : -1.0;
        if (expected == -1.0 && PyErr_Occurred()) return false;
        numpy.chunked = expected != whole;
        return expected == whole || expected == chunked;
    }
    return false;
}

void examine_numpy() {
    numpy_examined = true;
    Ref module = loaded_module("numpy");
    if (!module) return;
    Ref multiarray(numpy_submodule("multiarray"));
    Ref fromnumeric(numpy_submodule("fromnumeric"));
    Ref numeric(numpy_submodule("numeric"));
    Ref ufunc_config(numpy_submodule("_ufunc_config"));
    numpy.ndarray = member(multiarray.get(), "ndarray");
    numpy.empty = member(multiarray.get(), "empty");
    numpy.mean = member(fromnumeric.get(), "mean");
    numpy.indices = member(numeric.get(), "indices");
    numpy.getbufsize = member(ufunc_config.get(), "getbufsize");
    if (!numpy.ndarray || !numpy.empty || !numpy.mean || !numpy.indices || !numpy.getbufsize ||
        !PyType_Check(numpy.ndarray))
        return;
    numpy.module = module.release();
    numpy.usable = learn_summation_rule();
    PyErr_Clear();
}

// Is the module's `np` the genuine NumPy, with `np.<name>` its genuine function? Reads the
// module's globals now, as the statements would.
bool genuine(PyObject *name, PyObject *expected) {
    if (!numpy_examined) examine_numpy();
    if (!numpy.usable) return false;
    Ref np = lookup_global(names::np);
    if (np.get() != numpy.module) {
        PyErr_Clear();
        return false;
    }
    Ref function(PyObject_GetAttr(np.get(), name));
    PyErr_Clear();
    return function.get() == expected;
}

// The chunk size of NumPy's sums for this call.
bool current_rule(pairs::SummationRule &rule) {
    rule = {0};
    if (!numpy.chunked) return true;
    Ref bufsize = call(numpy.getbufsize, {});
    rule.chunk = bufsize ? PyLong_AsLongLong(bufsize.get()) : -1;
    PyErr_Clear();
    return rule.chunk > 0;
}

// Runs `work` with the floating-point flags cleared; true when it raised none that NumPy would
// report (overflow, invalid, division by zero, underflow). The caller then declines, so that
// NumPy itself redoes the work and warns or raises under the caller's error settings.
template <class Work> bool quietly(Work work) {
    constexpr int reported = FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO | FE_UNDERFLOW;
    std::feclearexcept(FE_ALL_EXCEPT);
    work();
    bool quiet = std::fetestexcept(reported) == 0;
    std::feclearexcept(FE_ALL_EXCEPT);
    return quiet;
}

// Finite and ascending (equal neighbours allowed): the edges the class search relies on.
bool usable_edges(std::span<const double> edges) {
    for (size_t k = 0; k < edges.size(); ++k)
        if (!std::isfinite(edges[k]) || (k > 0 && edges[k] < edges[k - 1])) return false;
    return true;
}

// np.mean of an empty selection of `source`: NumPy's NaN, with NumPy's warnings.
bool empty_class_mean(PyObject *source, double &mean) {
    Ref nothing(PySlice_New(literals::zero, literals::zero, nullptr));
    Ref selection(nothing ? PyObject_GetItem(source, nothing.get()) : nullptr);
    Ref result = call(selection ? numpy.mean : nullptr, {selection.get()});
    if (!result) return false;
    mean = PyFloat_AsDouble(result.get());
    return !(mean == -1.0 && PyErr_Occurred());
}

} // namespace

int class_means(PyObject *d, PyObject *g, PyObject *bins, PyObject *n_lags, PyObject *lags,
                PyObject *semivariance) {
    if (!genuine(names::mean, numpy.mean) || !PyLong_CheckExact(n_lags)) return 0;
    long long classes = PyLong_AsLongLong(n_lags);
    if (classes < 1 || classes > (1 << 20)) {
        PyErr_Clear();
        return 0;
    }
    Float64View distances(d, 1), semivariances(g, 1), edges(bins, 1);
    Float64View lag_out(lags, 1, true), semivariance_out(semivariance, 1, true);
    if (!distances || !semivariances || !edges || !lag_out || !semivariance_out ||
        semivariances.extent(0) != distances.extent(0) || edges.extent(0) != classes + 1 ||
        lag_out.extent(0) != classes || semivariance_out.extent(0) != classes ||
        !usable_edges(edges.values()))
        return 0;
    pairs::SummationRule rule;
    if (!current_rule(rule)) return 0;

    pairs::ClassMeans sums;
    std::vector<double> lag_means, semivariance_means;
    bool quiet;
    try {
        lag_means.resize(size_t(classes));
        semivariance_means.resize(size_t(classes));
        quiet = quietly([&] {
            sums = pairs::sum_classes(distances.values(), semivariances.values(), edges.values(),
                                      rule);
            for (size_t k = 0; k < size_t(classes); ++k) {
                if (sums.counts[k] == 0) continue;
                lag_means[k] = sums.distance_sums[k] / double(sums.counts[k]);
                semivariance_means[k] = sums.semivariance_sums[k] / double(sums.counts[k]);
            }
        });
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    if (!quiet) return 0;
    // Empty classes take NumPy's own mean, so that the NaN and the warnings are NumPy's.
    for (size_t k = 0; k < size_t(classes); ++k) {
        if (sums.counts[k] == 0 &&
            (!empty_class_mean(d, lag_means[k]) || !empty_class_mean(g, semivariance_means[k])))
            return -1;
        lag_out.data()[k] = lag_means[k];
        semivariance_out.data()[k] = semivariance_means[k];
    }
    return 1;
}

int geographic_pairs(PyObject *distance_matrix, PyObject *values, Ref &d, Ref &g) {
    if (!genuine(names::indices, numpy.indices)) return 0;
    Float64View matrix(distance_matrix, 2), samples(values, 1);
    if (!matrix || !samples) return 0;
    const Py_ssize_t n = samples.extent(0);
    if (matrix.extent(0) != n || matrix.extent(1) != n) return 0;
    // NumPy forms the full matrix of differences, whose diagonal holds inf - inf (and a warning)
    // for an infinite value; the pairs below the diagonal alone would not show it.
    for (double value : samples.values())
        if (std::isinf(value)) return 0;
    Ref count(PyLong_FromSsize_t(n * (n - 1) / 2));
    Ref pair_distances = call(count ? numpy.empty : nullptr, {count.get()});
    Ref pair_semivariances = call(pair_distances ? numpy.empty : nullptr, {count.get()});
    if (!pair_semivariances) return -1;
    Float64View d_out(pair_distances.get(), 1, true), g_out(pair_semivariances.get(), 1, true);
    if (!d_out || !g_out) return 0;
    bool quiet = quietly([&] {
        const double *rows = matrix.data(), *v = samples.data();
        double *d_next = d_out.data(), *g_next = g_out.data();
        for (Py_ssize_t i = 1; i < n; ++i) {
            const double *row = rows + i * n;
            for (Py_ssize_t j = 0; j < i; ++j) {
                *d_next++ = row[j];
                double difference = v[j] - v[i];
                *g_next++ = 0.5 * (difference * difference); // x ** 2.0 is x * x in NumPy
            }
        }
    });
    if (!quiet) return 0;
    d = std::move(pair_distances);
    g = std::move(pair_semivariances);
    return 1;
}

int halve_in_place(Ref &squared) {
    if (!numpy_examined) examine_numpy();
    if (!numpy.usable || Py_REFCNT(squared.get()) != 1) return 0;
    Ref base(PyObject_GetAttrString(squared.get(), "base"));
    PyErr_Clear();
    if (base.get() != Py_None) return 0;
    Float64View view(squared.get(), 1, true);
    if (!view) return 0;
    // Halving stays exact unless a result would be subnormal; leave those arrays to NumPy.
    std::span<double> values = view.values();
    for (double value : values)
        if (value != 0.0 && std::fabs(value) < 2 * std::numeric_limits<double>::min()) return 0;
    for (double &value : values)
        value *= 0.5;
    return 1;
}

} // namespace krige::fast_path
