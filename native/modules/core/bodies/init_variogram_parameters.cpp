// init_variogram_parameters(model, parameters): the model's name, its function and its parameter
// values in the order that DEFAULT_PARAMETERS lists them.
#include "modules/core/bodies/bodies.hpp"
#include "modules/core/frame/constants.hpp"
#include "modules/core/frame/runtime.hpp"

#include <new>
#include <vector>

namespace krige {
namespace {

// error.<error_class>(keywords...), raised under the raise rules.
PyObject *raise_package_error(PyObject *error_class, std::initializer_list<PyObject *> args,
                              std::initializer_list<PyObject *> keyword_names,
                              std::initializer_list<PyObject *> keyword_values) {
    Ref raised = keyword_names.size() == 0 ? call(error_class, args)
                                           : call(error_class, args, keyword_names, keyword_values);
    return raised ? raise_object(raised.get()) : nullptr;
}

// Adds `item` to `items`; -1 with MemoryError when the vector cannot grow.
int keep(std::vector<Ref> &items, Ref item) {
    try {
        items.push_back(std::move(item));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// The names of `par_names` that `set_names` lacks, in order; nullptr on error. The membership
// tests may run Python code, so the list is made only at the end.
Ref missing_names(PyObject *par_names, PyObject *set_names) {
    std::vector<Ref> errors;
    Ref iterator(PyObject_GetIter(par_names));
    if (!iterator) return Ref();
    while (Ref p_n{PyIter_Next(iterator.get())}) {
        int present = PySequence_Contains(set_names, p_n.get());
        if (present < 0 || (present == 0 && keep(errors, std::move(p_n)) < 0)) return Ref();
    }
    return PyErr_Occurred() ? Ref() : new_list(errors);
}

// parameters[p] for every p of `par_names`, in order; the list is made once every value exists.
Ref collect_values(PyObject *par_names, PyObject *parameters) {
    std::vector<Ref> pars;
    Ref iterator(PyObject_GetIter(par_names));
    if (!iterator) return Ref();
    while (Ref p{PyIter_Next(iterator.get())}) {
        Ref value(PyObject_GetItem(parameters, p.get()));
        if (!value || keep(pars, std::move(value)) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : new_list(pars);
}

} // namespace

PyObject *init_variogram_parameters(PyObject *const *arguments, int &line) {
    PyObject *model = arguments[0];
    PyObject *parameters = arguments[1];

    line = 54;
    Ref table = lookup_global(names::DEFAULT_PARAMETERS);
    if (!table) return nullptr;
    int known = PySequence_Contains(table.get(), model);
    if (known < 0) return nullptr;
    table.reset();
    if (known == 0) {
        line = 55;
        Ref error_class = global_attribute(names::error, names::SpmisError);
        if (!error_class) return nullptr;
        Ref all_sels = lookup_global(names::DEFAULT_PARAMETERS);
        if (!all_sels) return nullptr;
        return raise_package_error(error_class.get(), {}, {names::errors, names::all_sels},
                                   {model, all_sels.get()});
    }

    Ref pars;
    line = 57;
    if (parameters == Py_None) {
        line = 58;
        pars = Ref::borrow(Py_None);
    } else if (line = 59, PyDict_Check(parameters)) {
        line = 60;
        Ref current_table = lookup_global(names::DEFAULT_PARAMETERS);
        if (!current_table) return nullptr;
        Ref par_names(PyObject_GetItem(current_table.get(), model));
        if (!par_names) return nullptr;
        line = 62;
        Ref set_names(PyObject_CallMethodNoArgs(parameters, names::keys));
        if (!set_names) return nullptr;
        line = 63;
        Ref errors = missing_names(par_names.get(), set_names.get());
        if (!errors) return nullptr;
        line = 64;
        if (PyList_GET_SIZE(errors.get()) != 0) {
            line = 65;
            Ref error_class = global_attribute(names::error, names::ParameterError);
            if (!error_class) return nullptr;
            return raise_package_error(error_class.get(), {}, {names::errors, names::all_sels},
                                       {errors.get(), par_names.get()});
        }
        line = 67;
        pars = collect_values(par_names.get(), parameters);
        if (!pars) return nullptr;
    } else {
        line = 69;
        Ref error_class = global_attribute(names::error, names::ORVError);
        if (!error_class) return nullptr;
        return raise_package_error(error_class.get(), {texts::parameters_type_message}, {}, {});
    }

    line = 71;
    Ref fun = global_attribute(names::variogram, model);
    if (!fun) return nullptr;
    line = 73;
    return PyTuple_Pack(3, model, fun.get(), pars.get());
}

} // namespace krige
