#include "tests/ext4/ext4_test_image.hpp"

#include <unistd.h>

#include <filesystem>

namespace qv::test {

bool make_ext_image(const std::string& path, uint64_t mib, const std::string& mkfs, std::string* why) {
    std::string out;
    if (run("truncate -s " + std::to_string(mib) + "M " + shell_quote(path), &out) != 0 ||
        run(mkfs + " -q -F " + shell_quote(path), &out) != 0) {
        if (why) *why = "mkfs failed: " + out;
        return false;
    }
    return true;
}

ext_mount::~ext_mount() { unmount(); }

bool ext_mount::mount(const std::string& image, const std::string& dir, const std::string& type, std::string* why) {
    if (::geteuid() != 0) {
        if (why) *why = "mounting needs root";
        return false;
    }
    loop_ = std::make_unique<loop_device>();
    if (!loop_->attach(image, false, why)) return false;
    std::filesystem::create_directories(dir);
    std::string out;
    if (run("mount -t " + type + " " + shell_quote(loop_->path()) + " " + shell_quote(dir), &out) != 0) {
        if (why) *why = "mount -t " + type + " failed: " + out;
        loop_.reset();
        return false;
    }
    dir_ = dir;
    mounted_ = true;
    return true;
}

bool ext_mount::unmount() {
    bool ok = true;
    if (mounted_) {
        ok = run("umount " + shell_quote(dir_)) == 0;
        mounted_ = false;
    }
    loop_.reset();
    return ok;
}

bool ext_scan::run(const std::string& path, std::string* why) {
    device = file_device::open(path, 0, 0, true, access_mode::read_only, why);
    if (!device) return false;
    const int rc = ext4::volume::open(*device, &vol);
    if (rc != 0) {
        if (why) *why = "volume::open gave " + std::to_string(rc);
        return false;
    }
    result = ext4::scan(*vol, {});
    by_id.clear();
    for (size_t i = 0; i < result.files.size(); ++i) by_id[result.files[i].id] = i;
    return true;
}

std::string ext_scan::path_of(const ext4::found_file& f) const {
    std::string path = f.name;
    uint64_t p = f.parent;
    for (size_t guard = 0; p != 0 && guard < 64; ++guard) {
        auto it = by_id.find(p);
        if (it == by_id.end()) return "?/" + path;
        const ext4::found_file& d = result.files[it->second];
        path = d.name + "/" + path;
        p = d.parent;
    }
    return path;
}

const ext4::found_file* ext_scan::find(const std::string& path, bool deleted) const {
    for (const ext4::found_file& f : result.files)
        if (f.deleted == deleted && f.id != ext4::lost_files_id && path_of(f) == path) return &f;
    return nullptr;
}

std::vector<uint8_t> ext_scan::recover(const ext4::found_file& f, ext4::copy_report* report) const {
    std::vector<uint8_t> out;
    ext4::copy_report r = ext4::copy_file(*vol, f, [&](const uint8_t* d, size_t n) {
        out.insert(out.end(), d, d + n);
        return true;
    });
    if (report) *report = r;
    return out;
}

}  // namespace qv::test
