#pragma once
// Diagnostic lines of the engines, written to standard output only when QUORVANE_DEBUG is set.

#include <cstdarg>

namespace qv {

bool debug_enabled();
void debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qv
