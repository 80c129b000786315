// The process-wide module record, written only while the module is created and executed.
#pragma once

#include <Python.h>

#include <cstdint>

namespace krige {

struct ModuleRecord {
    int64_t main_interpreter_id = -1; // the first interpreter that imported the module
    PyObject *module = nullptr;       // the module being executed or ready
    PyObject *dict = nullptr;         // its namespace: globals of every function and entry
    PyObject *builtins = nullptr;     // the second place of the global look-up
};

inline ModuleRecord record;

} // namespace krige
