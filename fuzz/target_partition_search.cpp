// The lost-partition search over a memory drive (the input, then zeros to
// make whole chunks), and the partition table the repair would plan from its finds.

#include <QList>

#include <algorithm>
#include <atomic>
#include <vector>

#include "devices/device_handle.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "partition/mbr_plan.hpp"
#include "partition/partition_search.hpp"

namespace qv::fuzz {

namespace {

constexpr size_t sector = 512;
constexpr size_t chunk = partition::chunk_sectors * sector;

}  // namespace

int partition_search(const uint8_t* data, size_t size) {
    // Two chunks of zeros after the input, so every input byte is examined.
    std::vector<uint8_t> drive(size + 2 * chunk, 0);
    std::copy(data, data + size, drive.begin());
    const uint64_t drive_sectors = drive.size() / sector;
    memory_device dev(std::move(drive));

    std::atomic<double> progress{0.0};
    QList<partition_item_s> found;
    partition::search_hooks hooks;
    hooks.progress = &progress;
    hooks.found = [&](const partition_item_s& item) {
        QV_FUZZ_CHECK(item.end_sector >= item.start_sector);
        QV_FUZZ_CHECK(found.isEmpty() || item.start_sector > found.back().end_sector ||
                      found.back().end_sector == UINT64_MAX);
        QV_FUZZ_CHECK(item.start_sector < drive_sectors);
        found.append(item);
    };
    QV_FUZZ_CHECK(partition::search_device(dev, hooks) == partition::search_done);
    QV_FUZZ_CHECK(progress.load() == 1.0);

    if (found.isEmpty()) return 0;
    std::array<uint8_t, partition::mbr_bytes> first{};
    std::copy_n(dev.bytes().begin(), first.size(), first.begin());
    partition::mbr_plan plan;
    QString error;
    if (partition::plan_partition_table(first, found, disk_geometry{}, drive_sectors, &plan, &error) == 0) {
        QV_FUZZ_CHECK(plan.new_sector[510] == 0x55 && plan.new_sector[511] == 0xAA);
        // Every record of a chain lies on the drive, in free space before its partition.
        for (const partition::ebr_plan& r : plan.ebrs) {
            QV_FUZZ_CHECK(r.lba < drive_sectors && r.logical.first_sector > 0);
            QV_FUZZ_CHECK(r.new_sector[510] == 0x55 && r.new_sector[511] == 0xAA);
        }
        partition::describe_plan(plan);
    } else {
        QV_FUZZ_CHECK(!error.isEmpty());
    }
    return 0;
}

}  // namespace qv::fuzz
