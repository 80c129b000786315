// Float64Buffer: the memory of a C-contiguous float64 array, held through the buffer protocol for
// as long as the Float64Buffer lives.
#pragma once

#include <Python.h>

#include <cstring>
#include <span>

namespace krige {

class Float64Buffer {
  public:
    // Empty (false, with an exception set) unless `object` exports C-contiguous native float64
    // memory of `dimensions` dimensions; a null `object` gives an empty buffer and no exception.
    Float64Buffer(PyObject *object, int dimensions, bool writable) {
        if (object == nullptr) return;
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &buffer_, flags) < 0) return;
        held_ = true;
        valid_ = buffer_.ndim == dimensions && buffer_.itemsize == 8 &&
                 std::strcmp(buffer_.format, "d") == 0;
        if (!valid_) PyErr_SetString(PyExc_TypeError, "expected a C-contiguous float64 array");
    }
    Float64Buffer(const Float64Buffer &) = delete;
    Float64Buffer &operator=(const Float64Buffer &) = delete;
    ~Float64Buffer() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    explicit operator bool() const { return valid_; }
    Py_ssize_t extent(int axis) const { return buffer_.shape[axis]; }
    double *data() const { return static_cast<double *>(buffer_.buf); }
    std::span<double> values() const { return {data(), size_t(buffer_.len) / sizeof(double)}; }

  private:
    Py_buffer buffer_{};
    bool held_ = false;
    bool valid_ = false;
};

} // namespace krige
