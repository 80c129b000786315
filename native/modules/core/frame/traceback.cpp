#include "modules/core/frame/traceback.hpp"

#include "modules/core/frame/module_state.hpp"
#include "common/owned_ref.hpp"

#include <frameobject.h>

namespace krige {

void add_traceback_entry(const char *function_name, int line) {
    // The exception is set aside while the code object and frame are made, since making them must
    // not see (or disturb) the pending error.
    PyObject *pending = PyErr_GetRaisedException();
    Ref code(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty("orv/_algos/spmis/krige/core", function_name, line)));
    if (!code) {
        Py_XDECREF(pending);
        return;
    }
    // The first line of an empty code object is the line of its first instruction, so the frame
    // and the traceback report `line` without setting f_lineno.
    Ref frame(reinterpret_cast<PyObject *>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), record.dict, nullptr)));
    if (!frame) {
        Py_XDECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

} // namespace krige
