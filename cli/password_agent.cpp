#include "cli/password_agent.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

extern char** environ;

namespace qv::cli {

namespace {

// pkttyagent closes its notify descriptor once it is registered with polkit.
constexpr int registration_timeout_ms = 10000;

std::string find_pkttyagent() {
    for (const char* p : {"/usr/bin/pkttyagent", "/bin/pkttyagent", "/usr/local/bin/pkttyagent"})
        if (::access(p, X_OK) == 0) return p;
    return {};
}

}  // namespace

terminal_password_agent::~terminal_password_agent() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

bool terminal_password_agent::start() {
    if (tried_) return pid_ > 0;
    tried_ = true;
    if (!::isatty(STDIN_FILENO)) return false;
    const std::string agent = find_pkttyagent();
    if (agent.empty()) {
        std::fprintf(stderr,
                     "quorvane-cli: pkttyagent is not installed, so no password can be asked here; "
                     "if no desktop dialog appears, run quorvane-cli with sudo\n");
        return false;
    }
    int notify[2];
    if (::pipe2(notify, O_CLOEXEC) != 0) return false;
    // The write end goes to the agent as descriptor 3.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, notify[1], 3);
    std::string process = std::to_string(::getpid());
    std::string a0 = agent, a1 = "--process", a3 = "--notify-fd", a4 = "3", a5 = "--fallback";
    char* argv[] = {a0.data(), a1.data(), process.data(), a3.data(), a4.data(), a5.data(), nullptr};
    int rc = posix_spawn(&pid_, agent.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(notify[1]);
    if (rc != 0) {
        ::close(notify[0]);
        pid_ = -1;
        return false;
    }
    // Wait until it is registered (the pipe closes) or it gives up.
    pollfd p{notify[0], POLLIN, 0};
    while (::poll(&p, 1, registration_timeout_ms) < 0 && errno == EINTR) {
    }
    ::close(notify[0]);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // it could not register; a desktop agent or sudo remains
        return false;
    }
    return true;
}

}  // namespace qv::cli
