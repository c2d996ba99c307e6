#include "exfat/file_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qv::exfat {

namespace {

constexpr size_t copy_block = 4u << 20;

bool write_all(int fd, const uint8_t* data, size_t len, uint64_t offset) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

// Creates destination as a new regular file. An existing regular file or
// symbolic link of that name is replaced; anything else (a device, a folder,
// the image being scanned) is refused.
int create_destination(volume& vol, const char* destination) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(destination, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST || attempt == 1) return fd;
        struct stat st {};
        if (::lstat(destination, &st) != 0) return -1;
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return -1;
        if (S_ISREG(st.st_mode) && is_source_path(vol, destination)) return -1;
        if (::unlink(destination) != 0) return -1;
    }
    return -1;
}

class destination_file {
public:
    destination_file(int fd, const char* path) : fd_(fd), path_(path) {}
    ~destination_file() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_);
    }
    destination_file(const destination_file&) = delete;
    destination_file& operator=(const destination_file&) = delete;
    int fd() const { return fd_; }
    bool keep() {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return false;
        kept_ = true;
        return true;
    }

private:
    int fd_;
    const char* path_;
    bool kept_ = false;
};

timespec to_timespec(const timestamp& t) {
    timespec ts{};
    ts.tv_sec = time_t(t.seconds);
    ts.tv_nsec = long(t.nanoseconds);
    return ts;
}

}  // namespace

bool is_source_path(volume& vol, const char* path) {
    auto* file = dynamic_cast<file_device*>(&vol.device());
    if (!file || !path) return false;
    struct stat source {}, target {};
    if (::fstat(file->fd(), &source) != 0 || ::stat(path, &target) != 0) return false;
    if (S_ISBLK(source.st_mode)) return S_ISBLK(target.st_mode) && source.st_rdev == target.st_rdev;
    return source.st_dev == target.st_dev && source.st_ino == target.st_ino;
}

int copy_file(volume& vol, const found_entry& item, const char* destination, copy_report* report) {
    if (item.set.directory()) return copy_not_a_file;
    if (!destination || !*destination) return copy_destination;
    const geometry& g = vol.layout();
    const entry_set& set = item.set;
    const uint64_t valid = std::min(set.valid_length, set.data_length);
    if (set.data_length > 0 && !g.valid_cluster(set.first_cluster)) return copy_no_data;

    data_plan plan = plan_data(vol, set, item.deleted, UINT64_MAX);
    int fd = create_destination(vol, destination);
    if (fd < 0) return copy_destination;
    destination_file out(fd, destination);

    copy_report local;
    std::vector<uint8_t> block;
    uint64_t pos = 0;
    for (const extent& r : plan.runs) {
        if (pos >= valid) break;
        const uint64_t run_bytes = std::min<uint64_t>(uint64_t(r.count) * g.cluster_size, valid - pos);
        const uint64_t source = g.cluster_offset(r.cluster);
        for (uint64_t done = 0; done < run_bytes;) {
            const size_t piece = size_t(std::min<uint64_t>(copy_block, run_bytes - done));
            block.resize(piece);
            int64_t got = vol.device().read_at(source + done, block.data(), piece);
            if (got < 0) got = 0;
            if (size_t(got) < piece) {
                std::memset(block.data() + got, 0, piece - size_t(got));
                local.unreadable += piece - size_t(got);
            }
            if (!write_all(fd, block.data(), piece, pos + done)) return copy_write_failed;
            done += piece;
        }
        pos += run_bytes;
    }
    if (pos < valid) local.missing = valid - pos;
    // The rest reads as zeros: past the valid data length, and what no cluster holds.
    if (::ftruncate(fd, off_t(set.data_length)) != 0) return copy_write_failed;
    const timespec modified = to_timespec(set.modified);
    const timespec accessed = set.accessed.seconds != 0 ? to_timespec(set.accessed) : modified;
    if (set.modified.seconds != 0) {
        const timespec times[2] = {accessed, modified};
        ::futimens(fd, times);
    }
    if (!out.keep()) return copy_write_failed;
    if (report) *report = local;
    return 0;
}

}  // namespace qv::exfat
