// The three function bodies, one source unit each.
#pragma once

#include <Python.h>

namespace krige {

PyObject *adjust_anisotropy(PyObject *const *arguments, int &line);
PyObject *init_variogram_parameters(PyObject *const *arguments, int &line);
PyObject *init_variogram_model(PyObject *const *arguments, int &line);

} // namespace krige
