// The number of threads that the pair engines may use, as set in the package's `threads` module
// (set_num_threads, ORV_KRIGE_NUM_THREADS, or the cores this process may run on).
#pragma once

#include "common/owned_ref.hpp"

#include <cstdint>

namespace krige::engine {

// The configured count, reduced to 1 for work too small to gain from threads. 1 when the
// settings module is not loaded or holds no usable count; -1 with an exception set only for an
// error other than "not there" (for instance KeyboardInterrupt).
inline int thread_count(int64_t pairs) {
    constexpr int64_t pairs_worth_a_thread = 10'000'000;
    if (pairs < pairs_worth_a_thread) return 1;
    Ref name(PyUnicode_FromString("orv._algos.spmis.krige.threads"));
    if (!name) return -1;
    Ref settings(PyImport_GetModule(name.get()));
    if (!settings) return PyErr_Occurred() ? -1 : 1;
    if (!PyModule_Check(settings.get())) return 1;
    // The module's dictionary is read directly, so that no attribute hook runs here.
    Ref key(PyUnicode_FromString("_num_threads"));
    if (!key) return -1;
    PyObject *count_object = // borrowed
        PyDict_GetItemWithError(PyModule_GetDict(settings.get()), key.get());
    if (count_object == nullptr) return PyErr_Occurred() ? -1 : 1;
    if (!PyLong_CheckExact(count_object)) return 1;
    int overflow = 0;
    long count = PyLong_AsLongAndOverflow(count_object, &overflow);
    if (count == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || count < 1) return 1;
    constexpr long most = 256;
    return int(count < most ? count : most);
}

} // namespace krige::engine
