// quorvane-faulty-disk: serves an image file through FUSE as one file that
// fails like a dying drive: unreadable ranges (EIO), slow ranges, and a
// "vanish" mode after which every read fails as if the stick was pulled out.
//
//   quorvane-faulty-disk [--bad OFFSET:LENGTH]... [--slow OFFSET:LENGTH:MS]...
//                        [--vanish-after BYTES] [--name NAME] IMAGE MOUNTPOINT
//
// The mount holds one read-only file (NAME, default "disk.img") with the
// image's size. Reads go straight to the program (direct I/O, no page cache),
// so what a reader asks for is exactly what is checked: a request that touches
// a bad range fails whole, as a multi-sector read of a real disk does.
// The program stays in the foreground until it is unmounted (fusermount3 -u).
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct byte_range {
    uint64_t offset = 0;
    uint64_t length = 0;
    unsigned delay_ms = 0;
    bool touches(uint64_t off, uint64_t len) const {
        return len > 0 && off < offset + length && offset < off + len;
    }
};

struct faulty_config {
    std::string image;
    std::string name = "disk.img";
    int fd = -1;
    uint64_t size = 0;
    std::vector<byte_range> bad;
    std::vector<byte_range> slow;
    uint64_t vanish_after = UINT64_MAX;  // bytes served before the device disappears
    std::atomic<uint64_t> served{0};
    std::atomic<bool> vanished{false};
};

faulty_config config;

bool parse_u64(const std::string& text, uint64_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0) return false;
    *out = v;
    return true;
}

// "OFFSET:LENGTH" or, with want_delay, "OFFSET:LENGTH:MS".
bool parse_range(const std::string& text, bool want_delay, byte_range* out) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() != (want_delay ? 3u : 2u)) return false;
    uint64_t delay = 0;
    if (!parse_u64(parts[0], &out->offset) || !parse_u64(parts[1], &out->length)) return false;
    if (want_delay && (!parse_u64(parts[2], &delay) || delay > 60000)) return false;
    out->delay_ms = unsigned(delay);
    return true;
}

bool is_our_file(const char* path) { return path[0] == '/' && config.name == path + 1; }

int fd_getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (!is_our_file(path)) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = off_t(config.size);
    return 0;
}

int fd_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buf, config.name.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int fd_open(const char* path, fuse_file_info* fi) {
    if (!is_our_file(path)) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;  // every read reaches us with the reader's own offset and length
    fi->keep_cache = 0;
    return 0;
}

int fd_read(const char* path, char* buf, size_t len, off_t off, fuse_file_info*) {
    if (!is_our_file(path) || off < 0) return -ENOENT;
    if (config.vanished.load()) return -ENODEV;
    uint64_t offset = uint64_t(off);
    if (offset >= config.size) return 0;
    if (len > config.size - offset) len = size_t(config.size - offset);
    for (const byte_range& r : config.slow)
        if (r.touches(offset, len)) std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
    for (const byte_range& r : config.bad)
        if (r.touches(offset, len)) return -EIO;
    uint64_t before = config.served.fetch_add(len);
    if (before >= config.vanish_after || len > config.vanish_after - before) {
        config.vanished.store(true);
        return -ENODEV;
    }
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(config.fd, buf + done, len - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        done += size_t(n);
    }
    return int(done);
}

void usage() {
    std::fprintf(stderr,
                 "usage: quorvane-faulty-disk [--bad OFFSET:LENGTH]... [--slow OFFSET:LENGTH:MS]...\n"
                 "                            [--vanish-after BYTES] [--name NAME] IMAGE MOUNTPOINT\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        byte_range r;
        if (arg == "--bad") {
            if (!value(&v) || !parse_range(v, false, &r)) return usage(), 2;
            config.bad.push_back(r);
        } else if (arg == "--slow") {
            if (!value(&v) || !parse_range(v, true, &r)) return usage(), 2;
            config.slow.push_back(r);
        } else if (arg == "--vanish-after") {
            if (!value(&v) || !parse_u64(v, &config.vanish_after)) return usage(), 2;
        } else if (arg == "--name") {
            if (!value(&config.name) || config.name.empty() || config.name.find('/') != std::string::npos)
                return usage(), 2;
        } else if (!arg.empty() && arg[0] == '-') {
            return usage(), 2;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) return usage(), 2;
    config.image = positional[0];
    config.fd = ::open(config.image.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (config.fd < 0 || ::fstat(config.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "quorvane-faulty-disk: %s: cannot open as a regular file\n", config.image.c_str());
        return 2;
    }
    config.size = uint64_t(st.st_size);

    fuse_operations ops{};
    ops.getattr = fd_getattr;
    ops.readdir = fd_readdir;
    ops.open = fd_open;
    ops.read = fd_read;

    std::string prog = argv[0];
    std::vector<std::string> fuse_args = {prog, "-f", "-o", "ro,default_permissions,fsname=quorvane-faulty", "-s",
                                          positional[1]};
    std::vector<char*> fuse_argv;
    for (auto& a : fuse_args) fuse_argv.push_back(a.data());
    int rc = fuse_main(int(fuse_argv.size()), fuse_argv.data(), &ops, nullptr);
    ::close(config.fd);
    return rc;
}
