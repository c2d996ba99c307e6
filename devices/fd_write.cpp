#include "devices/fd_write.hpp"

#include <unistd.h>

#include <cerrno>

namespace qv {

namespace {

template <typename Write>
bool write_loop(const void* data, size_t len, Write write_some) {
    auto* p = static_cast<const uint8_t*>(data);
    uint64_t done = 0;
    while (len > 0) {
        ssize_t n = write_some(p, len, done);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
        done += uint64_t(n);
    }
    return true;
}

}  // namespace

bool write_all(int fd, const void* data, size_t len) {
    return write_loop(data, len, [fd](const uint8_t* p, size_t n, uint64_t) {
        return ::write(fd, p, n);
    });
}

bool pwrite_all(int fd, const void* data, size_t len, uint64_t offset) {
    return write_loop(data, len, [fd, offset](const uint8_t* p, size_t n, uint64_t done) {
        return ::pwrite(fd, p, n, off_t(offset + done));
    });
}

}  // namespace qv
