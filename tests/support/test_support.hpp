#pragma once
// Shared helpers for tests: temporary folders, external tools, files and loop devices.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv::test {

// A fresh folder under $TMPDIR, removed with everything in it at scope end.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// True when an executable of that name is on PATH (or in /sbin, /usr/sbin).
bool have_tool(const std::string& name);
// Runs a shell command; returns its exit status. Standard output (and error)
// go to *output when given.
int run(const std::string& command, std::string* output = nullptr);
// Quotes a string for the shell.
std::string shell_quote(const std::string& s);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Deterministic bytes for file contents that must come back exactly.
std::vector<uint8_t> pseudo_random_bytes(size_t size, uint32_t seed);

// Attaches an image to a free loop device; detaches it again at scope end.
class loop_device {
public:
    loop_device() = default;
    ~loop_device();
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;
    // False (with the reason in why) where loop devices cannot be attached.
    bool attach(const std::string& image, bool scan_partitions, std::string* why);
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace qv::test

// Skips the current test with a message when a tool is missing.
#define QV_REQUIRE_TOOL(tool)                                                   \
    do {                                                                        \
        if (!::qv::test::have_tool(tool)) GTEST_SKIP() << tool " is not installed"; \
    } while (0)
