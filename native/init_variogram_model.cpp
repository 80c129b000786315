#include "bodies.hpp"

namespace krige {

PyObject *init_variogram_model(PyObject *const *, int &) {
    PyErr_SetString(PyExc_NotImplementedError, "init_variogram_model is not built yet");
    return nullptr;
}

} // namespace krige
