#include "engine/sector_device.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/debug_log.hpp"

using qv::debug_printf;
using qv::sector_device_slots;
using qv::transfer_buffer_size;

namespace {

using namespace std::chrono_literals;

struct sector_device_slot {
    std::atomic<uint8_t> status{0};
    uint16_t sector_size = 0;
    uint64_t sector_count = 0;
    std::unique_ptr<qv::device_handle> handle;
};

// The device mutex guards the handles, the transfer buffer and slot refreshes.
std::mutex device_mutex;
std::array<sector_device_slot, sector_device_slots> sector_device_table;
std::atomic<int> slot_count{0};
alignas(4096) uint8_t transfer_buffer[transfer_buffer_size];

// Takes the device mutex within timeout, else gives up. Built on try_lock
// rather than a timed lock, whose clock-based wait ThreadSanitizer cannot follow.
std::unique_lock<std::mutex> lock_device(std::chrono::milliseconds timeout) {
    std::unique_lock lock(device_mutex, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(100us);
    }
    return lock;
}

bool present(uint8_t drive) { return drive < slot_count.load(); }

// Re-reads a slot's medium, sector size and count; the mutex is held.
bool refresh_drive(sector_device_slot& slot) {
    if (!slot.handle || !slot.handle->medium_present()) {
        slot.status = DEVICE_NOT_READY;
        return false;
    }
    slot.sector_size = 512;
    slot.sector_count = slot.handle->length() / 512;
    // The FAT path opens drives read-only, so they are write protected to it.
    slot.status = DEVICE_WRITE_PROTECTED;
    return true;
}

int probe() {
    auto drives = qv::device_catalog::shared().drives();
    int count = 0;
    for (const auto& d : drives) {
        if (d.number >= sector_device_slots) break;
        auto& slot = sector_device_table[size_t(d.number)];
        slot.handle.reset();
        slot.status = DEVICE_NOT_READY;
        slot.sector_size = uint16_t(d.sector_size);
        slot.sector_count = 0;
        if (d.sector_size == 512)
            slot.handle = qv::device_catalog::shared().open(d.path, qv::access_mode::read_only, nullptr,
                                                            qv::open_asking::never_ask);
        debug_printf("Disk# %d <== %s", d.number, d.path.c_str());
        if (refresh_drive(slot))
            debug_printf(" (%lluMB, %u bytes * %llu sectors)\n",
                         (unsigned long long)(slot.sector_count * 512 / 1024 / 1024), 512u,
                         (unsigned long long)slot.sector_count);
        else
            debug_printf(" (Not Ready)\n");
        count = d.number + 1;
    }
    for (int n = count; n < sector_device_slots; ++n) {
        sector_device_table[size_t(n)].handle.reset();
        sector_device_table[size_t(n)].status = DEVICE_NOT_READY;
    }
    return count;
}

}  // namespace

uint32_t open_physical_drives() {
    std::lock_guard lock(device_mutex);
    slot_count = probe();
    return uint32_t(slot_count.load());
}

uint32_t reopen_physical_drives() {
    std::lock_guard lock(device_mutex);
    slot_count = 0;
    slot_count = probe();
    return uint32_t(slot_count.load());
}

namespace qv {

void check_media() {
    // Drive 0 is never marked.
    for (int n = 1; n < slot_count.load(); ++n) {
        auto& slot = sector_device_table[size_t(n)];
        if (slot.status & DEVICE_NOT_READY) continue;
        auto lock = lock_device(100ms);
        if (!lock.owns_lock()) continue;  // a transfer holds the drive: the next change looks again
        if (slot.handle && !slot.handle->medium_present()) slot.status |= DEVICE_NOT_READY;
    }
}

void close_physical_drives() {
    std::lock_guard lock(device_mutex);
    slot_count = 0;
    for (auto& slot : sector_device_table) {
        slot.handle.reset();
        slot.status = DEVICE_NOT_READY;
    }
}

}  // namespace qv

uint8_t device_status(uint8_t drive) {
    return present(drive) ? sector_device_table[drive].status.load() : DEVICE_NOT_READY;
}

uint8_t device_initialize(uint8_t drive) {
    auto lock = lock_device(5000ms);
    if (!lock.owns_lock()) return DEVICE_NOT_READY;
    if (!present(drive)) return DEVICE_NOT_READY;
    auto& slot = sector_device_table[drive];
    refresh_drive(slot);
    return slot.status;
}

io_result read_sectors(uint8_t drive, void* destination, uint64_t first_sector, uint8_t count) {
    if (!present(drive) || (sector_device_table[drive].status & DEVICE_NOT_READY)) return IO_NOT_READY;
    auto lock = lock_device(3000ms);
    if (!lock.owns_lock()) return IO_NOT_READY;
    auto& slot = sector_device_table[drive];
    if (!slot.handle) return IO_NOT_READY;
    uint32_t bytes = uint32_t(count) * slot.sector_size;
    if (bytes > transfer_buffer_size) return IO_BAD_PARAMETER;
    if (first_sector > UINT64_MAX / 512) return IO_ERROR;
    if (!slot.handle->read_exact(first_sector * slot.sector_size, transfer_buffer, bytes)) return IO_ERROR;
    std::memcpy(destination, transfer_buffer, bytes);
    return IO_OK;
}

io_result write_sectors(uint8_t drive, const void* source, uint64_t first_sector, uint8_t count) {
    if (!present(drive) || (sector_device_table[drive].status & DEVICE_NOT_READY)) return IO_NOT_READY;
    auto lock = lock_device(3000ms);
    if (!lock.owns_lock()) return IO_NOT_READY;
    auto& slot = sector_device_table[drive];
    if (slot.status & DEVICE_WRITE_PROTECTED) return IO_WRITE_PROTECTED;
    uint32_t bytes = uint32_t(count) * slot.sector_size;
    if (bytes > transfer_buffer_size) return IO_BAD_PARAMETER;
    if (!slot.handle || first_sector > UINT64_MAX / 512) return IO_ERROR;
    std::memcpy(transfer_buffer, source, bytes);
    if (slot.handle->write_at(first_sector * slot.sector_size, transfer_buffer, bytes) != int64_t(bytes))
        return IO_ERROR;
    return IO_OK;
}

io_result device_control(uint8_t drive, uint8_t code, void* result) {
    if (!present(drive) || (sector_device_table[drive].status & DEVICE_NOT_READY)) return IO_NOT_READY;
    const auto& slot = sector_device_table[drive];
    switch (code) {
        case CONTROL_SYNC:
            return IO_OK;
        case CONTROL_GET_SECTOR_COUNT:
            std::memcpy(result, &slot.sector_count, sizeof(uint64_t));
            return IO_OK;
        case CONTROL_GET_SECTOR_SIZE:
            std::memcpy(result, &slot.sector_size, sizeof(uint16_t));
            return IO_OK;
        case CONTROL_GET_BLOCK_SIZE: {
            uint32_t block = 128;
            std::memcpy(result, &block, sizeof block);
            return IO_OK;
        }
        default:
            return IO_BAD_PARAMETER;
    }
}

namespace qv {

std::optional<volume_location> locate_volume_sectors(const QString& volume_path) {
    QString path = volume_path;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    auto v = qv::device_catalog::shared().locate(path.toStdString());
    if (!v || v->drive_number < 0 || v->drive_number >= sector_device_slots) return std::nullopt;
    volume_location where;
    where.drive = uint8_t(v->drive_number);
    where.partition = uint8_t(v->partition_number);
    where.start_sector = v->offset / 512;
    return where;
}

}  // namespace qv
