// Traceback entries: one frame, with the module's file name, a function name and a line, added to
// the pending exception's traceback.
#pragma once

namespace krige {

inline constexpr const char *initialisation_name = "init orv._algos.spmis.krige.core";

// Must be called with an exception pending. If the entry cannot be made, the error of that attempt
// replaces the pending exception.
void add_traceback_entry(const char *function_name, int line);

} // namespace krige
