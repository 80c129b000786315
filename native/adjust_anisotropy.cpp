#include "bodies.hpp"

namespace krige {

PyObject *adjust_anisotropy(PyObject *const *, int &) {
    PyErr_SetString(PyExc_NotImplementedError, "adjust_anisotropy is not built yet");
    return nullptr;
}

} // namespace krige
