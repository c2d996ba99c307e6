// A whole ext2/3/4 volume in memory: superblock (or its backup), group descriptors,
// bitmaps, the journal walk, the undelete scan, and copies of the first files it lists.

#include <memory>
#include <unordered_set>
#include <vector>

#include "devices/device_handle.hpp"
#include "ext4/ext4_scan.hpp"
#include "ext4/ext4_volume.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

constexpr size_t max_copies = 4;
constexpr uint64_t max_copy_bytes = 4u << 20;

}  // namespace

int ext4_volume(const uint8_t* data, size_t size) {
    memory_device device(std::vector<uint8_t>(data, data + size));
    std::unique_ptr<ext4::volume> vol;
    if (ext4::volume::open(device, &vol) != 0) return 0;
    const ext4::superblock_info& sb = vol->super();
    QV_FUZZ_CHECK(sb.block_size >= 1024 && sb.block_size <= 65536);
    QV_FUZZ_CHECK(sb.group_count > 0 && vol->groups().size() == sb.group_count);
    QV_FUZZ_CHECK(vol->free_blocks() <= sb.blocks_count);

    double last = 0;
    ext4::scan_options options;
    options.keep_going = [&](double p) {
        QV_FUZZ_CHECK(p >= 0 && p <= 1.0);
        last = p;
        return true;
    };
    ext4::scan_result r = ext4::scan(*vol, options);
    QV_FUZZ_CHECK(!r.stopped);
    std::unordered_set<uint64_t> ids;
    size_t copies = 0;
    for (const ext4::found_file& f : r.files) {
        QV_FUZZ_CHECK(f.id != 0 && ids.insert(f.id).second);  // each inode listed once
        QV_FUZZ_CHECK(f.parent != f.id);
        for (const ext4::block_run& run : f.runs) QV_FUZZ_CHECK(run.physical + run.count <= sb.blocks_count);
        if (f.directory || copies >= max_copies) continue;
        ++copies;
        uint64_t n = 0;
        ext4::copy_report rep = ext4::copy_file(*vol, f, [&](const uint8_t*, size_t len) {
            n += len;
            return n <= max_copy_bytes;
        });
        QV_FUZZ_CHECK(rep.unreadable <= f.size);
    }
    return 0;
}

}  // namespace qv::fuzz
