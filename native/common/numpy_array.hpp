// For the module layers: new NumPy arrays made by numpy.empty, which each module looks up once and
// keeps (the core's collaborators, the engine module's state).
#pragma once

#include "common/owned_ref.hpp"

namespace krige {

// empty(rows) or, with columns > 0, empty((rows, columns)); with `dtype` (not null) passed as
// the second argument. A new reference, or null with an exception set.
inline Ref new_array(PyObject *empty, Py_ssize_t rows, Py_ssize_t columns = 0,
                     PyObject *dtype = nullptr) {
    if (empty == nullptr) return Ref();
    Ref shape(columns > 0 ? Py_BuildValue("(nn)", rows, columns) : PyLong_FromSsize_t(rows));
    if (!shape) return shape;
    PyObject *args[] = {shape.get(), dtype};
    return Ref(PyObject_Vectorcall(empty, args, dtype != nullptr ? 2 : 1, nullptr));
}

} // namespace krige
