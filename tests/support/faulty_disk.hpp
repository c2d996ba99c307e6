#pragma once
// Mounts an image through quorvane-faulty-disk (FUSE) for tests of read errors,
// vanished media and imaging; unmounts at scope end.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qv::test {

struct faulty_options {
    struct range {
        uint64_t offset = 0;
        uint64_t length = 0;
        unsigned delay_ms = 0;  // slow ranges only
    };
    std::vector<range> bad;   // reads touching these fail with EIO
    std::vector<range> slow;  // reads touching these wait delay_ms first
    uint64_t vanish_after = UINT64_MAX;  // bytes served before every read fails with ENODEV
};

class faulty_disk {
public:
    faulty_disk() = default;
    ~faulty_disk();
    faulty_disk(const faulty_disk&) = delete;
    faulty_disk& operator=(const faulty_disk&) = delete;

    // Serves image as <mount_dir>/disk.img. False with the reason in *why where
    // the machine cannot mount FUSE file systems (no /dev/fuse, no program).
    bool mount(const std::string& image, const std::string& mount_dir, const faulty_options& options,
               std::string* why);
    void unmount();
    // The faulty file's path; empty until mounted.
    const std::string& path() const { return path_; }

private:
    std::string mount_dir_;
    std::string path_;
    pid_t child_ = -1;
};

}  // namespace qv::test

// Mounts `disk` or skips the current test when FUSE is missing; fails on any other error.
#define QV_MOUNT_FAULTY(disk, image, dir, options)                                   \
    do {                                                                             \
        std::string qv_why_;                                                         \
        if (!(disk).mount((image), (dir), (options), &qv_why_)) {                    \
            if (qv_why_.rfind("skip: ", 0) == 0) GTEST_SKIP() << qv_why_.substr(6);  \
            FAIL() << qv_why_;                                                       \
        }                                                                            \
    } while (0)
