#include "devices/destination_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "devices/borrowed_device.hpp"

namespace qv {

bool is_source_path(device_handle& source, const char* path) {
    // A device lent to a reader is the device it reads through.
    if (auto* lent = dynamic_cast<borrowed_device*>(&source)) return is_source_path(lent->inner(), path);
    auto* file = dynamic_cast<file_device*>(&source);
    if (!file || !path) return false;
    struct stat src {}, target {};
    if (::fstat(file->fd(), &src) != 0 || ::stat(path, &target) != 0) return false;
    if (S_ISBLK(src.st_mode)) return S_ISBLK(target.st_mode) && src.st_rdev == target.st_rdev;
    return src.st_dev == target.st_dev && src.st_ino == target.st_ino;
}

int create_destination(device_handle& source, const char* destination) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(destination, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST || attempt == 1) return fd;
        struct stat st {};
        if (::lstat(destination, &st) != 0) return -1;
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return -1;
        if (is_source_path(source, destination)) return -1;
        if (::unlink(destination) != 0) return -1;
    }
    return -1;
}

destination_file::~destination_file() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_);
}

bool destination_file::keep() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return false;
    kept_ = true;
    return true;
}

}  // namespace qv
