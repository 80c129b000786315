// What the function bodies share: the global look-up, the raise rules for objects returned by the
// package's error classes, and short call helpers over the vectorcall protocol.
#pragma once

#include "common/owned_ref.hpp"

#include <initializer_list>
#include <span>

namespace krige {

// A module-level name: the module dictionary first, then the builtins module; otherwise
// NameError "name '...' is not defined". Only absence becomes NameError: an error raised while
// comparing keys, or by the builtins module other than AttributeError, propagates. Nothing is
// cached, so rebinding a global takes effect at the next use.
Ref lookup_global(PyObject *name);

// Raises `raised` as a raise statement would: an exception instance unchanged, an exception class
// called without arguments, anything else a TypeError. Always returns nullptr.
PyObject *raise_object(PyObject *raised);

// callable(*args) and callable(*args, keyword=value, ...).
Ref call(PyObject *callable, std::initializer_list<PyObject *> args);
Ref call(PyObject *callable, std::initializer_list<PyObject *> args,
         std::initializer_list<PyObject *> keyword_names,
         std::initializer_list<PyObject *> keyword_values);

// A new list that takes over `items`. It is made only once every item exists, as the
// interpreter's list display does, so that no code (a gc.get_objects() walk in a warning hook)
// ever sees it with empty slots. On failure the items stay with the caller.
Ref new_list(std::span<Ref> items);

// owner.name, with nullptr passed through so that look-ups can be chained.
Ref attribute(PyObject *owner, PyObject *name);

// The module's global `owner_name`, then its attribute `name`: `np.max` and the like.
Ref global_attribute(PyObject *owner_name, PyObject *name);

} // namespace krige
