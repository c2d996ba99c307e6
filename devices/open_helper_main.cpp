// quorvane-open-helper: started by pkexec as root, opens one block device
// read-only and passes the descriptor back over its standard output, which
// must be a Unix socket. It takes nothing from the environment (pkexec clears
// it) and refuses anything that is not a block device.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "devices/fd_passing.hpp"

namespace {

constexpr int exit_opened = 0;
constexpr int exit_refused = 1;
constexpr int exit_usage = 2;

int refuse(const std::string& note) {
    qv::send_passed_fd(STDOUT_FILENO, qv::passed_status::refused, note, -1);
    return exit_refused;
}

}  // namespace

int main(int argc, char** argv) {
    struct stat out {};
    int type = 0;
    socklen_t type_len = sizeof type;
    if (fstat(STDOUT_FILENO, &out) != 0 || !S_ISSOCK(out.st_mode) ||
        getsockopt(STDOUT_FILENO, SOL_SOCKET, SO_TYPE, &type, &type_len) != 0) {
        static const char text[] =
            "quorvane-open-helper: standard output must be the socket the program passed\n";
        (void)!write(STDERR_FILENO, text, sizeof text - 1);
        return exit_usage;
    }
    if (argc != 2 || argv[1][0] != '/') return refuse("usage: quorvane-open-helper /dev/DEVICE");
    const std::string path = argv[1];

    // O_NONBLOCK keeps a FIFO or a tape from stalling the open; it is cleared below.
    const int base = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(path.c_str(), base | O_EXCL);
    bool in_use = false;
    if (fd < 0 && errno == EBUSY) {
        in_use = true;
        fd = ::open(path.c_str(), base);
    }
    if (fd < 0) return refuse(path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        ::close(fd);
        return refuse(path + ": not a block device; the helper opens only drives and partitions");
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int rc = qv::send_passed_fd(STDOUT_FILENO, in_use ? qv::passed_status::in_use : qv::passed_status::opened,
                                 in_use ? path + " is in use" : std::string(), fd);
    ::close(fd);
    return rc == 0 ? exit_opened : exit_refused;
}
