// Native shortcuts for the experimental semivariogram. Each one runs only when it provably gives
// NumPy's own result: the module's `np` is the genuine NumPy with its genuine functions, and the
// arrays are plain float64 arrays of the expected shapes. Otherwise it declines and the caller
// runs the statements one by one. Every shortcut returns 1 when it did the work, 0 when it
// declined (no exception set) and -1 on error.
#pragma once

#include "common/owned_ref.hpp"

namespace krige::fast_path {

// for n in range(n_lags): lags[n], semivariance[n] = the class means of d and g.
int class_means(PyObject *d, PyObject *g, PyObject *bins, PyObject *n_lags, PyObject *lags,
                PyObject *semivariance);

// The pairs (i, j), i > j, of an N×N distance matrix, row by row, and ½(v_j − v_i)² of the
// same pairs: what the index grid and the two masks select.
int geographic_pairs(PyObject *distance_matrix, PyObject *values, Ref &d, Ref &g);

// squared = 0.5 * squared for a float64 array that nobody else holds: halved in place, bit for
// bit NumPy's product, without a second array of the same size.
int halve_in_place(Ref &squared);

} // namespace krige::fast_path
