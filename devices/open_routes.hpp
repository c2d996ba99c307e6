#pragma once
// The ways to open a block device the user may not read directly: udisks2's
// Block.OpenDevice (polkit asks for the password) and the pkexec open helper.

#include <string>

#include "devices/device_handle.hpp"

namespace qv {

// How long a route waits for its answer: long enough for a password dialog.
inline constexpr int authorisation_timeout_ms = 150000;

struct route_result {
    int fd = -1;               // the caller owns it when >= 0
    bool in_use = false;       // opened without an exclusive claim: something holds the device
    bool unavailable = false;  // this route does not exist here; try the next one
    std::string error_name;    // D-Bus error name when udisks refused ("...NotAuthorizedCanObtain")
    std::string error;         // one line for the user, naming the device
};

// Asks udisks2 for `device` ("r" for reading, "rw" only for mode read_write).
// Waits without freezing the calling thread's event loop when it is the
// application's main thread; other threads block until the answer or the timeout.
route_result open_with_udisks(const std::string& device, access_mode mode,
                              int timeout_ms = authorisation_timeout_ms);

// Whether org.freedesktop.UDisks2 is on the system bus or can be started there.
bool udisks_available();

// Starts `pkexec helper device` with a socket as the helper's standard output
// and takes the descriptor it passes back. Read-only.
route_result open_with_helper(const std::string& device, const std::string& helper,
                              int timeout_ms = authorisation_timeout_ms);

// The installed open helper and pkexec, or empty when either is missing.
// QUORVANE_OPEN_HELPER names another helper (tests of a build tree).
std::string find_open_helper();
std::string find_pkexec();

}  // namespace qv
