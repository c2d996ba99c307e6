#include "tests/failing/walk_images.hpp"

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "devices/device_handle.hpp"
#include "tests/exfat/exfat_test_image.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

namespace {

namespace fs = std::filesystem;

std::string file_name(int i) { return "f" + std::to_string(100 + i) + ".bin"; }

// Writes the files into dir/d and removes them again. A small file written
// last stays, so the folder keeps every cluster its entries were written to
// (exfat-fuse gives a folder's trailing free clusters back).
void fill_and_delete(const std::string& dir, const std::vector<placed_file>& files) {
    fs::create_directories(dir + "/d");
    for (size_t i = 0; i < files.size(); ++i) write_file(dir + "/d/" + file_name(int(i)), files[i].bytes);
    write_file(dir + "/d/stays.txt", pseudo_random_bytes(100, 7));
    for (size_t i = 0; i < files.size(); ++i) fs::remove(dir + "/d/" + file_name(int(i)));
}

bool make_fat(const std::string& path, const std::string& work, const std::vector<placed_file>& files,
              std::string* why) {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "mmd"})
        if (!have_tool(tool)) {
            *why = std::string("skip: ") + tool + " is not installed";
            return false;
        }
    std::string out;
    if (run("truncate -s 32M " + shell_quote(path), &out) != 0 ||
        run("mkfs.fat -F 16 -s 4 " + shell_quote(path), &out) != 0 || run("mmd -i " + shell_quote(path) + " ::/d", &out) != 0) {
        *why = "mkfs.fat failed: " + out;
        return false;
    }
    fs::create_directories(work);
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string local = work + "/" + file_name(int(i));
        write_file(local, files[i].bytes);
        if (run("mcopy -i " + shell_quote(path) + " " + shell_quote(local) + " ::/d/" + file_name(int(i)), &out) != 0) {
            *why = "mcopy failed: " + out;
            return false;
        }
    }
    if (run("mdel -i " + shell_quote(path) + " '::/d/*.bin'", &out) != 0) {
        *why = "mdel failed: " + out;
        return false;
    }
    return true;
}

bool make_ntfs(const std::string& path, const std::string& work, const std::vector<placed_file>& files,
               std::string* why) {
    std::string reason;
    if (!make_ntfs_image(path, 32u << 20, &reason)) {
        *why = "skip: " + reason;
        return false;
    }
    ntfs_mount m;
    if (!m.mount(path, work + "/mnt", &reason)) {
        *why = "skip: " + reason;
        return false;
    }
    fill_and_delete(work + "/mnt", files);
    if (!m.unmount()) {
        *why = "unmounting the ntfs-3g mount failed";
        return false;
    }
    return true;
}

bool make_exfat(const std::string& path, const std::string& work, const std::vector<placed_file>& files,
                std::string* why) {
    std::string reason;
    if (!make_exfat_image(path, 32, 4096, &reason)) {
        *why = "skip: " + reason;
        return false;
    }
    exfat_mount m;
    if (!m.mount(path, work + "/mnt", &reason)) {
        *why = "skip: " + reason;
        return false;
    }
    fill_and_delete(m.dir(), files);
    if (!m.unmount()) {
        *why = "unmounting the exfat-fuse mount failed";
        return false;
    }
    return true;
}

}  // namespace

bool make_walk_image(const std::string& kind, const std::string& path, const std::string& work, int count,
                     uint64_t min_size, walk_image* out, std::string* why) {
    out->path = path;
    out->files.clear();
    for (int i = 0; i < count; ++i) {
        placed_file f;
        // Distinct sizes, not multiples of a sector, so a file's tail is partial.
        f.size = min_size + uint64_t(i) * 3001;
        f.bytes = pseudo_random_bytes(size_t(f.size), uint32_t(1000 + i));
        out->files.push_back(std::move(f));
    }
    bool made = kind == "fat"    ? make_fat(path, work, out->files, why)
                : kind == "ntfs" ? make_ntfs(path, work, out->files, why)
                                 : make_exfat(path, work, out->files, why);
    if (!made) return false;
    // Where each file's bytes lie: found by content, and checked whole.
    const std::vector<uint8_t> image = read_file(path);
    for (size_t i = 0; i < out->files.size(); ++i) {
        placed_file& f = out->files[i];
        auto at = std::search(image.begin(), image.end(), f.bytes.begin(), f.bytes.begin() + 512);
        if (at == image.end() || uint64_t(image.end() - at) < f.size ||
            !std::equal(f.bytes.begin(), f.bytes.end(), at)) {
            *why = kind + ": the bytes of " + file_name(int(i)) + " do not lie in one piece on the image";
            return false;
        }
        f.offset = uint64_t(at - image.begin());
    }
    return true;
}

std::vector<std::pair<uint64_t, uint64_t>> areas_in_files(const walk_image& image, int count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::set<uint64_t> chosen;
    std::vector<const placed_file*> hit;
    for (size_t i = 0; i < image.files.size(); i += 3) hit.push_back(&image.files[i]);
    for (size_t tries = 0; int(chosen.size()) < count && tries < 100000; ++tries) {
        const placed_file& f = *hit[tries % hit.size()];
        const uint64_t first = (f.offset + 4095) / 4096, end = (f.offset + f.size) / 4096;  // whole areas inside
        if (end <= first) continue;
        chosen.insert((first + gen() % (end - first)) * 4096);
    }
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (uint64_t a : chosen) out.emplace_back(a, 4096);
    return out;
}

uint64_t overlap(const std::vector<std::pair<uint64_t, uint64_t>>& areas, uint64_t offset, uint64_t size) {
    uint64_t n = 0;
    for (const auto& [at, length] : areas) {
        const uint64_t lo = std::max(offset, at), hi = std::min(offset + size, at + length);
        if (lo < hi) n += hi - lo;
    }
    return n;
}

std::vector<uint8_t> with_zeros(const placed_file& f, const std::vector<std::pair<uint64_t, uint64_t>>& areas) {
    std::vector<uint8_t> out = f.bytes;
    for (const auto& [at, length] : areas)
        for (uint64_t p = std::max(at, f.offset); p < std::min(at + length, f.offset + f.size); ++p)
            out[size_t(p - f.offset)] = 0;
    return out;
}

walk_engine::walk_engine(const std::string& kind) {
    const scanner_kind* row = scanner_named(kind);
    if (row) scanner_ = row->make();
}

std::vector<found_item> walk_engine::scan(std::unique_ptr<device_handle> device) {
    if (!scanner_) return {};
    device_ = std::move(device);
    scan_hooks hooks;
    report_ = scanner_->scan(*device_, hooks);
    return report_.items;
}

uint64_t walk_engine::unreadable_bytes() {
    // The figure the window reads while the scan runs (it ends where the report's does).
    return scanner_ ? scanner_->unreadable_so_far() : 0;
}

bool walk_engine::vanished() { return report_.problems.device_gone(); }

std::vector<std::string> walk_engine::places() { return report_.problems.places; }

int walk_engine::recover(const found_item& item, const std::string& destination, uint64_t* unreadable) {
    if (!scanner_) return -1;
    last_ = scanner_->recover(item, destination);
    *unreadable = last_.unreadable_bytes;
    return last_.written() ? 0 : -1;
}

std::map<uint64_t, found_item> files_by_size(const std::vector<found_item>& items) {
    std::map<uint64_t, found_item> out;
    for (const auto& f : items)
        if (f.deleted && !f.directory) out[f.size] = f;
    return out;
}

}  // namespace qv::test
