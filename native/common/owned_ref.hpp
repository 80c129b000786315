// Ref: an owned (strong) reference to an interpreter object.
//
// Constructing a Ref from a PyObject* takes over that reference; the destructor releases it.
// Every C-API call that returns a new reference is wrapped at once, so that each early return
// (error paths included) releases what the function took.
#pragma once

#include <Python.h>

#include <utility>

namespace krige {

class Ref {
  public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : object_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : object_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // A new strong reference to a borrowed object.
    static Ref borrow(PyObject *borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() noexcept { return std::exchange(object_, nullptr); }

    // Replaces the held object; the old one is released last, since releasing may run code.
    void reset(PyObject *owned = nullptr) noexcept {
        PyObject *old = std::exchange(object_, owned);
        Py_XDECREF(old);
    }

  private:
    PyObject *object_ = nullptr;
};

} // namespace krige
