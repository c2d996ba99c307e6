// A whole exFAT volume in memory: boot region (or its backup), FAT, bitmap,
// the folder walk, and copies of the first deleted files the walk delivers.

#include <unistd.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "devices/device_handle.hpp"
#include "exfat/exfat_volume.hpp"
#include "exfat/exfat_walk.hpp"
#include "exfat/file_copy.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

constexpr size_t max_copies = 4;

}  // namespace

int exfat_volume(const uint8_t* data, size_t size) {
    memory_device device(std::vector<uint8_t>(data, data + size));
    std::unique_ptr<exfat::volume> vol;
    if (exfat::volume::open(device, &vol) != 0) return 0;
    const exfat::geometry& g = vol->layout();
    QV_FUZZ_CHECK(g.cluster_count > 0 && g.valid_cluster(g.root_cluster));
    QV_FUZZ_CHECK(g.heap_offset < device.length());
    const int64_t free_clusters = vol->free_clusters();
    QV_FUZZ_CHECK(free_clusters <= int64_t(g.cluster_count));

    std::vector<exfat::found_entry> copies;
    std::unordered_set<uint64_t> ids;
    uint64_t delivered = 0;
    exfat::walk_hooks hooks;
    hooks.live_files = true;
    hooks.found = [&](const exfat::found_entry& f) {
        QV_FUZZ_CHECK(f.id != 0);
        QV_FUZZ_CHECK(ids.insert(f.id).second);  // every entry set is delivered once
        if (f.id == exfat::lost_files_id) {
            // The folder that holds entries no folder reaches: made by the walk, no set on disk.
            QV_FUZZ_CHECK(f.set.directory() && f.parent == 0);
            return;
        }
        QV_FUZZ_CHECK(f.set.entries >= 2);
        ++delivered;
        if (!f.set.directory() && copies.size() < max_copies) copies.push_back(f);
    };
    double last_progress = 0;
    hooks.progress = [&](double p, uint64_t, uint64_t) {
        QV_FUZZ_CHECK(p >= last_progress && p <= 1.0);
        last_progress = p;
    };
    exfat::walk_result result = exfat::walk(*vol, hooks);
    QV_FUZZ_CHECK(!result.stopped);
    // A set takes at least two entries.
    QV_FUZZ_CHECK(delivered * 2 <= result.entries);

    const std::string out = scratch_dir() + "/exfat-recovered";
    for (const auto& f : copies) {
        exfat::copy_report report;
        if (exfat::copy_file(*vol, f, out.c_str(), &report) == 0)
            QV_FUZZ_CHECK(report.unreadable + report.missing <= f.set.data_length);
        ::unlink(out.c_str());
    }
    return 0;
}

}  // namespace qv::fuzz
