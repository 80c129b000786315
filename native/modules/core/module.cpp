// The module definition, its functions' descriptions, its create and execute steps, and the
// import of the package's names.
#include "modules/core/bodies/bodies.hpp"
#include "modules/core/frame/code_objects.hpp"
#include "modules/core/frame/constants.hpp"
#include "modules/core/frame/function_type.hpp"
#include "modules/core/frame/module_state.hpp"
#include "common/owned_ref.hpp"
#include "modules/core/frame/traceback.hpp"

namespace krige {
namespace {

// The three functions: names, parameters, docstrings and the bodies that run them.
const FunctionDescription adjust_anisotropy_function = {
    "adjust_anisotropy",
    &names::adjust_anisotropy,
    "orv._algos.spmis.krige.core.adjust_anisotropy",
    15,
    4,
    {&names::points, &names::center, &names::scale, &names::angle},
    &texts::doc_adjust_anisotropy,
    adjust_anisotropy};

const FunctionDescription init_variogram_parameters_function = {
    "init_variogram_parameters",
    &names::init_variogram_parameters,
    "orv._algos.spmis.krige.core.init_variogram_parameters",
    52,
    2,
    {&names::model, &names::parameters},
    &texts::doc_init_variogram_parameters,
    init_variogram_parameters};

const FunctionDescription init_variogram_model_function = {
    "init_variogram_model",
    &names::init_variogram_model,
    "orv._algos.spmis.krige.core.init_variogram_model",
    75,
    4,
    {&names::points, &names::values, &names::n_lags, &names::gtype},
    &texts::doc_init_variogram_model,
    init_variogram_model};

// sys.modules["<package name>.<name>"]; nullptr without an error when the package has no name or
// the table holds no such module.
Ref imported_submodule(PyObject *package, PyObject *name) {
    Ref package_name(PyModule_GetNameObject(package));
    if (!package_name) {
        // Not a module (TypeError) or a module without a name (SystemError): nothing to look up.
        if (PyErr_ExceptionMatches(PyExc_SystemError) || PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Clear();
        return Ref();
    }
    Ref full_name(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
    if (!full_name) return Ref();
    return Ref(PyImport_GetModule(full_name.get()));
}

// Copies spec.<attribute> into the module dictionary; a missing attribute is skipped.
int copy_spec_attribute(PyObject *spec, const char *attribute, PyObject *dict, const char *key,
                        bool skip_none) {
    Ref value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return nullptr;
    if (record.main_interpreter_id == -1) {
        record.main_interpreter_id = interpreter_id;
    } else if (record.main_interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return nullptr;
    }
    if (record.module != nullptr) return Py_NewRef(record.module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// Imports the package's seven names into the module dictionary, as `from . import ...` would,
// but falling back to the module table for a submodule the package does not bind.
int import_package_names() {
    PyObject *const imported[] = {names::np,          names::error,
                                  names::init_points, names::to_numeric_array,
                                  names::spatial,     names::great_circle_distance,
                                  names::variogram};
    Ref locals(PyDict_New());
    Ref from_list(PyList_New(0));
    if (!locals || !from_list) return -1;
    for (PyObject *name : imported)
        if (PyList_Append(from_list.get(), name) < 0) return -1;
    Ref package(PyImport_ImportModuleLevelObject(literals::empty_str, record.dict, locals.get(),
                                                 from_list.get(), 1));
    if (!package) return -1;
    for (PyObject *name : imported) {
        Ref value(PyObject_GetAttr(package.get(), name));
        if (!value) {
            // A missing attribute falls back to the module table, where a submodule imported
            // while the package is still initialising is found; any other error propagates.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            value = imported_submodule(package.get(), name);
            if (!value) {
                if (PyErr_Occurred()) return -1;
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                return -1;
            }
        }
        if (PyDict_SetItem(record.dict, name, value.get()) < 0) return -1;
    }
    return 0;
}

// DEFAULT_PARAMETERS: each model's own list of parameter names, one entry per source line.
int make_default_parameters(int &line) {
    using namespace names;
    struct Entry {
        PyObject *model;
        std::initializer_list<PyObject *> parameters;
        int line;
    };
    const Entry entries[] = {{Linear, {Slope, Nugget}, 8},
                             {Power, {Scale, Exponent, Nugget}, 9},
                             {Gaussian, {PSill, Range, Nugget}, 10},
                             {Spherical, {PSill, Range, Nugget}, 11},
                             {Exponential, {PSill, Range, Nugget}, 12},
                             {HoleEffect, {PSill, Range, Nugget}, 13}};
    line = 8;
    Ref table(PyDict_New());
    if (!table) return -1;
    for (const Entry &entry : entries) {
        line = entry.line;
        Ref list(PyList_New(Py_ssize_t(entry.parameters.size())));
        if (!list) return -1;
        Py_ssize_t index = 0;
        for (PyObject *parameter : entry.parameters)
            PyList_SET_ITEM(list.get(), index++, Py_NewRef(parameter));
        line = 8;
        if (PyDict_SetItem(table.get(), entry.model, list.get()) < 0) return -1;
    }
    return PyDict_SetItem(record.dict, DEFAULT_PARAMETERS, table.get());
}

int store_function(const FunctionDescription &description, PyObject *code, int &line) {
    line = description.def_line;
    Ref function(make_function(description, code));
    if (!function) return -1;
    return PyDict_SetItem(record.dict, *description.interned_name, function.get());
}

// Steps 9 to 16: every failure here carries a traceback entry at the returned line.
int fill_namespace(PyObject *module, bool &registered, int &line) {
    line = 1;
    if (ensure_function_type() < 0) return -1;
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, texts::module_name);
    if (present < 0) return -1;
    if (present == 0) {
        if (PyDict_SetItem(modules, texts::module_name, module) < 0) return -1;
        registered = true;
    }
    if (make_index_constants() < 0 || make_code_objects() < 0) return -1;
    line = 5;
    if (import_package_names() < 0) return -1;
    if (make_default_parameters(line) < 0) return -1;
    if (store_function(adjust_anisotropy_function, code_objects::adjust_anisotropy, line) < 0 ||
        store_function(init_variogram_parameters_function, code_objects::init_variogram_parameters,
                       line) < 0 ||
        store_function(init_variogram_model_function, code_objects::init_variogram_model, line) < 0)
        return -1;
    line = 1;
    Ref tests(PyDict_New());
    if (!tests) return -1;
    return PyDict_SetItem(record.dict, names::__test__, tests.get());
}

int check_interpreter_version() {
    const unsigned long running = Py_Version >> 16;
    if (running == 0x030C) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, "orv._algos.spmis.krige.core", "does not match", int(running >> 8),
                  int(running & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int execute_steps(PyObject *module, bool &registered) {
    // A dictionary of an earlier, failed execution is replaced only now, so that nothing that
    // might still run against it finds it gone.
    Py_XSETREF(record.dict, Py_NewRef(PyModule_GetDict(module)));
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Py_XSETREF(record.builtins, builtins.release());
    if (PyObject_SetAttrString(module, "__builtins__", record.builtins) < 0 ||
        check_interpreter_version() < 0 || make_empty_values() < 0 || make_constant_table() < 0)
        return -1;
    int line = 1;
    if (fill_namespace(module, registered, line) < 0) {
        add_traceback_entry(initialisation_name, line);
        return -1;
    }
    return 0;
}

int module_exec(PyObject *module) {
    if (record.module != nullptr) {
        if (record.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'core' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    record.module = Py_NewRef(module);
    bool registered = false;
    if (execute_steps(module, registered) == 0) return 0;
    // A failed execution leaves no trace: the next import starts again from a new module.
    if (registered) {
        PyObject *pending = PyErr_GetRaisedException();
        PyObject *modules = PyImport_GetModuleDict();
        PyObject *entry = PyDict_GetItemWithError(modules, texts::module_name);
        if (entry == module) PyDict_DelItem(modules, texts::module_name);
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    Py_CLEAR(record.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_create, reinterpret_cast<void *>(module_create)},
                                   {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
                                   {0, nullptr}};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "core",  "\n空间插值！\n", 0,      nullptr,
                                 module_slots,          nullptr, nullptr,          nullptr};

} // namespace
} // namespace krige

PyMODINIT_FUNC PyInit_core(void) {
    return PyModuleDef_Init(&krige::module_definition);
}
