#include "tests/support/faulty_disk.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/test_support.hpp"

namespace qv::test {
namespace {

std::string range_text(const faulty_options::range& r, bool with_delay) {
    std::string s = std::to_string(r.offset) + ":" + std::to_string(r.length);
    if (with_delay) s += ":" + std::to_string(r.delay_ms);
    return s;
}

}  // namespace

faulty_disk::~faulty_disk() { unmount(); }

bool faulty_disk::mount(const std::string& image, const std::string& mount_dir,
                        const faulty_options& options, std::string* why) {
#ifndef QV_FAULTY_DISK_PROGRAM
    (void)image;
    (void)mount_dir;
    (void)options;
    *why = "skip: quorvane-faulty-disk was not built (libfuse3-dev is missing)";
    return false;
#else
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = "skip: /dev/fuse is missing or not usable here, so the faulty disk cannot be mounted";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(mount_dir, ec);
    struct stat image_st {};
    if (::stat(image.c_str(), &image_st) != 0) {
        *why = image + ": missing";
        return false;
    }
    std::vector<std::string> args = {QV_FAULTY_DISK_PROGRAM};
    for (const auto& r : options.bad) args.insert(args.end(), {"--bad", range_text(r, false)});
    for (const auto& r : options.slow) args.insert(args.end(), {"--slow", range_text(r, true)});
    if (options.vanish_after != UINT64_MAX)
        args.insert(args.end(), {"--vanish-after", std::to_string(options.vanish_after)});
    args.push_back(image);
    args.push_back(mount_dir);

    pid_t pid = ::fork();
    if (pid < 0) {
        *why = "fork failed";
        return false;
    }
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    child_ = pid;
    mount_dir_ = mount_dir;
    const std::string file = mount_dir + "/disk.img";
    for (int i = 0; i < 400; ++i) {
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0 && st.st_size == image_st.st_size) {
            path_ = file;
            return true;
        }
        int status = 0;
        if (::waitpid(child_, &status, WNOHANG) == child_) {
            child_ = -1;
            *why = "quorvane-faulty-disk ended before the mount appeared (exit " +
                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    unmount();
    *why = "the faulty disk did not appear at " + file;
    return false;
#endif
}

void faulty_disk::unmount() {
    if (child_ < 0) return;
    run("fusermount3 -u -z " + shell_quote(mount_dir_));
    for (int i = 0; i < 200; ++i) {
        int status = 0;
        if (::waitpid(child_, &status, WNOHANG) == child_) {
            child_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (child_ >= 0) {
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
    }
    path_.clear();
}

}  // namespace qv::test
