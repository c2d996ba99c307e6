#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "devices/data_places.hpp"
#include "devices/open_routes.hpp"
#include "devices/udisks_module.hpp"

namespace qv {

namespace {

struct loaded_module {
    const udisks_calls* calls = nullptr;
    std::string why;  // why there is none
};

// Opened once, on first use, and kept for the life of the process.
// QUORVANE_UDISKS_MODULE names another file (tests).
const loaded_module& udisks_module() {
    static const loaded_module module = [] {
        loaded_module out;
        std::vector<std::string> candidates;
        if (const char* named = std::getenv("QUORVANE_UDISKS_MODULE"); named && *named) {
            candidates.push_back(named);
        } else {
            for (const std::string& place : helper_places())
                candidates.push_back(place + "/" + udisks_module_name);
            // The build tree's test programs, beside bin/.
            if (const std::string here = executable_folder(); !here.empty())
                candidates.push_back(here + "/../bin/" + udisks_module_name);
        }
        for (const std::string& path : candidates) {
            if (::access(path.c_str(), R_OK) != 0) continue;
            void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* error = ::dlerror();
                out.why = error ? error : path + ": cannot be loaded";
                continue;
            }
            using entry_fn = const udisks_calls* (*)();
            auto entry = reinterpret_cast<entry_fn>(::dlsym(handle, udisks_module_entry));
            const udisks_calls* calls = entry ? entry() : nullptr;
            if (!calls || calls->version != udisks_module_version || !calls->available || !calls->open) {
                out.why = path + ": not the udisks2 module of this version of Quorvane";
                ::dlclose(handle);
                continue;
            }
            out.calls = calls;
            out.why.clear();
            return out;
        }
        if (out.why.empty()) out.why = std::string(udisks_module_name) + " is not installed";
        return out;
    }();
    return module;
}

}  // namespace

bool udisks_available() {
    const loaded_module& module = udisks_module();
    return module.calls && module.calls->available();
}

route_result open_with_udisks(const std::string& device, access_mode mode, int timeout_ms) {
    const loaded_module& module = udisks_module();
    if (!module.calls) {
        route_result out;
        out.unavailable = true;
        out.error = device + ": the udisks2 module could not be loaded (" + module.why + ")";
        return out;
    }
    return module.calls->open(device, mode, timeout_ms);
}

}  // namespace qv
