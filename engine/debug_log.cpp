#include "engine/debug_log.hpp"

#include <cstdio>
#include <cstdlib>

namespace qv {

bool debug_enabled() {
    static const bool enabled = std::getenv("QUORVANE_DEBUG") != nullptr;
    return enabled;
}

void debug_printf(const char* format, ...) {
    if (!debug_enabled()) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

}  // namespace qv
