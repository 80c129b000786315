// The number of threads that the pair engines may use, as set in the package's `threads` module
// (set_num_threads, ORV_KRIGE_NUM_THREADS, or the cores this process may run on).
#pragma once

#include "common/owned_ref.hpp"

#include <cstdint>

namespace krige::engine {

// The entry `name` of the settings module as an int of at least 1, or `fallback` when the module
// is not loaded or the entry is absent or not such an int. -1 with an exception set only for an
// error other than "not there" (for instance KeyboardInterrupt, or a key whose comparison raises).
inline int64_t thread_setting(const char *name, int64_t fallback) {
    Ref module_name(PyUnicode_FromString("orv._algos.spmis.krige.threads"));
    if (!module_name) return -1;
    Ref settings(PyImport_GetModule(module_name.get()));
    if (!settings) return PyErr_Occurred() ? -1 : fallback;
    if (!PyModule_Check(settings.get())) return fallback;
    // The module's dictionary is read directly, so that no attribute hook runs here.
    Ref key(PyUnicode_FromString(name));
    if (!key) return -1;
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(settings.get()), key.get());
    if (value == nullptr) return PyErr_Occurred() ? -1 : fallback; // borrowed
    if (!PyLong_CheckExact(value)) return fallback;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) return -1;
    return overflow == 0 && number >= 1 ? number : fallback;
}

// The configured count, reduced to 1 for work too small to gain from threads. 1 when the
// settings module is not loaded or holds no usable count; -1 with an exception set only for an
// error other than "not there".
inline int thread_count(int64_t pairs) {
    constexpr int64_t pairs_worth_a_thread = 10'000'000;
    if (pairs < pairs_worth_a_thread) return 1;
    const int64_t count = thread_setting("_num_threads", 1);
    constexpr int64_t most = 256;
    return count < 0 ? -1 : int(count < most ? count : most);
}

} // namespace krige::engine
