#include "tests/ntfsscan/ntfs_test_image.hpp"

#include <QString>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "devices/le_bytes.hpp"

extern char** environ;

namespace qv::test {

namespace {

size_t align8(size_t v) { return (v + 7) & ~size_t(7); }

bool is_mounted(const std::string& dir) {
    std::ifstream in("/proc/self/mounts");
    std::string device, point, rest;
    while (in >> device >> point && std::getline(in, rest))
        if (point == dir) return true;
    return false;
}

}  // namespace

bool make_ntfs_image(const std::string& path, uint64_t size, std::string* why, const std::string& options) {
    if (!have_tool("mkntfs")) {
        if (why) *why = "mkntfs is not installed";
        return false;
    }
    std::string out;
    if (run("truncate -s " + std::to_string(size) + " " + shell_quote(path), &out) != 0 ||
        run("mkntfs -F -Q " + options + " " + shell_quote(path), &out) != 0) {
        if (why) *why = "mkntfs failed: " + out;
        return false;
    }
    return true;
}

bool ntfs_mount::mount(const std::string& image, const std::string& dir, std::string* why) {
    if (!have_tool("ntfs-3g")) {
        if (why) *why = "ntfs-3g is not installed";
        return false;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        if (why) *why = "FUSE is not available (/dev/fuse)";
        return false;
    }
    std::filesystem::create_directories(dir);
    std::string program = "ntfs-3g";
    std::vector<std::string> args = {program, "-o", "no_detach", image, dir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (why) *why = "cannot start ntfs-3g";
        return false;
    }
    for (int i = 0; i < 200; ++i) {
        if (is_mounted(dir)) {
            dir_ = dir;
            pid_ = pid;
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (why) *why = "the ntfs-3g FUSE mount does not work here";
    return false;
}

bool ntfs_mount::unmount() {
    if (dir_.empty()) return true;
    std::string out;
    bool ok = run("umount " + shell_quote(dir_), &out) == 0 ||
              run("fusermount -u " + shell_quote(dir_), &out) == 0;
    if (pid_ > 0) {
        if (!ok) kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    dir_.clear();
    return ok;
}

ntfs_facts read_facts(const std::vector<uint8_t>& image) {
    ntfs_facts f;
    if (image.size() < 512) return f;
    auto le16 = [&](size_t o) { return uint32_t(image[o] | image[o + 1] << 8); };
    auto le64 = [&](size_t o) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | image[o + size_t(i)];
        return v;
    };
    f.cluster_size = le16(0x0B) * image[0x0D];
    auto per_record = int8_t(image[0x40]);
    f.record_size = per_record < 0 ? 1u << unsigned(-per_record) : uint32_t(per_record) * f.cluster_size;
    f.mft_offset = le64(0x30) * f.cluster_size;
    f.mirror_offset = le64(0x38) * f.cluster_size;
    f.cluster_count = le64(0x28) * le16(0x0B) / f.cluster_size;
    return f;
}

void put16(std::vector<uint8_t>& b, size_t off, uint16_t v) { qv::put_le16(b.data() + off, v); }
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) { qv::put_le32(b.data() + off, v); }
void put64(std::vector<uint8_t>& b, size_t off, uint64_t v) { qv::put_le64(b.data() + off, v); }

uint64_t filetime(int64_t unix_seconds) { return uint64_t(unix_seconds + 11644473600) * 10000000; }

std::vector<uint8_t> standard_information(uint64_t created_ft, uint64_t modified_ft, uint32_t attributes) {
    std::vector<uint8_t> v(0x48, 0);
    put64(v, 0x00, created_ft);
    put64(v, 0x08, modified_ft);
    put64(v, 0x10, modified_ft);
    put64(v, 0x18, modified_ft);
    put32(v, 0x20, attributes);
    return v;
}

std::vector<uint8_t> file_name(uint64_t parent, const std::u16string& name, uint8_t name_space,
                               uint16_t parent_sequence) {
    std::vector<uint8_t> v(0x42 + 2 * name.size(), 0);
    put64(v, 0x00, parent | uint64_t(parent_sequence) << 48);
    v[0x40] = uint8_t(name.size());
    v[0x41] = name_space;
    for (size_t i = 0; i < name.size(); ++i) put16(v, 0x42 + 2 * i, uint16_t(name[i]));
    return v;
}

std::vector<uint8_t> resident_attribute(uint32_t type, const std::vector<uint8_t>& value, uint16_t id,
                                        uint16_t flags) {
    std::vector<uint8_t> a(align8(0x18 + value.size()), 0);
    put32(a, 0x00, type);
    put32(a, 0x04, uint32_t(a.size()));
    put16(a, 0x0A, 0x18);
    put16(a, 0x0C, flags);
    put16(a, 0x0E, id);
    put32(a, 0x10, uint32_t(value.size()));
    put16(a, 0x14, 0x18);
    std::copy(value.begin(), value.end(), a.begin() + 0x18);
    return a;
}

std::vector<uint8_t> non_resident_attribute(uint32_t type, const std::vector<uint8_t>& runlist,
                                            uint64_t lowest_vcn, uint64_t highest_vcn,
                                            uint64_t allocated, uint64_t size, uint64_t initialized,
                                            uint16_t id, uint16_t flags) {
    std::vector<uint8_t> a(align8(0x40 + runlist.size()), 0);
    put32(a, 0x00, type);
    put32(a, 0x04, uint32_t(a.size()));
    a[0x08] = 1;
    put16(a, 0x0A, 0x40);
    put16(a, 0x0C, flags);
    put16(a, 0x0E, id);
    put64(a, 0x10, lowest_vcn);
    put64(a, 0x18, highest_vcn);
    put16(a, 0x20, 0x40);
    put64(a, 0x28, allocated);
    put64(a, 0x30, size);
    put64(a, 0x38, initialized);
    std::copy(runlist.begin(), runlist.end(), a.begin() + 0x40);
    return a;
}

std::vector<uint8_t> list_entry(uint32_t type, uint64_t start_vcn, uint64_t record, uint16_t id) {
    std::vector<uint8_t> e(0x20, 0);
    put32(e, 0x00, type);
    put16(e, 0x04, 0x20);
    e[0x07] = 0x1A;
    put64(e, 0x08, start_vcn);
    put64(e, 0x10, record | uint64_t(1) << 48);
    put16(e, 0x18, id);
    return e;
}

std::vector<uint8_t> build_record(uint32_t record_size, uint64_t number, uint16_t flags,
                                  uint64_t base_record, const std::vector<std::vector<uint8_t>>& attrs) {
    std::vector<uint8_t> r(record_size, 0);
    const size_t usa = 0x30;
    const size_t strides = record_size / 512;
    std::memcpy(r.data(), "FILE", 4);
    put16(r, 0x04, uint16_t(usa));
    put16(r, 0x06, uint16_t(strides + 1));
    put16(r, 0x10, 1);
    put16(r, 0x12, 1);
    size_t first = align8(usa + 2 * (strides + 1));
    put16(r, 0x14, uint16_t(first));
    put16(r, 0x16, flags);
    put32(r, 0x1C, record_size);
    put64(r, 0x20, base_record ? base_record | uint64_t(1) << 48 : 0);
    put32(r, 0x2C, uint32_t(number));
    size_t pos = first;
    for (const auto& a : attrs) {
        std::copy(a.begin(), a.end(), r.begin() + long(pos));
        pos += a.size();
    }
    put32(r, pos, 0xFFFFFFFF);
    put32(r, 0x18, uint32_t(pos + 8));
    const uint16_t usn = 0x0007;
    put16(r, usa, usn);
    for (size_t i = 0; i < strides; ++i) {
        size_t tail = (i + 1) * 512 - 2;
        r[usa + 2 * (i + 1)] = r[tail];
        r[usa + 2 * (i + 1) + 1] = r[tail + 1];
        put16(r, tail, usn);
    }
    return r;
}

int64_t span_device::read_at(uint64_t offset, void* buffer, size_t len) {
    if (offset >= bytes_.size()) return 0;
    size_t n = std::min<uint64_t>(len, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, n);
    return int64_t(n);
}

std::vector<ntfs_record_s> scan_all(ntfs_context_s& context) {
    std::vector<ntfs_record_s> out;
    ntfs_record_s item{};
    while (ntfs_scan_next(&context, &item)) {
        out.push_back(item);
        item = ntfs_record_s{};
    }
    return out;
}

std::string utf8(const char16_t* name) { return QString::fromUtf16(name).toStdString(); }
std::u16string u16(const std::string& text) { return QString::fromStdString(text).toStdU16String(); }

std::vector<fls_entry> run_fls(const std::string& image, bool deleted_only) {
    std::vector<fls_entry> out;
    if (!have_tool("fls")) return out;
    std::string text;
    if (run(std::string("fls -r -p ") + (deleted_only ? "-d " : "") + shell_quote(image), &text) != 0)
        return out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos || line.find("(realloc)") != std::string::npos) continue;
        fls_entry e;
        e.path = line.substr(tab + 1);
        std::string head = line.substr(0, tab);
        if (head.size() < 4) continue;
        e.directory = head[2] == 'd' || head[0] == 'd';
        e.deleted = head.find(" * ") != std::string::npos;
        size_t num = head.find_first_of("0123456789", 4);
        if (num == std::string::npos) continue;
        e.id = std::stoull(head.substr(num));
        out.push_back(e);
    }
    return out;
}

}  // namespace qv::test
