#include "devices/fd_passing.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qv {

namespace {

// A note longer than this is cut: it is one line for the user.
constexpr size_t max_note_bytes = 1000;

}  // namespace

int send_passed_fd(int sock, passed_status status, const std::string& note, int fd) {
    char payload[1 + max_note_bytes];
    payload[0] = char(status);
    size_t note_bytes = std::min(note.size(), max_note_bytes);
    std::memcpy(payload + 1, note.data(), note_bytes);
    iovec iov{payload, 1 + note_bytes};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (status != passed_status::refused) {
        if (fd < 0) {
            errno = EBADF;
            return -1;
        }
        std::memset(control, 0, sizeof control);
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    for (;;) {
        ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n == ssize_t(1 + note_bytes) ? 0 : -1;
    }
}

int receive_passed_fd(int sock, int timeout_ms, passed_status* status, std::string* note) {
    pollfd p{sock, POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        break;
    }
    char payload[1 + max_note_bytes];
    iovec iov{payload, sizeof payload};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    // Every descriptor that came along is ours to close, whatever the message says.
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int got = -1;
            std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (fd < 0)
                fd = got;
            else
                ::close(got);
        }
    }
    if (n <= 0) {
        if (fd >= 0) ::close(fd);
        *status = passed_status::refused;  // closed without a message
        if (note) note->clear();
        return -1;
    }
    char code = payload[0];
    bool known = code == char(passed_status::opened) || code == char(passed_status::in_use) ||
                 code == char(passed_status::refused);
    if (!known || (msg.msg_flags & (MSG_CTRUNC | MSG_TRUNC))) {
        if (fd >= 0) ::close(fd);
        *status = passed_status::refused;
        if (note) *note = "the open helper sent a message that is not understood";
        return -1;
    }
    *status = passed_status(code);
    if (note) note->assign(payload + 1, size_t(n - 1));
    if (*status == passed_status::refused && fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace qv
