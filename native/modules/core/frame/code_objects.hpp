// The code objects that serve as __code__ of the three functions.
#pragma once

#include <Python.h>

namespace krige {

namespace code_objects {
inline PyObject *adjust_anisotropy, *init_variogram_parameters, *init_variogram_model;
}

// Step 12 of the module's execution.
int make_code_objects();

} // namespace krige
