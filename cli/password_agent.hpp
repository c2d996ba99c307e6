#pragma once
// Lets polkit ask for a password in the terminal (pkttyagent) when no
// desktop agent is running, for the devices quorvane-cli may not read itself.

#include <sys/types.h>

namespace qv::cli {

class terminal_password_agent {
public:
    terminal_password_agent() = default;
    ~terminal_password_agent();
    terminal_password_agent(const terminal_password_agent&) = delete;
    terminal_password_agent& operator=(const terminal_password_agent&) = delete;

    // Starts `pkttyagent --fallback` for this process once, when standard
    // input is a terminal. A desktop agent, where one runs, keeps asking.
    // False (with a line on standard error) when it cannot be started.
    bool start();

private:
    bool tried_ = false;
    pid_t pid_ = -1;
};

}  // namespace qv::cli
