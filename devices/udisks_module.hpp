#pragma once
// The udisks2 route lives in a module of its own (libquorvane-udisks.so),
// opened the first time a device needs it: Qt's D-Bus library and the system
// libraries it brings take longer to load than the rest of the program.

#include <string>

#include "devices/open_routes.hpp"

namespace qv {

// Bumped whenever udisks_calls changes, so a stale module is not used.
inline constexpr int udisks_module_version = 1;

struct udisks_calls {
    int version;
    bool (*available)();
    route_result (*open)(const std::string& device, access_mode mode, int timeout_ms);
};

// The module's file name, and the name of the function it exports that
// returns its udisks_calls.
inline constexpr const char* udisks_module_name = "libquorvane-udisks.so";
inline constexpr const char* udisks_module_entry = "quorvane_udisks_calls";

}  // namespace qv
