// orv._algos.spmis.krige._geodesy: the haversine kernel behind great_circle_distance.
//
// The Python side validates and converts the coordinates and allocates the result; this module
// only fills it, one pair at a time, without the N×M temporaries that whole-array arithmetic
// needs. For a set of points against itself only one triangle is computed and mirrored, which
// keeps the matrix exactly symmetric.
#include "common/float64_buffer.hpp"
#include "geodesy/haversine.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace {

using krige::Float64Buffer;
using krige::geodesy::distance;

// Copies the strictly lower triangle of the n×n matrix onto the upper one, tile by tile, so that
// the column-wise writes stay within a few pages at a time.
void mirror_lower_triangle(double *matrix, Py_ssize_t n) {
    constexpr Py_ssize_t tile = 64;
    for (Py_ssize_t i0 = 0; i0 < n; i0 += tile)
        for (Py_ssize_t j0 = 0; j0 <= i0; j0 += tile)
            for (Py_ssize_t i = i0; i < std::min(i0 + tile, n); ++i)
                for (Py_ssize_t j = j0; j < std::min({j0 + tile, i, n}); ++j)
                    matrix[j * n + i] = matrix[i * n + j];
}

// haversine_matrix(lon_a, lat_a, lon_b, lat_b, out, radius, same): fills out[i, j] with the
// distance between (lon_a[i], lat_a[i]) and (lon_b[j], lat_b[j]), all in radians.
PyObject *haversine_matrix(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (count != 7) {
        PyErr_SetString(PyExc_TypeError, "haversine_matrix() takes 7 arguments");
        return nullptr;
    }
    Float64Buffer lon_a(args[0], 1, false), lat_a(args[1], 1, false);
    Float64Buffer lon_b(args[2], 1, false), lat_b(args[3], 1, false), out(args[4], 2, true);
    if (!lon_a || !lat_a || !lon_b || !lat_b || !out) return nullptr;
    double radius = PyFloat_AsDouble(args[5]);
    int same = PyObject_IsTrue(args[6]);
    if ((radius == -1.0 && PyErr_Occurred()) || same < 0) return nullptr;
    const Py_ssize_t rows = lat_a.extent(0), columns = lat_b.extent(0);
    if (lon_a.extent(0) != rows || lon_b.extent(0) != columns || out.extent(0) != rows ||
        out.extent(1) != columns || (same && rows != columns)) {
        PyErr_SetString(PyExc_ValueError, "haversine_matrix(): shapes do not match");
        return nullptr;
    }
    const double diameter = 2.0 * radius;
    double *result = out.data();
    std::vector<double> cos_b;
    try {
        cos_b.resize(size_t(columns));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    Py_BEGIN_ALLOW_THREADS;
    for (Py_ssize_t j = 0; j < columns; ++j)
        cos_b[size_t(j)] = std::cos(lat_b.data()[j]);
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const double lon_i = lon_a.data()[i], lat_i = lat_a.data()[i];
        const double cos_i = std::cos(lat_i);
        double *row = result + i * columns;
        const Py_ssize_t end = same ? i : columns;
        for (Py_ssize_t j = 0; j < end; ++j)
            row[j] = distance(lon_i, lat_i, cos_i, lon_b.data()[j], lat_b.data()[j],
                              cos_b[size_t(j)], diameter);
        if (same) row[i] = distance(lon_i, lat_i, cos_i, lon_i, lat_i, cos_i, diameter);
    }
    if (same) mirror_lower_triangle(result, rows);
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

PyMethodDef geodesy_methods[] = {
    {"haversine_matrix", reinterpret_cast<PyCFunction>(reinterpret_cast<void *>(haversine_matrix)),
     METH_FASTCALL,
     "haversine_matrix(lon_a, lat_a, lon_b, lat_b, out, radius, same)\n--\n\n"
     "Fills out[i, j] with great-circle distances (radians in, radius units out)."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot geodesy_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, {0, nullptr}};

PyModuleDef geodesy_module = {PyModuleDef_HEAD_INIT,
                              "_geodesy",
                              "Haversine kernel of great_circle_distance.",
                              0,
                              geodesy_methods,
                              geodesy_slots,
                              nullptr,
                              nullptr,
                              nullptr};

} // namespace

PyMODINIT_FUNC PyInit__geodesy(void) {
    return PyModuleDef_Init(&geodesy_module);
}
