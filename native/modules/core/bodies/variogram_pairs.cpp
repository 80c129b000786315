#include "modules/core/bodies/variogram_pairs.hpp"

#include "common/array_buffer.hpp"
#include "common/interpreter_interrupt.hpp"
#include "common/numpy_array.hpp"
#include "common/thread_settings.hpp"
#include "modules/core/frame/constants.hpp"
#include "modules/core/frame/module_state.hpp"
#include "modules/core/frame/runtime.hpp"

#include <cmath>
#include <new>

namespace krige {
namespace {

// The memory of a plain NumPy float64 array (exactly NumPy's ndarray, C-contiguous); empty and
// without an exception for any other array. Only the refusals of an unusable array are cleared
// (the statements handle that array); any other error, MemoryError or KeyboardInterrupt among
// them, stays set for the caller, which checks `declined()`.
class PlainArray : public Float64Buffer {
  public:
    PlainArray(const genuine::Collaborators &facts, PyObject *array, int dimensions)
        : Float64Buffer(Py_TYPE(array) == reinterpret_cast<PyTypeObject *>(facts.numpy().ndarray)
                            ? array
                            : nullptr,
                        dimensions, Access::read_in_place) {
        if (!*this &&
            (PyErr_ExceptionMatches(PyExc_BufferError) ||
             PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)))
            PyErr_Clear();
    }
};

// 0 when the engine steps aside for an unusable array, -1 when an error is pending.
int declined() {
    return PyErr_Occurred() ? -1 : 0;
}

// A module global as it stands, read without running any code; nullptr when it is absent.
PyObject *peek_global(PyObject *name) {
    return PyDict_GetItemWithError(record.dict, name);
}

// Values whose pairwise differences, squares and halves raise no floating-point flag: NaN, zero
// or magnitudes from 2**-400 to 2**510 (and, where `infinite` allows, infinities).
bool quiet_values(std::span<const double> values, bool infinite) {
    for (double v : values) {
        double magnitude = std::fabs(v);
        if (std::isnan(v) || v == 0.0 || (std::isinf(v) && infinite)) continue;
        if (!(magnitude >= 0x1p-400 && magnitude <= 0x1p510)) return false;
    }
    return true;
}

double *writable_data(PyObject *array) {
    Float64Buffer buffer(array, 1, Access::write);
    return buffer ? buffer.data() : nullptr; // the array, held by the caller, keeps its memory
}

template <class Work> int catching_memory(Work work) {
    try {
        return work();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

// Runs a pass of the stream with the interpreter lock released; 0, or -1 with the exception that
// stopped it (KeyboardInterrupt, MemoryError).
template <class Pass> int released(Pass pass) {
    return catching_memory([&] {
        RunStatus status;
        {
            ReleasedInterpreter interpreter;
            status = pass(interpreter);
        }
        return raise_for(status);
    });
}

} // namespace

int VariogramPairs::stream_geographic(PyObject *distance, PyObject *points, PyObject *values) {
    if (int usable = genuine::collaborators(facts_); usable <= 0) return usable;
    if (!read_thread_policy(threads_)) return -1;
    // Line 81 will look up np.indices; nothing runs in between, so what is there now is what the
    // statement will find.
    PyObject *np = peek_global(names::np);
    if (np == nullptr) return PyErr_Occurred() ? -1 : 0;
    if (!facts_->is_numpy(np)) return 0;
    PyObject *indices = PyDict_GetItemWithError(PyModule_GetDict(np), names::indices);
    if (indices != facts_->numpy().indices) return PyErr_Occurred() ? -1 : 0;
    double diameter = 0.0;
    if (int usable = facts_->great_circle_usable(distance, diameter); usable <= 0) return usable;

    PlainArray coordinates(*facts_, points, 2);
    if (!coordinates) return declined();
    PlainArray samples(*facts_, values, 1);
    if (!samples) return declined();
    if (coordinates.extent(1) != 2) return 0;
    const Py_ssize_t n = coordinates.extent(0);
    if (n < 2 || samples.extent(0) != n || !quiet_values(samples.values(), false)) return 0;
    // Degrees whose conversion to radians could underflow are left to NumPy.
    for (double x : coordinates.values())
        if (x != 0.0 && std::isfinite(x) &&
            std::fabs(x) < genuine::Collaborators::smallest_converted_degrees)
            return 0;

    return catching_memory([&] {
        engine::GeographicSamples s;
        s.diameter = diameter;
        s.values.assign(samples.values().begin(), samples.values().end());
        s.lon.resize(size_t(n));
        s.lat.resize(size_t(n));
        s.cos_lat.resize(size_t(n));
        const double *x = coordinates.data();
        for (Py_ssize_t i = 0; i < n; ++i) {
            s.lon[size_t(i)] = genuine::Collaborators::radians(x[2 * i]);
            s.lat[size_t(i)] = genuine::Collaborators::radians(x[2 * i + 1]);
            s.cos_lat[size_t(i)] = std::cos(s.lat[size_t(i)]);
        }
        stream_ = engine::geographic_stream(std::move(s), threads_);
        return 1;
    });
}

int VariogramPairs::stream_projected(PyObject *pdist, PyObject *points, PyObject *values) {
    if (int usable = genuine::collaborators(facts_); usable <= 0) return usable;
    if (!read_thread_policy(threads_)) return -1;
    PlainArray coordinates(*facts_, points, 2);
    if (!coordinates) return declined();
    PlainArray samples(*facts_, values, 1);
    if (!samples) return declined();
    const Py_ssize_t n = coordinates.extent(0), columns = coordinates.extent(1);
    // 0.5 * pdist(...) would warn of underflow for tiny differences: left to NumPy.
    if (n < 2 || samples.extent(0) != n || !quiet_values(samples.values(), true)) return 0;
    if (int usable = facts_->pdist_usable(pdist, columns); usable <= 0) return usable;
    pdist_ = pdist;

    return catching_memory([&] {
        engine::ProjectedSamples s;
        s.values.assign(samples.values().begin(), samples.values().end());
        s.columns.assign(size_t(columns), std::vector<double>(size_t(n)));
        const double *x = coordinates.data();
        for (Py_ssize_t i = 0; i < n; ++i)
            for (Py_ssize_t c = 0; c < columns; ++c)
                s.columns[size_t(c)][size_t(i)] = x[i * columns + c];
        stream_ = engine::projected_stream(std::move(s), threads_);
        return 1;
    });
}

int VariogramPairs::check_second_pdist(PyObject *pdist) {
    if (!stream_ || pdist == pdist_) return stream_ ? 1 : 0;
    if (store() < 0) return -1;
    g.reset();
    return 0;
}

int VariogramPairs::check_indices(PyObject *indices) {
    if (!stream_) return 0;
    if (indices == facts_->numpy().indices) return 1;
    PyErr_SetString(PyExc_SystemError, "init_variogram_model: np.indices changed unobserved");
    return -1;
}

int VariogramPairs::extreme(PyObject *function, bool largest, Ref &result) {
    if (!stream_) return 0;
    if (function != (largest ? facts_->numpy().max : facts_->numpy().min)) return store();
    if (!have_extremes_) {
        if (released(
                [&](Interrupt &interrupt) { return stream_->extremes(extremes_, interrupt); }) < 0)
            return -1;
        have_extremes_ = true;
    }
    // NumPy's own function over a one-value stand-in gives its scalar type and any warning.
    Ref stand_in = new_array(facts_->numpy().empty, 1);
    double *data = stand_in ? writable_data(stand_in.get()) : nullptr;
    if (data == nullptr) return -1;
    data[0] = largest ? extremes_.max : extremes_.min;
    result = call(function, {stand_in.get()});
    return result ? 1 : -1;
}

int VariogramPairs::note_zeros(PyObject *zeros) {
    if (facts_ == nullptr) {
        int usable = genuine::collaborators(facts_);
        if (usable < 0) return -1;
        if (usable == 0) facts_ = nullptr;
    }
    zeros_genuine_ = zeros_genuine_ && facts_ != nullptr && zeros == facts_->numpy().zeros;
    return 0;
}

int VariogramPairs::store() {
    if (!stream_) return 0;
    const int64_t count = stream_->pairs();
    Ref distances = new_array(facts_->numpy().empty, Py_ssize_t(count));
    Ref semivariances = distances ? new_array(facts_->numpy().empty, Py_ssize_t(count)) : Ref();
    if (!semivariances) return -1;
    double *pd = writable_data(distances.get()), *pg = writable_data(semivariances.get());
    if (pd == nullptr || pg == nullptr) return -1;
    if (released([&](Interrupt &interrupt) { return stream_->store(pd, pg, interrupt); }) < 0)
        return -1;
    d = std::move(distances);
    g = std::move(semivariances);
    stream_.reset();
    return 0;
}

int VariogramPairs::compute_classes(PyObject *bins, Py_ssize_t classes) {
    PlainArray edges_array(*facts_, bins, 1);
    if (!edges_array) return declined();
    if (edges_array.extent(0) < classes + 1) return 0;
    std::span<const double> edges(edges_array.data(), size_t(classes) + 1);
    bool usable = true, all_empty = true;
    for (size_t k = 0; k < edges.size(); ++k) {
        usable = usable && std::isfinite(edges[k]) && (k == 0 || edges[k - 1] <= edges[k]);
        if (k > 0 && edges[k - 1] < edges[k]) all_empty = false; // NaN compares false
    }
    if (!usable && !all_empty) return 0;
    if (all_empty) {
        sums_ = {std::vector<int64_t>(size_t(classes), 0), {}, {}, false, true};
        return 1;
    }
    pairs::SummationRule rule;
    if (facts_->summation_rule(rule) < 0) return -1;

    std::unique_ptr<engine::PairStream> stored;
    std::unique_ptr<PlainArray> distances, semivariances;
    engine::PairStream *stream = stream_.get();
    if (stream == nullptr) {
        // Arrays the statements made: only with fresh result arrays from NumPy's own zeros, which
        // cannot overlap them.
        if (!zeros_genuine_) return 0;
        if (!read_thread_policy(threads_)) return -1;
        distances = std::make_unique<PlainArray>(*facts_, d.get(), 1);
        if (!*distances) return declined();
        semivariances = std::make_unique<PlainArray>(*facts_, g.get(), 1);
        if (!*semivariances) return declined();
        if (distances->extent(0) != semivariances->extent(0)) return 0;
        stored = engine::stored_stream(
            {distances->data(), semivariances->data(), int64_t(distances->extent(0))}, threads_);
        stream = stored.get();
    }
    if (released([&](Interrupt &interrupt) {
            return stream->class_sums(edges, rule, sums_, interrupt);
        }) < 0)
        return -1;
    if (!sums_.passes_agree) {
        PyErr_SetString(PyExc_SystemError,
                        "init_variogram_model: the pair passes disagree on a class");
        return -1;
    }
    return sums_.flags_raised ? 0 : 1;
}

int VariogramPairs::class_mean(PyObject *mean, PyObject *target, bool of_g, PyObject *bins,
                               PyObject *n, Py_ssize_t classes) {
    if (classes_ == Classes::unknown) {
        if (facts_ == nullptr && genuine::collaborators(facts_) < 0) return -1;
        int native =
            facts_ != nullptr && mean == facts_->numpy().mean ? compute_classes(bins, classes) : 0;
        if (native < 0) return -1;
        classes_ = native ? Classes::native : Classes::statements;
    }
    if (classes_ == Classes::native && mean != facts_->numpy().mean) classes_ = Classes::statements;
    if (classes_ == Classes::statements) return store();

    Py_ssize_t k = PyLong_AsSsize_t(n);
    if (k == -1 && PyErr_Occurred()) return -1;
    if (k < 0 || k >= classes) {
        PyErr_SetString(PyExc_SystemError, "init_variogram_model: class number out of range");
        return -1;
    }
    Ref result;
    if (sums_.counts[size_t(k)] == 0) {
        // NumPy's own mean of an empty selection: its NaN and its warnings.
        Ref empty;
        if (stream_) {
            empty = new_array(facts_->numpy().empty, 0);
        } else {
            Ref nothing(PySlice_New(literals::zero, literals::zero, nullptr));
            empty =
                Ref(nothing ? PyObject_GetItem(of_g ? g.get() : d.get(), nothing.get()) : nullptr);
        }
        result = call(empty ? mean : nullptr, {empty.get()});
    } else {
        result = Ref(PyFloat_FromDouble(of_g ? sums_.g[size_t(k)] : sums_.d[size_t(k)]));
    }
    if (!result) return -1;
    return PyObject_SetItem(target, n, result.get()) < 0 ? -1 : 1;
}

Ref raised_top_edge(PyObject *d_max) {
    Ref top(PyNumber_InPlaceAdd(d_max, literals::thousandth));
    if (!top) return top;
    if (PyFloat_CheckExact(d_max) && PyFloat_CheckExact(top.get())) {
        double largest = PyFloat_AS_DOUBLE(d_max);
        if (PyFloat_AS_DOUBLE(top.get()) != largest || !std::isfinite(largest)) return top;
        return Ref(PyFloat_FromDouble(std::nextafter(largest, HUGE_VAL)));
    }
    // NumPy's floating scalars (float64, float32, ...): NumPy's own nextafter keeps the type.
    genuine::Collaborators *facts = nullptr;
    int usable = genuine::collaborators(facts);
    if (usable <= 0) return usable < 0 ? Ref() : std::move(top);
    PyTypeObject *floating = reinterpret_cast<PyTypeObject *>(facts->numpy().floating);
    if (Py_TYPE(top.get()) != Py_TYPE(d_max) || !PyObject_TypeCheck(d_max, floating)) return top;
    int unchanged = PyObject_RichCompareBool(top.get(), d_max, Py_EQ);
    if (unchanged <= 0) return unchanged < 0 ? Ref() : std::move(top);
    Ref infinity(PyFloat_FromDouble(HUGE_VAL));
    return call(infinity ? facts->numpy().nextafter : nullptr, {d_max, infinity.get()});
}

} // namespace krige
