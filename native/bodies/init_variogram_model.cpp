// init_variogram_model(points, values, n_lags, gtype): the experimental semivariogram. Every
// unordered pair of samples gets a distance and a semivariance ½(v_i - v_j)²; the pairs are sorted
// into `n_lags` equal-width distance classes, and the function returns (lags, semivariance): the
// mean distance and mean semivariance of every class whose semivariance is a number.
//
// Each statement keeps the interpreter's order: the callee is fetched first, then the arguments
// are computed left to right. Package names are looked up at each use, never kept between
// statements. Intermediate arrays are rebound as soon as the next one exists, so that no more
// large temporaries are alive than the interpreter itself would keep.
#include "bodies/bodies.hpp"
#include "frame/constants.hpp"
#include "frame/runtime.hpp"
#include "bodies/variogram_fast_path.hpp"

#include <cmath>

namespace krige {
namespace {

// np.<function>(args...), for arguments that are already computed.
Ref numpy_call(PyObject *function, std::initializer_list<PyObject *> args) {
    Ref callee = global_attribute(names::np, function);
    return call(callee.get(), args);
}

// `gtype == literal`, decided by the truth value of the comparison's result; -1 on error.
int equals(PyObject *gtype, PyObject *literal) {
    Ref result(PyObject_RichCompare(gtype, literal, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// 0.5 * (values[None, :] - values[:, None]) ** 2.0: the N×N matrix of ½(v_j - v_i)².
Ref half_squared_differences(PyObject *values) {
    Ref row(PyObject_GetItem(values, literals::new_leading_axis));
    if (!row) return Ref();
    Ref column(PyObject_GetItem(values, literals::new_trailing_axis));
    if (!column) return Ref();
    Ref g(PyNumber_Subtract(row.get(), column.get()));
    if (!g) return Ref();
    g = Ref(PyNumber_Power(g.get(), literals::two_f, Py_None));
    if (!g) return Ref();
    return Ref(PyNumber_Multiply(literals::half, g.get()));
}

// x[indices[0, :, :] > indices[1, :, :]]: the entries below the diagonal, row by row.
Ref below_diagonal(PyObject *x, PyObject *indices) {
    Ref rows(PyObject_GetItem(indices, literals::plane_0));
    if (!rows) return Ref();
    Ref columns(PyObject_GetItem(indices, literals::plane_1));
    if (!columns) return Ref();
    Ref mask(PyObject_RichCompare(rows.get(), columns.get(), Py_GT));
    if (!mask) return Ref();
    return Ref(PyObject_GetItem(x, mask.get()));
}

// "GEOGCS": the full N×N matrices of great-circle distances and semivariances, reduced to the
// pairs (i, j) with i > j. Lines 79 to 83.
int geographic_pairs(PyObject *points, PyObject *values, Ref &d, Ref &g, int &line) {
    line = 79;
    Ref distance = lookup_global(names::great_circle_distance);
    if (!distance) return -1;
    d = call(distance.get(), {points, points});
    if (!d) return -1;

    line = 80;
    // With genuine NumPy and float64 arrays, the pairs below the diagonal are taken natively,
    // without the N×N matrix of semivariances, the index grid and the masks.
    if (int native = fast_path::geographic_pairs(d.get(), values, d, g); native != 0)
        return native < 0 ? -1 : 0;
    g = half_squared_differences(values);
    if (!g) return -1;

    line = 81;
    Ref grid = global_attribute(names::np, names::indices);
    if (!grid) return -1;
    Ref shape = attribute(d.get(), names::shape);
    if (!shape) return -1;
    Ref indices = call(grid.get(), {shape.get()});
    if (!indices) return -1;

    line = 82;
    d = below_diagonal(d.get(), indices.get());
    if (!d) return -1;
    line = 83;
    g = below_diagonal(g.get(), indices.get());
    return g ? 0 : -1;
}

// spatial.distance.pdist, fetched afresh at each statement.
Ref pdist_function() {
    Ref distance = global_attribute(names::spatial, names::distance);
    return attribute(distance.get(), names::pdist);
}

// "PROJCS": Euclidean distances and semivariances in the condensed pair order of
// spatial.distance.pdist. Lines 85 and 86.
int projected_pairs(PyObject *points, PyObject *values, Ref &d, Ref &g, int &line) {
    line = 85;
    Ref pdist = pdist_function();
    if (!pdist) return -1;
    d = call(pdist.get(), {points}, {names::metric}, {names::euclidean});
    if (!d) return -1;

    line = 86;
    pdist = pdist_function();
    if (!pdist) return -1;
    Ref column(PyObject_GetItem(values, literals::new_trailing_axis));
    if (!column) return -1;
    g = call(pdist.get(), {column.get()}, {names::metric}, {names::sqeuclidean});
    if (!g) return -1;
    if (int native = fast_path::halve_in_place(g); native != 0) return native < 0 ? -1 : 0;
    g = Ref(PyNumber_Multiply(literals::half, g.get()));
    return g ? 0 : -1;
}

// raise error.SpmisError(errors=gtype). Line 88.
PyObject *raise_unsupported(PyObject *gtype) {
    Ref error_class = global_attribute(names::error, names::SpmisError);
    if (!error_class) return nullptr;
    Ref raised = call(error_class.get(), {}, {names::errors}, {gtype});
    return raised ? raise_object(raised.get()) : nullptr;
}

// d_max += 0.001, the top edge of the last class.
//
// The last class is half-open, so the margin is what keeps the pairs at exactly the largest
// distance inside it. From a largest distance of 2**44 upward, adding 0.001 no longer changes a
// double and those pairs would silently fall outside every class. When the addition leaves a
// finite float unchanged, the next representable double above it takes its place; in every other
// case the sum stands as it is.
Ref raised_top_edge(PyObject *d_max) {
    Ref top(PyNumber_InPlaceAdd(d_max, literals::thousandth));
    if (!top || !PyFloat_Check(d_max) || !PyFloat_Check(top.get())) return top;
    double largest = PyFloat_AS_DOUBLE(d_max);
    if (PyFloat_AS_DOUBLE(top.get()) != largest || !std::isfinite(largest)) return top;
    return Ref(PyFloat_FromDouble(std::nextafter(largest, HUGE_VAL)));
}

// The class edges e(0) … e(n_lags): d_min + k·dd for k < n_lags, then the raised largest
// distance. Lines 90 to 95.
Ref class_edges(PyObject *d, PyObject *n_lags, int &line) {
    line = 90;
    Ref d_max = numpy_call(names::max, {d});
    if (!d_max) return Ref();
    line = 91;
    Ref d_min = numpy_call(names::min, {d});
    if (!d_min) return Ref();

    line = 92;
    Ref dd(PyNumber_Subtract(d_max.get(), d_min.get()));
    if (!dd) return Ref();
    dd = Ref(PyNumber_TrueDivide(dd.get(), n_lags));
    if (!dd) return Ref();

    line = 93;
    Ref bins = numpy_call(names::arange, {n_lags});
    if (!bins) return Ref();
    bins = Ref(PyNumber_Multiply(dd.get(), bins.get()));
    if (!bins) return Ref();
    bins = Ref(PyNumber_Add(d_min.get(), bins.get()));
    if (!bins) return Ref();

    line = 94;
    d_max = raised_top_edge(d_max.get());
    if (!d_max) return Ref();

    line = 95;
    return numpy_call(names::append, {bins.get(), d_max.get()});
}

// target[n] = np.mean(source[(d >= bins[n]) & (d < bins[n + 1])]): one statement of the class
// loop. The class is the half-open interval [e(n), e(n + 1)) of distances, also when the mean is
// taken over the semivariances.
int store_class_mean(PyObject *target, PyObject *source, PyObject *d, PyObject *bins, PyObject *n) {
    Ref mean = global_attribute(names::np, names::mean);
    if (!mean) return -1;
    Ref edge(PyObject_GetItem(bins, n));
    if (!edge) return -1;
    Ref in_class(PyObject_RichCompare(d, edge.get(), Py_GE));
    if (!in_class) return -1;
    Ref next(PyNumber_Add(n, literals::one));
    if (!next) return -1;
    edge = Ref(PyObject_GetItem(bins, next.get()));
    if (!edge) return -1;
    Ref below(PyObject_RichCompare(d, edge.get(), Py_LT));
    if (!below) return -1;
    in_class = Ref(PyNumber_And(in_class.get(), below.get()));
    below.reset();
    if (!in_class) return -1;
    Ref selected(PyObject_GetItem(source, in_class.get()));
    in_class.reset();
    if (!selected) return -1;
    Ref result = call(mean.get(), {selected.get()});
    if (!result) return -1;
    return PyObject_SetItem(target, n, result.get());
}

// for n in range(n_lags): the mean distance and the mean semivariance of every class, written
// into `lags` and `semivariance`. Lines 99 to 101; returns 0, or -1 with an exception set.
int class_means(PyObject *d, PyObject *g, PyObject *bins, PyObject *n_lags, PyObject *lags,
                PyObject *semivariance, int &line) {
    line = 100;
    if (int native = fast_path::class_means(d, g, bins, n_lags, lags, semivariance); native != 0)
        return native < 0 ? -1 : 0;
    line = 99;
    Ref classes = call(reinterpret_cast<PyObject *>(&PyRange_Type), {n_lags});
    if (!classes) return -1;
    Ref iterator(PyObject_GetIter(classes.get()));
    if (!iterator) return -1;
    for (;;) {
        line = 99;
        Ref n(PyIter_Next(iterator.get()));
        if (!n) return PyErr_Occurred() ? -1 : 0;
        line = 100;
        if (store_class_mean(lags, d, d, bins, n.get()) < 0) return -1;
        line = 101;
        if (store_class_mean(semivariance, g, d, bins, n.get()) < 0) return -1;
    }
}

// x[~np.isnan(semivariance)]: drops the classes whose semivariance is NaN.
Ref number_classes(PyObject *x, PyObject *semivariance) {
    Ref nan = numpy_call(names::isnan, {semivariance});
    if (!nan) return Ref();
    Ref keep(PyNumber_Invert(nan.get()));
    if (!keep) return Ref();
    return Ref(PyObject_GetItem(x, keep.get()));
}

} // namespace

PyObject *init_variogram_model(PyObject *const *arguments, int &line) {
    PyObject *values = arguments[1];
    PyObject *n_lags = arguments[2];
    PyObject *gtype = arguments[3];

    line = 77;
    Ref convert = lookup_global(names::init_points);
    if (!convert) return nullptr;
    Ref points = call(convert.get(), {arguments[0]});
    if (!points) return nullptr;
    convert.reset();

    Ref d, g;
    line = 78;
    int geographic = equals(gtype, names::GEOGCS);
    if (geographic < 0) return nullptr;
    if (geographic) {
        if (geographic_pairs(points.get(), values, d, g, line) < 0) return nullptr;
    } else {
        line = 84;
        int projected = equals(gtype, names::PROJCS);
        if (projected < 0) return nullptr;
        if (!projected) {
            line = 88;
            return raise_unsupported(gtype);
        }
        if (projected_pairs(points.get(), values, d, g, line) < 0) return nullptr;
    }
    points.reset(); // only the pairs are needed from here on

    Ref bins = class_edges(d.get(), n_lags, line);
    if (!bins) return nullptr;

    line = 97;
    Ref lags = numpy_call(names::zeros, {n_lags});
    if (!lags) return nullptr;
    line = 98;
    Ref semivariance = numpy_call(names::zeros, {n_lags});
    if (!semivariance) return nullptr;

    if (class_means(d.get(), g.get(), bins.get(), n_lags, lags.get(), semivariance.get(), line) < 0)
        return nullptr;
    d.reset();
    g.reset();

    line = 103;
    lags = number_classes(lags.get(), semivariance.get());
    if (!lags) return nullptr;
    line = 104;
    semivariance = number_classes(semivariance.get(), semivariance.get());
    if (!semivariance) return nullptr;

    line = 106;
    return PyTuple_Pack(2, lags.get(), semivariance.get());
}

} // namespace krige
