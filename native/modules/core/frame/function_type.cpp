#include "modules/core/frame/function_type.hpp"

#include "modules/core/frame/constants.hpp"
#include "modules/core/frame/module_state.hpp"
#include "common/owned_ref.hpp"
#include "modules/core/frame/traceback.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace krige {

namespace {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDescription *description;
    PyObject *name; // interned, also the qualified name
    PyObject *doc;
    PyObject *globals; // the module dictionary
    PyObject *code;
    PyObject *annotations; // made on first access
    PyObject *dict;
    PyObject *weak_references;
};

PyTypeObject *function_type_object = nullptr;

Function *as_function(PyObject *self) {
    return reinterpret_cast<Function *>(self);
}

// ---- Binding ---------------------------------------------------------------------------------

PyObject *positional_count_error(const FunctionDescription &description, Py_ssize_t given) {
    return PyErr_Format(
        PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
        description.name, "exactly", Py_ssize_t(description.parameter_count), "s", given);
}

// Content equality of two exact str objects: stored hash and length first, then the code units.
bool same_text(PyObject *keyword, PyObject *name) {
    Py_hash_t keyword_hash = reinterpret_cast<PyASCIIObject *>(keyword)->hash;
    Py_hash_t name_hash = reinterpret_cast<PyASCIIObject *>(name)->hash;
    if (keyword_hash != -1 && name_hash != -1 && keyword_hash != name_hash) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(keyword);
    int kind = PyUnicode_KIND(keyword);
    return length == PyUnicode_GET_LENGTH(name) && kind == int(PyUnicode_KIND(name)) &&
           std::memcmp(PyUnicode_DATA(keyword), PyUnicode_DATA(name), size_t(length) * kind) == 0;
}

// Index of the parameter in [first, last) that `keyword` names: 1 found (index in `found`),
// 0 none, -1 error (a str subclass whose equality raised).
int find_parameter(const FunctionDescription &description, PyObject *keyword, bool exact_str,
                   int first, int last, int &found) {
    for (int i = first; i < last; ++i) {
        PyObject *name = *description.parameters[i];
        int equal = exact_str ? int(same_text(keyword, name))
                              : PyObject_RichCompareBool(keyword, name, Py_EQ);
        if (equal != 0) {
            found = i;
            return equal;
        }
    }
    return 0;
}

// Binds one keyword; returns false with an exception set when it fails.
bool bind_keyword(const FunctionDescription &description, std::array<Ref, 4> &bound,
                  Py_ssize_t positional, PyObject *keyword, PyObject *value) {
    const int count = description.parameter_count;
    for (int i = int(positional); i < count; ++i) {
        if (keyword == *description.parameters[i]) {
            bound[size_t(i)] = Ref::borrow(value);
            return true;
        }
    }
    bool exact_str = PyUnicode_CheckExact(keyword);
    if (!exact_str && !PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", description.name);
        return false;
    }
    if (exact_str && reinterpret_cast<PyASCIIObject *>(keyword)->hash == -1 &&
        PyObject_Hash(keyword) == -1)
        return false;
    int index = -1;
    int match = find_parameter(description, keyword, exact_str, int(positional), count, index);
    if (match > 0) {
        bound[size_t(index)] = Ref::borrow(value);
        return true;
    }
    if (match == 0)
        match = find_parameter(description, keyword, exact_str, 0, int(positional), index);
    if (match > 0)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     description.name, keyword);
    else if (match == 0)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     description.name, keyword);
    return false;
}

// Fills `bound` from a fast call; false with an exception set when binding fails.
bool bind_arguments(const FunctionDescription &description, std::array<Ref, 4> &bound,
                    PyObject *const *args, Py_ssize_t positional, PyObject *keyword_names) {
    const Py_ssize_t count = description.parameter_count;
    const Py_ssize_t keywords = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    if (positional > count || (keywords == 0 && positional != count)) {
        positional_count_error(description, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i)
        bound[size_t(i)] = Ref::borrow(args[i]);
    for (Py_ssize_t j = 0; j < keywords; ++j)
        if (!bind_keyword(description, bound, positional, PyTuple_GET_ITEM(keyword_names, j),
                          args[positional + j]))
            return false;
    for (Py_ssize_t i = positional; i < count; ++i) {
        if (!bound[size_t(i)]) {
            positional_count_error(description, i);
            return false;
        }
    }
    return true;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *keyword_names) {
    const FunctionDescription &description = *as_function(self)->description;
    std::array<Ref, 4> bound;
    if (!bind_arguments(description, bound, args, PyVectorcall_NARGS(nargsf), keyword_names)) {
        add_traceback_entry(description.traceback_name, description.def_line);
        return nullptr;
    }
    std::array<PyObject *, 4> arguments{};
    for (size_t i = 0; i < bound.size(); ++i)
        arguments[i] = bound[i].get();
    int line = description.def_line;
    PyObject *result = description.body(arguments.data(), line);
    if (result == nullptr) add_traceback_entry(description.traceback_name, line);
    return result;
}

// ---- Attributes -----------------------------------------------------------------------------

PyObject *get_name(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->name);
}
PyObject *get_doc(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->doc);
}
PyObject *get_globals(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->globals);
}
PyObject *get_code(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->code);
}
PyObject *get_none(PyObject *, void *) {
    Py_RETURN_NONE;
}

PyObject *get_annotations(PyObject *self, void *) {
    Function *function = as_function(self);
    if (function->annotations == nullptr && (function->annotations = PyDict_New()) == nullptr)
        return nullptr;
    return Py_NewRef(function->annotations);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weak_references), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// Pickling stores the function by reference: its module and qualified name.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->name);
}

PyMethodDef function_methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

// Fetched through an instance, the function binds to it like a plain function.
PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    return 0;
}

int function_clear(PyObject *self) {
    Function *function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weak_references != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
                                {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
                                {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                                {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
                                {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
                                {Py_tp_getset, function_getset},
                                {Py_tp_members, function_members},
                                {Py_tp_methods, function_methods},
                                {0, nullptr}};

PyType_Spec function_spec = {
    "orv._algos.spmis.krige.core.native_function", // its __module__ comes from the prefix
    sizeof(Function), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots};

} // namespace

int ensure_function_type() {
    if (function_type_object == nullptr)
        function_type_object = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return function_type_object == nullptr ? -1 : 0;
}

PyObject *make_function(const FunctionDescription &description, PyObject *code) {
    Function *function = PyObject_GC_New(Function, function_type_object);
    if (function == nullptr) return nullptr;
    function->vectorcall = function_vectorcall;
    function->description = &description;
    function->name = Py_NewRef(*description.interned_name);
    function->doc = Py_NewRef(*description.doc);
    function->globals = Py_NewRef(record.dict);
    function->code = Py_NewRef(code);
    function->annotations = nullptr;
    function->dict = nullptr;
    function->weak_references = nullptr;
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject *>(function);
}

} // namespace krige
