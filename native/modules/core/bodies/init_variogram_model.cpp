// init_variogram_model(points, values, n_lags, gtype): the experimental semivariogram. Every
// unordered pair of samples gets a distance and a semivariance ½(v_i - v_j)²; the pairs are sorted
// into `n_lags` equal-width distance classes, and the function returns (lags, semivariance): the
// mean distance and mean semivariance of every class whose semivariance is a number.
//
// Each statement keeps the interpreter's order: the callee is fetched first, then the arguments
// are computed left to right. Package names are looked up at each use, never kept between
// statements. Intermediate arrays are rebound as soon as the next one exists, so that no more
// large temporaries are alive than the interpreter itself would keep.
//
// `d` and `g` live in a VariogramPairs: with the genuine collaborators the pairs are streamed and
// never stored, and the statements that read them are answered natively (see variogram_pairs.hpp).
#include "modules/core/bodies/bodies.hpp"
#include "modules/core/bodies/variogram_pairs.hpp"
#include "modules/core/frame/constants.hpp"
#include "modules/core/frame/runtime.hpp"

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
int geographic_pairs(PyObject *points, PyObject *values, VariogramPairs &pairs, int &line) {
    Ref &d = pairs.d, &g = pairs.g;
    line = 79;
    Ref distance = lookup_global(names::great_circle_distance);
    if (!distance) return -1;
    int streamed = pairs.stream_geographic(distance.get(), points, values);
    if (streamed < 0) return -1;
    if (!streamed) {
        d = call(distance.get(), {points, points});
        if (!d) return -1;
        line = 80;
        g = half_squared_differences(values);
        if (!g) return -1;
    }

    line = 81;
    Ref grid = global_attribute(names::np, names::indices);
    if (!grid) return -1;
    if (streamed) return pairs.check_indices(grid.get()) < 0 ? -1 : 0;
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
int projected_pairs(PyObject *points, PyObject *values, VariogramPairs &pairs, int &line) {
    Ref &d = pairs.d, &g = pairs.g;
    line = 85;
    Ref pdist = pdist_function();
    if (!pdist) return -1;
    int streamed = pairs.stream_projected(pdist.get(), points, values);
    if (streamed < 0) return -1;
    if (!streamed) {
        d = call(pdist.get(), {points}, {names::metric}, {names::euclidean});
        if (!d) return -1;
    }

    line = 86;
    pdist = pdist_function();
    if (!pdist) return -1;
    if (streamed && (streamed = pairs.check_second_pdist(pdist.get())) != 0)
        return streamed < 0 ? -1 : 0;
    Ref column(PyObject_GetItem(values, literals::new_trailing_axis));
    if (!column) return -1;
    g = call(pdist.get(), {column.get()}, {names::metric}, {names::sqeuclidean});
    if (!g) return -1;
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

// np.max(d) or np.min(d).
Ref extreme(VariogramPairs &pairs, PyObject *name) {
    Ref function = global_attribute(names::np, name);
    if (!function) return Ref();
    Ref result;
    int native = pairs.extreme(function.get(), name == names::max, result);
    if (native != 0) return result;
    return call(function.get(), {pairs.d.get()});
}

// The class edges e(0) … e(n_lags): d_min + k·dd for k < n_lags, then the raised largest
// distance. Lines 90 to 95.
Ref class_edges(VariogramPairs &pairs, PyObject *n_lags, int &line) {
    line = 90;
    Ref d_max = extreme(pairs, names::max);
    if (!d_max) return Ref();
    line = 91;
    Ref d_min = extreme(pairs, names::min);
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
    // The last class is half-open, so the margin is what keeps the pairs at exactly the largest
    // distance inside it; where adding 0.001 changes nothing, the next value upwards stands in.
    d_max = raised_top_edge(d_max.get());
    if (!d_max) return Ref();

    line = 95;
    return numpy_call(names::append, {bins.get(), d_max.get()});
}

// target[n] = np.mean(source[(d >= bins[n]) & (d < bins[n + 1])]): one statement of the class
// loop, source being d or g. The class is the half-open interval [e(n), e(n + 1)) of distances,
// also when the mean is taken over the semivariances.
int store_class_mean(PyObject *target, bool of_g, VariogramPairs &pairs, PyObject *bins,
                     PyObject *n, Py_ssize_t classes) {
    Ref mean = global_attribute(names::np, names::mean);
    if (!mean) return -1;
    if (int native = pairs.class_mean(mean.get(), target, of_g, bins, n, classes); native != 0)
        return native < 0 ? -1 : 0;
    PyObject *d = pairs.d.get(), *source = of_g ? pairs.g.get() : d;
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
int class_means(VariogramPairs &pairs, PyObject *bins, PyObject *n_lags, PyObject *lags,
                PyObject *semivariance, int &line) {
    line = 99;
    Ref classes = call(reinterpret_cast<PyObject *>(&PyRange_Type), {n_lags});
    if (!classes) return -1;
    const Py_ssize_t count = PyObject_Size(classes.get());
    if (count < 0) return -1;
    Ref iterator(PyObject_GetIter(classes.get()));
    if (!iterator) return -1;
    for (;;) {
        line = 99;
        Ref n(PyIter_Next(iterator.get()));
        if (!n) return PyErr_Occurred() ? -1 : 0;
        line = 100;
        if (store_class_mean(lags, false, pairs, bins, n.get(), count) < 0) return -1;
        line = 101;
        if (store_class_mean(semivariance, true, pairs, bins, n.get(), count) < 0) return -1;
    }
}

// np.zeros(n_lags), noting whether it was NumPy's own.
Ref zeros(VariogramPairs &pairs, PyObject *n_lags) {
    Ref function = global_attribute(names::np, names::zeros);
    if (!function || pairs.note_zeros(function.get()) < 0) return Ref();
    return call(function.get(), {n_lags});
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

    VariogramPairs pairs;
    line = 78;
    int geographic = equals(gtype, names::GEOGCS);
    if (geographic < 0) return nullptr;
    if (geographic) {
        if (geographic_pairs(points.get(), values, pairs, line) < 0) return nullptr;
    } else {
        line = 84;
        int projected = equals(gtype, names::PROJCS);
        if (projected < 0) return nullptr;
        if (!projected) {
            line = 88;
            return raise_unsupported(gtype);
        }
        if (projected_pairs(points.get(), values, pairs, line) < 0) return nullptr;
    }
    points.reset(); // only the pairs are needed from here on

    Ref bins = class_edges(pairs, n_lags, line);
    if (!bins) return nullptr;

    line = 97;
    Ref lags = zeros(pairs, n_lags);
    if (!lags) return nullptr;
    line = 98;
    Ref semivariance = zeros(pairs, n_lags);
    if (!semivariance) return nullptr;

    if (class_means(pairs, bins.get(), n_lags, lags.get(), semivariance.get(), line) < 0)
        return nullptr;
    pairs = VariogramPairs();

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
