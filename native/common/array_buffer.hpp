// ArrayBuffer: the memory of a C-contiguous float64 or int64 array, held through the buffer
// protocol for as long as the ArrayBuffer lives.
//
// Any native-endian format of the element type is accepted ("d", "=d", "<d" on a little-endian
// machine...): NumPy describes an array at an unaligned address, such as one read out of a network
// message, with an explicit byte order. Reading unaligned items through a typed pointer is
// undefined, so for reading such memory is copied once into aligned memory the buffer owns; memory
// that is written to must be aligned.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <vector>

namespace krige {

enum class Access {
    read,          // unaligned memory is copied
    read_in_place, // unaligned memory is refused (the caller keeps the array's own address)
    write,         // unaligned memory is refused
};

template <class T> struct ElementFormat;
template <> struct ElementFormat<double> {
    static constexpr const char *name = "float64";
    static constexpr const char *letters = "d";
};
template <> struct ElementFormat<int64_t> {
    static constexpr const char *name = "int64";
    static constexpr const char *letters = sizeof(long) == 8 ? "ql" : "q";
};

// True when a buffer protocol format describes one native-endian item of one of `letters`.
inline bool native_format(const char *format, const char *letters) {
    if (format == nullptr) return false; // unsigned bytes
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native_order) ++format;
    return format[0] != '\0' && format[1] == '\0' && std::strchr(letters, format[0]) != nullptr;
}

template <class T> class ArrayBuffer {
  public:
    // Empty (false, with an exception set) unless `object` exports C-contiguous native-endian
    // memory of T with `dimensions` dimensions; `name` names it in the messages. A null `object`
    // gives an empty buffer and no exception.
    ArrayBuffer(PyObject *object, int dimensions, Access access, const char *name = "the array") {
#if !defined(NDEBUG) || defined(KRIGE_CHECKED)
        // Requesting a buffer may run Python code, which must never run with an error pending.
        if (PyErr_Occurred()) Py_FatalError("ArrayBuffer requested with an exception pending");
#endif
        if (object == nullptr) return;
        const bool writable = access == Access::write;
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &buffer_, flags) < 0) return;
        held_ = true;
        using Format = ElementFormat<T>;
        if (buffer_.ndim != dimensions || buffer_.itemsize != Py_ssize_t(sizeof(T)) ||
            !native_format(buffer_.format, Format::letters)) {
            PyErr_Format(PyExc_TypeError,
                         "%s must be a C-contiguous %d-dimensional %s array; got %d dimension(s) "
                         "of %zd-byte items of format '%s'",
                         name, dimensions, Format::name, buffer_.ndim, buffer_.itemsize,
                         buffer_.format != nullptr ? buffer_.format : "B");
            return;
        }
        data_ = static_cast<T *>(buffer_.buf);
        if (reinterpret_cast<std::uintptr_t>(buffer_.buf) % alignof(T) != 0) {
            if (access != Access::read) {
                PyErr_Format(PyExc_ValueError,
                             "%s must be aligned: its %s items do not start at a multiple of %zu "
                             "bytes",
                             name, Format::name, alignof(T));
                return;
            }
            try {
                copy_.resize(std::size_t(buffer_.len) / sizeof(T));
            } catch (const std::bad_alloc &) {
                PyErr_NoMemory();
                return;
            }
            if (!copy_.empty()) std::memcpy(copy_.data(), buffer_.buf, copy_.size() * sizeof(T));
            data_ = copy_.data();
        }
        valid_ = true;
    }
    ArrayBuffer(const ArrayBuffer &) = delete;
    ArrayBuffer &operator=(const ArrayBuffer &) = delete;
    ~ArrayBuffer() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    explicit operator bool() const { return valid_; }
    Py_ssize_t extent(int axis) const { return buffer_.shape[axis]; }
    T *data() const { return data_; }
    std::span<T> values() const { return {data_, std::size_t(buffer_.len) / sizeof(T)}; }

  private:
    Py_buffer buffer_{};
    bool held_ = false;
    bool valid_ = false;
    T *data_ = nullptr;
    std::vector<T> copy_; // the items of unaligned memory
};

using Float64Buffer = ArrayBuffer<double>;
using Int64Buffer = ArrayBuffer<int64_t>;

} // namespace krige
