// For the module layers: the thread settings of the package's `threads` module (set_num_threads,
// ORV_KRIGE_NUM_THREADS, or the cores this process may run on), read once per call and handed
// down to the engines.
#pragma once

#include "common/owned_ref.hpp"
#include "common/thread_policy.hpp"

#include <cstdint>

namespace krige {

// The entry `name` of the settings module as an int of at least 1, or `fallback` when the module
// is not loaded or the entry is absent or not such an int. -1 with an exception set only for an
// error other than "not there" (for instance KeyboardInterrupt, or a key whose comparison raises).
inline int64_t thread_setting(PyObject *settings, const char *name, int64_t fallback) {
    // The module's dictionary is read directly, so that no attribute hook runs here.
    Ref key(PyUnicode_FromString(name));
    if (!key) return -1;
    Ref value(Py_XNewRef(PyDict_GetItemWithError(PyModule_GetDict(settings), key.get())));
    if (!value) return PyErr_Occurred() ? -1 : fallback;
    if (!PyLong_CheckExact(value.get())) return fallback;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (number == -1 && PyErr_Occurred()) return -1;
    if (overflow > 0) return most_threads; // more than any engine starts
    return overflow == 0 && number >= 1 ? number : fallback;
}

// The configured count (`_num_threads`) and the private bound `_min_pairs_for_threads` with
// which tests run small problems on several threads. The usual policy (one thread) when the
// settings module is not loaded; false with an exception set only for an error other than
// "not there".
inline bool read_thread_policy(ThreadPolicy &policy) {
    policy = ThreadPolicy{};
    Ref module_name(PyUnicode_FromString("orv._algos.spmis.krige.threads"));
    if (!module_name) return false;
    Ref settings(PyImport_GetModule(module_name.get()));
    if (!settings) return !PyErr_Occurred();
    if (!PyModule_Check(settings.get())) return true;
    const int64_t configured = thread_setting(settings.get(), "_num_threads", 1);
    if (configured < 0) return false;
    const int64_t bound =
        thread_setting(settings.get(), "_min_pairs_for_threads", pairs_worth_a_thread);
    if (bound < 0) return false;
    policy.configured = configured;
    policy.min_pairs = bound;
    return true;
}

} // namespace krige
