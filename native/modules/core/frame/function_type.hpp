// The module's function type: the objects `adjust_anisotropy`, `init_variogram_parameters` and
// `init_variogram_model`, their argument binding and the attributes a caller sees.
#pragma once

#include <Python.h>

namespace krige {

// A function body receives the bound arguments in parameter order (borrowed; the binding holds
// them) and returns a new reference, or nullptr with an exception set and `line` at the failing
// statement. The function object then adds the traceback entry for that line.
using BodyFunction = PyObject *(*)(PyObject *const *arguments, int &line);

struct FunctionDescription {
    const char *name; // plain name, used in binding messages
    PyObject *const *interned_name;
    const char *traceback_name; // name in traceback entries
    int def_line;               // reported by binding failures
    int parameter_count;
    PyObject *const *parameters[4]; // addresses of the interned parameter names
    PyObject *const *doc;
    BodyFunction body;
};

// Step 9 of the module's execution: the type exists once per process.
int ensure_function_type();

// A new function object for `description`, with `code` as its __code__ and the record's module
// dictionary as its globals.
PyObject *make_function(const FunctionDescription &description, PyObject *code);

} // namespace krige
