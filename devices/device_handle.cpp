#include "devices/device_handle.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qv {

int64_t device_size_of_fd(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
        return int64_t(bytes);
    }
    if (S_ISREG(st.st_mode)) return st.st_size;
    return -1;
}

std::unique_ptr<file_device> file_device::open(const std::string& path, uint64_t offset,
                                               uint64_t length, bool whole, access_mode mode,
                                               std::string* error) {
    int flags = (mode == access_mode::read_write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return adopt(fd, path, offset, length, whole, mode, error);
}

std::unique_ptr<file_device> file_device::adopt(int fd, const std::string& path, uint64_t offset,
                                                uint64_t length, bool whole, access_mode mode,
                                                std::string* error) {
    int64_t size = device_size_of_fd(fd);
    if (size < 0) {
        if (error) *error = path + ": not a block device or regular file";
        ::close(fd);
        return nullptr;
    }
    uint64_t usize = uint64_t(size);
    if (offset > usize) offset = usize;
    if (whole) length = usize - offset;
    if (length > usize - offset) length = usize - offset;  // clamp a window that runs past the end
    return std::unique_ptr<file_device>(
        new file_device(fd, path, offset, length, mode == access_mode::read_write));
}

file_device::file_device(int fd, std::string path, uint64_t offset, uint64_t length, bool writable)
    : fd_(fd), path_(std::move(path)), offset_(offset), length_(length), writable_(writable) {}

file_device::~file_device() { ::close(fd_); }

int64_t file_device::read_at(uint64_t offset, void* buffer, size_t len) {
    if (offset >= length_) return 0;
    if (len > length_ - offset) len = size_t(length_ - offset);
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < len) {
        ssize_t n = ::pread(fd_, out + done, len - done, off_t(offset_ + offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return int64_t(done);
}

void file_device::expect_scattered_reads(bool scattered) {
    // Advice only: where the system ignores it, reads are merely slower.
    (void)::posix_fadvise(fd_, off_t(offset_), off_t(length_), scattered ? POSIX_FADV_RANDOM : POSIX_FADV_NORMAL);
}

int64_t file_device::write_at(uint64_t offset, const void* buffer, size_t len) {
    if (!writable_) return -1;
    if (offset > length_ || len > length_ - offset) return -1;
    size_t done = 0;
    auto* in = static_cast<const uint8_t*>(buffer);
    while (done < len) {
        ssize_t n = ::pwrite(fd_, in + done, len - done, off_t(offset_ + offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return -1;
        done += size_t(n);
    }
    return int64_t(done);
}

bool file_device::medium_present() const { return device_size_of_fd(fd_) > 0; }

int file_device::sync() { return ::fsync(fd_) == 0 ? 0 : -1; }

int64_t memory_device::read_at(uint64_t offset, void* buffer, size_t len) {
    if (offset >= bytes_.size()) return 0;
    if (len > bytes_.size() - offset) len = size_t(bytes_.size() - offset);
    if (len) std::memcpy(buffer, bytes_.data() + offset, len);
    return int64_t(len);
}

int64_t memory_device::write_at(uint64_t offset, const void* buffer, size_t len) {
    if (!writable_ || offset > bytes_.size() || len > bytes_.size() - offset) return -1;
    if (len) std::memcpy(bytes_.data() + offset, buffer, len);
    return int64_t(len);
}

}  // namespace qv
