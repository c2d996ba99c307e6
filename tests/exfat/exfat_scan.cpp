#include "tests/exfat/exfat_scan.hpp"

#include "exfat/file_copy.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

namespace {

void walk_into(exfat_scan& s, bool live_files) {
    if (!s.device) {
        s.open_result = exfat::open_unreadable;
        return;
    }
    s.open_result = exfat::volume::open(*s.device, &s.volume);
    if (s.open_result != 0) return;
    exfat::walk_hooks hooks;
    hooks.live_files = live_files;
    hooks.found = [&](const exfat::found_entry& f) { s.items[f.id] = f; };
    s.result = exfat::walk(*s.volume, hooks);
}

}  // namespace

std::string exfat_scan::path_of(uint64_t id) const {
    std::string path;
    for (int depth = 0; id != 0 && depth < 300; ++depth) {
        auto it = items.find(id);
        if (it == items.end()) return "?" + path;
        path = "/" + it->second.set.name + path;
        id = it->second.parent;
    }
    return path;
}

std::map<std::string, const exfat::found_entry*> exfat_scan::by_path() const {
    std::map<std::string, const exfat::found_entry*> out;
    for (const auto& [id, item] : items) out[path_of(id)] = &item;
    return out;
}

std::vector<uint8_t> exfat_scan::copy(const exfat::found_entry& item, const std::string& destination, int* rc) {
    int r = exfat::copy_file(*volume, item, destination.c_str(), nullptr);
    if (rc) *rc = r;
    if (r != 0) return {};
    return read_file(destination);
}

exfat_scan scan_exfat_file(const std::string& image, bool live_files) {
    exfat_scan s;
    std::string error;
    s.device = file_device::open(image, 0, 0, true, access_mode::read_only, &error);
    walk_into(s, live_files);
    return s;
}

exfat_scan scan_exfat_bytes(std::vector<uint8_t> bytes, bool live_files) {
    exfat_scan s;
    s.device = std::make_unique<memory_device>(std::move(bytes));
    walk_into(s, live_files);
    return s;
}

}  // namespace qv::test
