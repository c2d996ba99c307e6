// A whole NTFS volume in memory: boot sector, $MFT runs, the record walk and
// recoveries of the first deleted files the walk delivers.

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/item_paths.hpp"
#include "engine/ntfs_core.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "ntfsscan/ntfsscan.hpp"

namespace qv::fuzz {

namespace {

constexpr int max_recoveries = 4;

}  // namespace

int ntfs_volume(const uint8_t* data, size_t size) {
    ntfs_context_s context{};
    auto device = std::make_unique<memory_device>(std::vector<uint8_t>(data, data + size));
    if (ntfs_scan_startup_device(std::move(device), &context) != 0) {
        ntfs_scan_cleanup(&context);
        return 0;
    }
    const int64_t total = ntfs_context_i64(context, ntfs_context_total);
    QV_FUZZ_CHECK(total > 0 && total % 8 == 0);

    ntfs_record_s item;
    std::vector<uint64_t> deleted_files;
    uint64_t delivered = 0;
    while (ntfs_scan_next(&context, &item) == 1) {
        QV_FUZZ_CHECK(item.name[0] != 0 && item.name[std::size(item.name) - 1] == 0);
        QV_FUZZ_CHECK(++delivered <= uint64_t(total / 8));
        if ((item.flags & ntfs_flag_deleted) && (item.flags & ntfs_flag_file) &&
            deleted_files.size() < max_recoveries)
            deleted_files.push_back(item.id);
        item = ntfs_record_s{};
    }
    uint64_t examined = ntfs_context_u32(context, ntfs_context_counter_a) +
                        uint64_t(ntfs_context_u32(context, ntfs_context_counter_b));
    QV_FUZZ_CHECK(examined * 8 == uint64_t(total));

    const std::string out = scratch_dir() + "/ntfs-recovered";
    for (uint64_t id : deleted_files) {
        ntfs_recover_file(&context, id, out.c_str());
        ::unlink(out.c_str());
    }
    ntfs_scan_cleanup(&context);

    // The engine core over the same bytes: its items, their paths and the folder tree.
    ntfs_core core;
    auto result = core.scan(std::make_unique<memory_device>(std::vector<uint8_t>(data, data + size)), {});
    QV_FUZZ_CHECK(result.open_error == 0);
    check_result_shape(ntfs_found_items(result.items));
    return 0;
}

}  // namespace qv::fuzz
