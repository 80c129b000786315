// The constant table: interned, pre-hashed strings and the numbers, slice and index tuples that
// the function bodies use. Made once per process by the module's execution and never rebuilt.
#pragma once

#include <Python.h>

namespace krige {

// Identifiers, each one interned str spelled as written.
// clang-format off
#define KRIGE_IDENTIFIERS(X)                                                                \
    /* parameters and locals */                                                             \
    X(points) X(center) X(scale) X(angle) X(ndim_point) X(stretch) X(rot_tot) X(rotate_x)   \
    X(rotate_y) X(rotate_z) X(adj_points) X(model) X(parameters) X(pars) X(par_names)       \
    X(set_names) X(errors) X(fun) X(p_n) X(p) X(values) X(n_lags) X(gtype) X(d) X(g)        \
    X(indices) X(d_max) X(d_min) X(dd) X(bins) X(lags) X(semivariance) X(n)                 \
    /* module globals */                                                                    \
    X(np) X(error) X(init_points) X(to_numeric_array) X(spatial) X(great_circle_distance)   \
    X(variogram) X(DEFAULT_PARAMETERS) X(adjust_anisotropy) X(init_variogram_parameters)    \
    X(init_variogram_model) X(__test__)                                                     \
    /* attributes, methods and keywords */                                                  \
    X(shape) X(flatten) X(size) X(max) X(min) X(pad) X(mode) X(edge) X(radians) X(array)    \
    X(cos) X(sin) X(dot) X(T) X(arange) X(append) X(zeros) X(mean) X(isnan) X(distance)     \
    X(pdist) X(metric) X(euclidean) X(sqeuclidean) X(GEOGCS) X(PROJCS) X(SpmisError)        \
    X(ParameterError) X(ORVError) X(all_sels) X(keys)                                       \
    /* model and parameter names */                                                         \
    X(Linear) X(Power) X(Gaussian) X(Spherical) X(Exponential) X(HoleEffect) X(Slope)       \
    X(Nugget) X(Scale) X(Exponent) X(PSill) X(Range)

// Longer texts, made once as well.
#define KRIGE_TEXTS(X)                                                                      \
    X(source_file, "orv/_algos/spmis/krige/core")                                           \
    X(module_name, "orv._algos.spmis.krige.core")                                           \
    X(parameters_type_message, "Variogram parameters must be None or a dictionary!")        \
    X(doc_adjust_anisotropy, "调整数据坐标以考虑各向异性。")                                \
    X(doc_init_variogram_parameters, "获取半变异函数参数")                                  \
    X(doc_init_variogram_model, "初始化半变异模型其他参数")
// clang-format on

namespace names {
#define KRIGE_DECLARE(identifier) inline PyObject *identifier = nullptr;
KRIGE_IDENTIFIERS(KRIGE_DECLARE)
#undef KRIGE_DECLARE
} // namespace names

namespace texts {
#define KRIGE_DECLARE(identifier, text) inline PyObject *identifier = nullptr;
KRIGE_TEXTS(KRIGE_DECLARE)
#undef KRIGE_DECLARE
} // namespace texts

// Numbers, the full slice and the index tuples (None, :), (:, None), (0, :, :), (1, :, :).
namespace literals {
inline PyObject *empty_tuple, *empty_bytes, *empty_str;
inline PyObject *zero_f, *half, *one_f, *two_f, *thousandth;
inline PyObject *zero, *one, *two, *three;
inline PyObject *full_slice, *new_leading_axis, *new_trailing_axis, *plane_0, *plane_1;
} // namespace literals

// Step 7 of the module's execution: the shared empty tuple, bytes and str.
int make_empty_values();
// Step 8: the strings (interned and hashed), then the floats and ints.
int make_constant_table();
// Step 11: the full slice and the index tuples.
int make_index_constants();

} // namespace krige
