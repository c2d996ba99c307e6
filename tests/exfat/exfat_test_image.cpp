#include "tests/exfat/exfat_test_image.hpp"

#include <unistd.h>

#include <filesystem>

#include "devices/le_bytes.hpp"
#include "devices/utf16_text.hpp"
#include "tests/support/disk_images.hpp"

namespace qv::test {

namespace {

constexpr size_t entry_bytes = 32;

uint16_t rotate_add(uint16_t sum, uint8_t b) { return uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b); }

}  // namespace

bool make_exfat_image(const std::string& path, uint64_t mib, uint32_t cluster_bytes, std::string* why) {
    if (!have_tool("mkfs.exfat")) {
        if (why) *why = "mkfs.exfat (exfatprogs) is not installed";
        return false;
    }
    std::filesystem::remove(path);
    if (!make_blank_image(path, mib)) {
        if (why) *why = "cannot create " + path;
        return false;
    }
    std::string out;
    if (run("mkfs.exfat -c " + std::to_string(cluster_bytes) + " -L QVTEST " + shell_quote(path), &out) != 0) {
        if (why) *why = "mkfs.exfat failed: " + out;
        return false;
    }
    return true;
}

std::string exfat_mount_unavailable() {
    if (geteuid() != 0) return "loop devices need root";
    if (!have_tool("losetup")) return "losetup is not installed";
    if (!have_tool("mount.exfat-fuse")) return "mount.exfat-fuse (exfat-fuse) is not installed";
    if (!have_tool("fusermount") && !have_tool("fusermount3")) return "fusermount (fuse3) is not installed";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available";
    return {};
}

exfat_mount::~exfat_mount() { unmount(); }

bool exfat_mount::mount(const std::string& image, const std::string& dir, std::string* why) {
    std::string reason = exfat_mount_unavailable();
    if (!reason.empty()) {
        if (why) *why = reason;
        return false;
    }
    loop_ = std::make_unique<loop_device>();
    if (!loop_->attach(image, false, why)) return false;
    image_ = image;
    std::filesystem::create_directories(dir);
    std::string out;
    if (run("mount.exfat-fuse " + shell_quote(loop_->path()) + " " + shell_quote(dir), &out) != 0) {
        if (why) *why = "mount.exfat-fuse failed: " + out;
        return false;
    }
    dir_ = dir;
    mounted_ = true;
    return true;
}

bool exfat_mount::unmount() {
    bool ok = true;
    if (mounted_) {
        std::string tool = have_tool("fusermount") ? "fusermount" : "fusermount3";
        ok = run(tool + " -u " + shell_quote(dir_)) == 0;
        if (!ok) ok = run("umount " + shell_quote(dir_)) == 0;
        mounted_ = false;
    }
    if (loop_) {
        loop_.reset();
        // The FUSE daemon may still be writing after the unmount returns; the
        // loop device goes only when the daemon has closed it.
        for (int i = 0; i < 200; ++i) {
            std::string out;
            run("losetup -j " + shell_quote(image_), &out);
            if (out.find("/dev/loop") == std::string::npos) break;
            usleep(50000);
        }
    }
    return ok;
}

std::vector<uint64_t> find_entry_sets(const std::vector<uint8_t>& image, const std::string& name) {
    const std::u16string want = utf16_of(name);
    std::vector<uint64_t> found;
    byte_view v(image.data(), image.size());
    for (uint64_t at = 0; v.has(at, 3 * entry_bytes); at += entry_bytes) {
        uint8_t t = v.u8(at);
        if ((t & 0x7F) != 0x05 || (v.u8(at + 32) & 0x7F) != 0x40 || (v.u8(at + 64) & 0x7F) != 0x41) continue;
        if (v.u8(at + 32 + 3) != want.size()) continue;
        bool same = true;
        for (size_t k = 0; k < want.size() && same; ++k) {
            uint64_t unit_at = at + 64 + (k / 15) * 32 + 2 + (k % 15) * 2;
            same = v.le16(unit_at) == want[k];
        }
        if (same) found.push_back(at);
    }
    return found;
}

size_t set_entries(const std::vector<uint8_t>& image, uint64_t offset) { return size_t(image.at(offset + 1)) + 1; }

void fix_set_checksum(std::vector<uint8_t>& image, uint64_t offset) {
    const size_t n = set_entries(image, offset) * entry_bytes;
    uint16_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t b = image.at(offset + i);
        if (i % entry_bytes == 0) b |= 0x80;
        sum = rotate_add(sum, b);
    }
    put_le16(image.data() + offset + 2, sum);
}

void clear_in_use(std::vector<uint8_t>& image, uint64_t offset) {
    const size_t n = set_entries(image, offset);
    for (size_t k = 0; k < n; ++k) image.at(offset + k * entry_bytes) &= 0x7F;
}

exfat_fields read_exfat_fields(const std::vector<uint8_t>& image) {
    byte_view v(image.data(), image.size());
    exfat_fields f;
    const unsigned sector_shift = v.u8(108);
    f.heap_offset = uint64_t(v.le32(88)) << sector_shift;
    f.cluster_size = 1u << (sector_shift + v.u8(109));
    f.cluster_count = v.le32(92);
    const uint32_t root = v.le32(96);
    const uint64_t root_at = f.heap_offset + uint64_t(root - 2) * f.cluster_size;
    for (uint64_t at = root_at; at < root_at + f.cluster_size; at += entry_bytes)
        if (v.u8(at) == 0x81) {
            f.bitmap_offset = f.heap_offset + uint64_t(v.le32(at + 20) - 2) * f.cluster_size;
            break;
        }
    return f;
}

void set_allocated(std::vector<uint8_t>& image, uint32_t cluster, bool used) {
    exfat_fields f = read_exfat_fields(image);
    uint32_t i = cluster - 2;
    uint8_t& b = image.at(f.bitmap_offset + i / 8);
    if (used) b |= uint8_t(1u << (i % 8));
    else b &= uint8_t(~(1u << (i % 8)));
}

uint32_t set_first_cluster(const std::vector<uint8_t>& image, uint64_t offset) {
    byte_view v(image.data(), image.size());
    return v.le32(offset + 32 + 20);
}

}  // namespace qv::test
