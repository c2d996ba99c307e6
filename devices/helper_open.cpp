#include "devices/data_places.hpp"
#include "devices/open_routes.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "devices/fd_passing.hpp"

extern char** environ;

namespace qv {

namespace {

// pkexec's own exit codes.
constexpr int pkexec_dismissed = 126;
constexpr int pkexec_not_authorised = 127;
// How often the main thread's events are served while it waits for the helper.
constexpr int main_thread_slice_ms = 50;

bool executable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

// Waits for the helper's message or its end; false on a timeout. The
// application's main thread keeps serving its events (painting) in slices.
bool wait_for_descriptor(int sock, int timeout_ms, int* fd, passed_status* status, std::string* note) {
    const passed_status nothing = passed_status(0);
    *status = nothing;
    auto* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        *fd = receive_passed_fd(sock, timeout_ms, status, note);
        return *status != nothing;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        *fd = receive_passed_fd(sock, main_thread_slice_ms, status, note);
        if (*status != nothing) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, main_thread_slice_ms);
    }
}

}  // namespace

std::string find_pkexec() {
    for (const char* p : {"/usr/bin/pkexec", "/bin/pkexec", "/usr/local/bin/pkexec"})
        if (executable(p)) return p;
    return {};
}

std::string find_open_helper() {
    if (const char* named = std::getenv("QUORVANE_OPEN_HELPER"); named && *named)
        return executable(named) ? std::string(named) : std::string();
    for (const std::string& place : helper_places()) {
        const std::string candidate = place + "/quorvane-open-helper";
        if (executable(candidate)) {
            std::error_code ec;
            auto canonical = std::filesystem::canonical(candidate, ec);
            return ec ? candidate : canonical.string();
        }
    }
    return {};
}

route_result open_with_helper(const std::string& device, const std::string& helper, int timeout_ms) {
    route_result out;
    const std::string pkexec = find_pkexec();
    if (pkexec.empty() || helper.empty()) {
        out.unavailable = true;
        out.error = device + ": neither udisks2 nor pkexec with the open helper is installed";
        return out;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        out.error = device + ": cannot make a socket for the open helper";
        return out;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy, so the socket survives as standard output.
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
    std::string arg0 = pkexec, arg1 = helper, arg2 = device;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, pkexec.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        out.unavailable = true;
        out.error = device + ": cannot start pkexec";
        return out;
    }

    passed_status status = passed_status::refused;
    std::string note;
    bool answered = wait_for_descriptor(pair[0], timeout_ms, &out.fd, &status, &note);
    ::close(pair[0]);
    int wstatus = 0;
    if (!answered) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, &wstatus, 0);
        out.error = device + ": no answer from pkexec in time (the password was not given)";
        return out;
    }
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (out.fd >= 0) {
        out.in_use = status == passed_status::in_use;
        return out;
    }
    int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    if (!note.empty())
        out.error = note;
    else if (code == pkexec_dismissed)
        out.error = device + ": the password dialog was dismissed (pkexec)";
    else if (code == pkexec_not_authorised)
        out.error = device + ": not authorised to read it (pkexec): no password dialog answered; start "
                             "Quorvane from a desktop session, or run quorvane-cli in a terminal or with sudo";
    else
        out.error = device + ": the open helper failed (exit " + std::to_string(code) + ")";
    return out;
}

}  // namespace qv
