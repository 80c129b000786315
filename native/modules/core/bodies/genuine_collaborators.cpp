#include "modules/core/bodies/genuine_collaborators.hpp"

#include "common/numpy_array.hpp"
#include "engine/pair_distances.hpp"
#include "modules/core/frame/runtime.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

namespace krige::genuine {
namespace {

// sys.modules[name]: 1 and `out` set, 0 when it is not loaded, -1 on error.
int loaded_module(const char *name, Ref &out) {
    Ref key(PyUnicode_FromString(name));
    if (!key) return -1;
    out = Ref(PyImport_GetModule(key.get()));
    if (out) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// The first of the modules `names` that is loaded.
int first_loaded(std::initializer_list<const char *> names, Ref &out) {
    for (const char *name : names)
        if (int found = loaded_module(name, out); found != 0) return found;
    return 0;
}

// dict[name], borrowed: nullptr when it is absent, or with an exception set when the look-up
// failed (a key whose comparison raises, say), which the caller must let through.
PyObject *dict_item(PyObject *dict, const char *name) {
    Ref key(PyUnicode_FromString(name));
    return key ? PyDict_GetItemWithError(dict, key.get()) : nullptr;
}

// owner.name: 1 and `out` set, 0 when there is no such attribute, -1 on any other error.
int member(PyObject *owner, const char *name, Ref &out) {
    out = Ref(PyObject_GetAttrString(owner, name));
    if (out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// Reads several members into `slots`, keeping them alive in `keep`: 1, 0 or -1 as member().
int members(PyObject *owner, std::initializer_list<std::pair<const char *, PyObject **>> wanted,
            PyObject *keep) {
    for (auto [name, slot] : wanted) {
        Ref value;
        if (int found = member(owner, name, value); found <= 0) return found;
        if (PyList_Append(keep, value.get()) < 0) return -1;
        *slot = value.get();
    }
    return 1;
}

double *array_data(PyObject *array) {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return nullptr;
    double *data = static_cast<double *>(view.buf);
    PyBuffer_Release(&view); // the array keeps its memory; the caller holds the array
    return data;
}

// Bit for bit, NaN matching any NaN.
bool same_value(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Values that exercise every rounding case of the distance arithmetic.
double probe_value(uint64_t &state) {
    static constexpr double special[] = {0.0,
                                         -0.0,
                                         1.0,
                                         -1.0,
                                         3.0,
                                         1e308,
                                         -1e308,
                                         5e-324,
                                         -2.5e-310,
                                         1e-300,
                                         1.3e154,
                                         -1.4e154,
                                         1e200,
                                         0.1,
                                         1.0 / 3.0,
                                         123456.789,
                                         4503599627370497.0,
                                         6.02e23,
                                         -7.5e-8,
                                         std::numeric_limits<double>::quiet_NaN(),
                                         HUGE_VAL,
                                         -HUGE_VAL};
    state = state * 6364136223846793005u + 1442695040888963407u;
    uint64_t pick = state >> 33;
    if (pick % 3 == 0) return special[pick / 3 % std::size(special)];
    return std::ldexp(double(state >> 11) / 9007199254740992.0 - 0.5, int(pick % 161) - 80);
}

constexpr Py_ssize_t probe_rows = 48;

// The globals of great_circle_distance's module, and the NumPy functions it calls, that must stay
// the ones recorded (in the order of Collaborators::geodesy_names_ and numpy_used_).
constexpr const char *geodesy_globals[] = {"np", "_geodesy", "_lon_lat_radians", "real_array"};
constexpr const char *numpy_names[] = {"radians", "empty", "array_equal", "asarray", "ma"};

} // namespace

bool Collaborators::is_numpy(PyObject *np) const {
    return np == numpy_.module && Py_IS_TYPE(np, &PyModule_Type);
}

double Collaborators::radians(double degrees) {
    return degrees * (M_PI / 180.0);
}

int Collaborators::summation_rule(pairs::SummationRule &rule) const {
    rule = {0};
    if (!chunked_) return 0;
    Ref bufsize = call(numpy_.getbufsize, {});
    if (!bufsize) return -1;
    rule.chunk = PyLong_AsLongLong(bufsize.get());
    if (rule.chunk == -1 && PyErr_Occurred()) return -1;
    if (rule.chunk < 1) rule.chunk = 0;
    return 0;
}

int Collaborators::examine() {
    keep_ = Ref(PyList_New(0));
    if (!keep_) return -1;
    Ref module, multiarray, fromnumeric, numeric, umath, config, numerictypes;
    const std::tuple<const char *, const char *, Ref *> modules[] = {
        {"numpy", "numpy", &module},
        {"numpy._core.multiarray", "numpy.core.multiarray", &multiarray},
        {"numpy._core.fromnumeric", "numpy.core.fromnumeric", &fromnumeric},
        {"numpy._core.numeric", "numpy.core.numeric", &numeric},
        {"numpy._core.umath", "numpy.core.umath", &umath},
        {"numpy._core._ufunc_config", "numpy.core._ufunc_config", &config},
        {"numpy._core.numerictypes", "numpy.core.numerictypes", &numerictypes}};
    for (auto [name, old_name, slot] : modules)
        if (int found = first_loaded({name, old_name}, *slot); found <= 0) return found;
    numpy_.module = module.get();
    if (PyList_Append(keep_.get(), module.get()) < 0) return -1;
    int found =
        members(multiarray.get(),
                {{"ndarray", &numpy_.ndarray}, {"empty", &numpy_.empty}, {"zeros", &numpy_.zeros}},
                keep_.get());
    if (found > 0) found = members(fromnumeric.get(), {{"mean", &numpy_.mean}}, keep_.get());
    for (auto [name, old_name, slot] :
         {std::tuple{"max", "amax", &numpy_.max}, std::tuple{"min", "amin", &numpy_.min}}) {
        if (found <= 0) break;
        found = members(fromnumeric.get(), {{name, slot}}, keep_.get());
        if (found == 0) found = members(fromnumeric.get(), {{old_name, slot}}, keep_.get());
    }
    if (found > 0) found = members(numeric.get(), {{"indices", &numpy_.indices}}, keep_.get());
    if (found > 0)
        found =
            members(umath.get(), {{"radians", &numpy_.radians}, {"nextafter", &numpy_.nextafter}},
                    keep_.get());
    if (found > 0) found = members(config.get(), {{"getbufsize", &numpy_.getbufsize}}, keep_.get());
    if (found > 0)
        found = members(numerictypes.get(), {{"floating", &numpy_.floating}}, keep_.get());
    if (found <= 0) return found;
    if (!PyType_Check(numpy_.ndarray) || !PyType_Check(numpy_.floating)) return 0;

    // Since NumPy 2.3 a reduction sums the whole array at once; before, chunk by chunk.
    Ref version;
    if (int has = member(module.get(), "__version__", version); has <= 0) return has;
    const char *text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr) return PyErr_Occurred() ? -1 : 0;
    int major = 0, minor = 0;
    if (std::sscanf(text, "%d.%d", &major, &minor) != 2) return 0;
    chunked_ = major < 2 || (major == 2 && minor < 3);

    // A probe confirms the rule: np.mean of values of many magnitudes, compared with both models.
    // It stays small whatever the buffer size is.
    pairs::SummationRule rule;
    if (summation_rule(rule) < 0) return -1;
    const int64_t chunk = rule.chunk > 0 ? std::min<int64_t>(rule.chunk, 4096) : 1024;
    const Py_ssize_t size = Py_ssize_t(3 * chunk + 1001);
    Ref probe = new_array(numpy_.empty, size);
    if (!probe) return -1;
    double *values = array_data(probe.get());
    if (values == nullptr) return -1;
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (Py_ssize_t i = 0; i < size; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        values[i] = std::ldexp(double(state >> 11), int(state % 41) - 73);
    }
    const double expected = pairs::reduce_sum(values, size, rule) / double(size);
    Ref mean = call(numpy_.mean, {probe.get()});
    if (!mean) return -1;
    const double actual = PyFloat_AsDouble(mean.get());
    if (actual == -1.0 && PyErr_Occurred()) return -1;
    return actual == expected ? 1 : 0;
}

int Collaborators::examine_scipy() {
    if (pdist_ != nullptr) return 1;
    Ref module, pdist, code, filename;
    if (int found = loaded_module("scipy.spatial.distance", module); found <= 0) return found;
    if (int found = member(module.get(), "pdist", pdist); found <= 0) return found;
    if (!PyFunction_Check(pdist.get())) return 0;
    // Its code must come from SciPy's own source file.
    code = Ref::borrow(PyFunction_GetCode(pdist.get()));
    if (int found = member(code.get(), "co_filename", filename); found <= 0) return found;
    const char *path = PyUnicode_Check(filename.get()) ? PyUnicode_AsUTF8(filename.get()) : nullptr;
    if (path == nullptr) return PyErr_Occurred() ? -1 : 0;
    const char *suffix = "scipy/spatial/distance.py";
    const size_t length = std::strlen(path), wanted = std::strlen(suffix);
    if (length < wanted || std::strcmp(path + length - wanted, suffix) != 0) return 0;
    if (PyList_Append(keep_.get(), pdist.get()) < 0) return -1;
    pdist_ = pdist.get();
    return 1;
}

int Collaborators::pdist_usable(PyObject *pdist, Py_ssize_t columns) {
    if (columns < 1 || columns >= Py_ssize_t(euclidean_.size())) return 0;
    if (int found = examine_scipy(); found <= 0) return found;
    if (pdist != pdist_) return 0;
    if (euclidean_[size_t(columns)] != 0 && sqeuclidean_ != 0)
        return euclidean_[size_t(columns)] > 0 && sqeuclidean_ > 0;

    // Once per column count: pdist's own distances of awkward rows against the native ones.
    auto compare = [&](Py_ssize_t width, PyObject *metric, bool squared) -> int {
        Ref rows = new_array(numpy_.empty, probe_rows, width);
        if (!rows) return -1;
        double *x = array_data(rows.get());
        if (x == nullptr) return -1;
        uint64_t state = 0x2545F4914F6CDD1Du + uint64_t(width);
        for (Py_ssize_t i = 0; i < probe_rows * width; ++i)
            x[i] = probe_value(state);
        for (Py_ssize_t c = 0; c < width; ++c) // a duplicate row
            x[5 * width + c] = x[4 * width + c];
        Ref kwnames(PyUnicode_InternFromString("metric"));
        if (!kwnames) return -1;
        PyObject *stack[] = {rows.get(), metric};
        Ref kw(PyTuple_Pack(1, kwnames.get()));
        if (!kw) return -1;
        Ref result(PyObject_Vectorcall(pdist_, stack, 1, kw.get()));
        if (!result) return -1;
        Py_buffer view;
        if (PyObject_GetBuffer(result.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
            return -1;
        std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> held(&view, PyBuffer_Release);
        const Py_ssize_t expected_pairs = probe_rows * (probe_rows - 1) / 2;
        if (view.itemsize != 8 || std::strcmp(view.format, "d") != 0 ||
            view.len != expected_pairs * 8)
            return 0;
        const double *d = static_cast<const double *>(view.buf);
        Py_ssize_t k = 0;
        for (Py_ssize_t i = 0; i < probe_rows; ++i)
            for (Py_ssize_t j = i + 1; j < probe_rows; ++j, ++k) {
                double q = engine::squared_distance(x + i * width, x + j * width, size_t(width));
                if (!same_value(d[k], squared ? q : std::sqrt(q))) return 0;
            }
        return 1;
    };
    Ref euclidean(PyUnicode_InternFromString("euclidean"));
    Ref sqeuclidean(PyUnicode_InternFromString("sqeuclidean"));
    if (!euclidean || !sqeuclidean) return -1;
    if (sqeuclidean_ == 0) {
        int same = compare(1, sqeuclidean.get(), true);
        if (same < 0) return -1;
        sqeuclidean_ = same ? 1 : -1;
    }
    int same = compare(columns, euclidean.get(), false);
    if (same < 0) return -1;
    euclidean_[size_t(columns)] = same ? 1 : -1;
    return same && sqeuclidean_ > 0;
}

int Collaborators::examine_geodesy() {
    if (great_circle_ != nullptr) return 1;
    Ref module, numpy_module;
    if (int found = loaded_module("orv._algos.spmis.krige.geodesy", module); found <= 0)
        return found;
    PyObject *dict = PyModule_Check(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
    if (dict == nullptr) return 0;
    // Every item is held from here on: the look-ups and calls below may run Python code, which
    // could replace them in their dictionaries.
    Ref function = Ref::borrow(dict_item(dict, "great_circle_distance"));
    Ref radius = function ? Ref::borrow(dict_item(dict, "EARTH_RADIUS_KM")) : Ref();
    if (PyErr_Occurred()) return -1;
    if (!function || !PyFunction_Check(function.get()) || !radius ||
        !PyFloat_CheckExact(radius.get()))
        return 0;
    Ref code = Ref::borrow(PyFunction_GetCode(function.get()));
    std::array<Ref, std::size(geodesy_globals)> geodesy_names;
    for (size_t k = 0; k < std::size(geodesy_globals); ++k)
        if (!(geodesy_names[k] = Ref::borrow(dict_item(dict, geodesy_globals[k]))))
            return PyErr_Occurred() ? -1 : 0;
    if (geodesy_names[0].get() != numpy_.module) return 0;
    PyObject *numpy_dict = PyModule_GetDict(numpy_.module);
    std::array<Ref, std::size(numpy_names)> numpy_used;
    for (size_t k = 0; k < std::size(numpy_names); ++k)
        if (!(numpy_used[k] = Ref::borrow(dict_item(numpy_dict, numpy_names[k]))))
            return PyErr_Occurred() ? -1 : 0;
    if (numpy_used[0].get() != numpy_.radians) return 0;
    Ref kernel;
    if (int found = member(geodesy_names[1].get(), "haversine_matrix", kernel); found <= 0)
        return found;

    // NumPy's radians must be the native conversion, bit for bit, for the degrees the engine
    // converts itself; smaller ones would raise NumPy's underflow flag (a warning or an error
    // under the caller's np.errstate), and the engine never converts them.
    constexpr Py_ssize_t count = 512;
    Ref degrees = new_array(numpy_.empty, count);
    if (!degrees) return -1;
    double *x = array_data(degrees.get());
    if (x == nullptr) return -1;
    uint64_t state = 0x51A3C0FFEEu;
    for (Py_ssize_t i = 0; i < count; ++i) {
        double value =
            i < 64 ? probe_value(state) : std::ldexp(probe_value(state), -int(i % 7)) * 360.0;
        if (value != 0.0 && std::fabs(value) < smallest_converted_degrees)
            value = std::copysign(smallest_converted_degrees, value);
        x[i] = value;
    }
    Ref converted = call(numpy_.radians, {degrees.get()});
    if (!converted) return -1;
    const double *r = array_data(converted.get());
    if (r == nullptr) return -1;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!same_value(r[i], radians(x[i]))) return 0;

    for (PyObject *object : {function.get(), code.get(), kernel.get(), dict})
        if (PyList_Append(keep_.get(), object) < 0) return -1;
    for (size_t k = 0; k < geodesy_names.size(); ++k) {
        if (PyList_Append(keep_.get(), geodesy_names[k].get()) < 0) return -1;
        geodesy_names_[k] = geodesy_names[k].get();
    }
    for (size_t k = 0; k < numpy_used.size(); ++k) {
        if (PyList_Append(keep_.get(), numpy_used[k].get()) < 0) return -1;
        numpy_used_[k] = numpy_used[k].get();
    }
    geodesy_dict_ = dict;
    great_circle_code_ = code.get();
    kernel_ = kernel.get();
    radius_ = PyFloat_AS_DOUBLE(radius.get());
    great_circle_ = function.get();
    return 1;
}

int Collaborators::great_circle_usable(PyObject *function, double &diameter) {
    if (int found = examine_geodesy(); found <= 0) return found;
    if (function != great_circle_ || PyFunction_GetCode(function) != great_circle_code_) return 0;
    // The function's own globals and the NumPy functions it calls are still the recorded ones.
    for (size_t k = 0; k < std::size(geodesy_globals); ++k)
        if (dict_item(geodesy_dict_, geodesy_globals[k]) != geodesy_names_[k])
            return PyErr_Occurred() ? -1 : 0;
    PyObject *radius = dict_item(geodesy_dict_, "EARTH_RADIUS_KM");
    if (radius == nullptr && PyErr_Occurred()) return -1;
    if (radius == nullptr || !PyFloat_CheckExact(radius) || PyFloat_AS_DOUBLE(radius) != radius_)
        return 0;
    PyObject *numpy_dict = PyModule_GetDict(numpy_.module);
    for (size_t k = 0; k < std::size(numpy_names); ++k)
        if (dict_item(numpy_dict, numpy_names[k]) != numpy_used_[k])
            return PyErr_Occurred() ? -1 : 0;
    Ref kernel;
    if (int found = member(geodesy_names_[1], "haversine_matrix", kernel); found <= 0) return found;
    if (kernel.get() != kernel_) return 0;
    diameter = 2.0 * radius_;
    return 1;
}

int collaborators(Collaborators *&out) {
    static Collaborators *facts = nullptr;
    static bool unusable = false;
    if (facts != nullptr) {
        out = facts;
        return 1;
    }
    if (unusable) return 0;
    auto examined = std::make_unique<Collaborators>();
    int verdict = examined->examine();
    if (verdict < 0) return -1; // examined again at the next call
    if (verdict == 0) {
        unusable = true;
        return 0;
    }
    facts = examined.release(); // kept for the life of the process
    out = facts;
    return 1;
}

} // namespace krige::genuine
