#include "modules/core/frame/runtime.hpp"

#include "modules/core/frame/module_state.hpp"

#include <array>

namespace krige {

Ref lookup_global(PyObject *name) {
    PyObject *found = PyDict_GetItemWithError(record.dict, name);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref(); // a key's __eq__ raised: not absent
    Ref builtin(PyObject_GetAttr(record.builtins, name));
    if (builtin || !PyErr_ExceptionMatches(PyExc_AttributeError)) return builtin;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // Like the interpreter, record the name for the "Did you mean" hint of tracebacks.
    PyObject *error = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(error, "name", name) < 0) PyErr_Clear();
    PyErr_SetRaisedException(error);
    return Ref();
}

PyObject *raise_object(PyObject *raised) {
    if (PyExceptionClass_Check(raised)) {
        Ref instance(PyObject_CallNoArgs(raised));
        if (!instance) return nullptr;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         raised, reinterpret_cast<PyObject *>(Py_TYPE(instance.get())));
            return nullptr;
        }
        PyErr_SetObject(raised, instance.get());
        return nullptr;
    }
    if (PyExceptionInstance_Check(raised)) {
        PyErr_SetObject(PyExceptionInstance_Class(raised), raised);
        return nullptr;
    }
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return nullptr;
}

Ref call(PyObject *callable, std::initializer_list<PyObject *> args) {
    if (callable == nullptr) return Ref();
    return Ref(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

Ref call(PyObject *callable, std::initializer_list<PyObject *> args,
         std::initializer_list<PyObject *> keyword_names,
         std::initializer_list<PyObject *> keyword_values) {
    if (callable == nullptr) return Ref();
    std::array<PyObject *, 8> stack{};
    if (args.size() + keyword_values.size() > stack.size() ||
        keyword_names.size() != keyword_values.size()) {
        PyErr_SetString(PyExc_SystemError, "call(): unsupported argument counts");
        return Ref();
    }
    PyObject **top = std::copy(args.begin(), args.end(), stack.begin());
    std::copy(keyword_values.begin(), keyword_values.end(), top);
    Ref names(PyTuple_New(Py_ssize_t(keyword_names.size())));
    if (!names) return Ref();
    Py_ssize_t index = 0;
    for (PyObject *name : keyword_names)
        PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(name));
    return Ref(PyObject_Vectorcall(callable, stack.data(), args.size(), names.get()));
}

Ref new_list(std::span<Ref> items) {
    Ref list(PyList_New(Py_ssize_t(items.size())));
    if (!list) return Ref();
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), items[i].release());
    return list;
}

Ref attribute(PyObject *owner, PyObject *name) {
    if (owner == nullptr) return Ref();
    return Ref(PyObject_GetAttr(owner, name));
}

Ref global_attribute(PyObject *owner_name, PyObject *name) {
    Ref owner = lookup_global(owner_name);
    return attribute(owner.get(), name);
}

} // namespace krige
