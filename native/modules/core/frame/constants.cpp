#include "modules/core/frame/constants.hpp"

namespace krige {
namespace {

// An interned str whose hash is computed now, so that no later look-up hashes it again.
int make_string(PyObject *&slot, const char *text) {
    if (slot != nullptr) return 0;
    PyObject *string = PyUnicode_InternFromString(text);
    if (string == nullptr || PyObject_Hash(string) == -1) {
        Py_XDECREF(string);
        return -1;
    }
    slot = string;
    return 0;
}

int make_number(PyObject *&slot, PyObject *number) {
    if (slot == nullptr)
        slot = number;
    else
        Py_XDECREF(number);
    return slot == nullptr ? -1 : 0;
}

int make_tuple(PyObject *&slot, PyObject *first, PyObject *second, PyObject *third = nullptr) {
    if (slot != nullptr) return 0;
    slot = third ? PyTuple_Pack(3, first, second, third) : PyTuple_Pack(2, first, second);
    return slot == nullptr ? -1 : 0;
}

} // namespace

int make_empty_values() {
    using namespace literals;
    if (empty_tuple == nullptr && (empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (empty_bytes == nullptr && (empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) == nullptr)
        return -1;
    return make_string(empty_str, "");
}

int make_constant_table() {
#define KRIGE_MAKE(identifier)                                                                     \
    if (make_string(names::identifier, #identifier) < 0) return -1;
    KRIGE_IDENTIFIERS(KRIGE_MAKE)
#undef KRIGE_MAKE
#define KRIGE_MAKE(identifier, text)                                                               \
    if (make_string(texts::identifier, text) < 0) return -1;
    KRIGE_TEXTS(KRIGE_MAKE)
#undef KRIGE_MAKE
    using namespace literals;
    const struct {
        PyObject *&slot;
        double value;
    } floats[] = {{zero_f, 0.0}, {half, 0.5}, {one_f, 1.0}, {two_f, 2.0}, {thousandth, 0.001}};
    for (const auto &[slot, value] : floats)
        if (make_number(slot, PyFloat_FromDouble(value)) < 0) return -1;
    const struct {
        PyObject *&slot;
        long value;
    } ints[] = {{zero, 0}, {one, 1}, {two, 2}, {three, 3}};
    for (const auto &[slot, value] : ints)
        if (make_number(slot, PyLong_FromLong(value)) < 0) return -1;
    return 0;
}

int make_index_constants() {
    using namespace literals;
    if (full_slice == nullptr && (full_slice = PySlice_New(nullptr, nullptr, nullptr)) == nullptr)
        return -1;
    if (make_tuple(new_leading_axis, Py_None, full_slice) < 0 ||
        make_tuple(new_trailing_axis, full_slice, Py_None) < 0 ||
        make_tuple(plane_0, zero, full_slice, full_slice) < 0 ||
        make_tuple(plane_1, one, full_slice, full_slice) < 0)
        return -1;
    return 0;
}

} // namespace krige
