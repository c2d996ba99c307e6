#pragma once
// Numbered sector access to the drives of the device catalog, over the
// catalog's device handles: a drive table, one 64 KiB transfer buffer under
// one mutex, and a media check that marks drives whose medium has gone.
// (The FAT reader reads through its own volume handle, not through these slots.)

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

#include "devices/device_catalog.hpp"

enum io_result : int {
    IO_OK = 0,
    IO_ERROR = 1,            // seek, read or write failed or was short
    IO_WRITE_PROTECTED = 2,
    IO_NOT_READY = 3,        // no such drive, drive not ready, or the mutex not had in time
    IO_BAD_PARAMETER = 4,    // transfer too large, unknown control code
};

inline constexpr uint8_t DEVICE_NOT_READY = 0x01;
inline constexpr uint8_t DEVICE_WRITE_PROTECTED = 0x04;

enum control_code : uint8_t {
    CONTROL_SYNC = 0,
    CONTROL_GET_SECTOR_COUNT = 1,  // 64-bit result
    CONTROL_GET_SECTOR_SIZE = 2,   // 16-bit result
    CONTROL_GET_BLOCK_SIZE = 3,    // 32-bit result, always 128
};

namespace qv {

// Slots follow the catalog's drive numbers.
inline constexpr int sector_device_slots = max_drives;
// One transfer moves at most this many bytes.
inline constexpr uint32_t transfer_buffer_size = 0x10000;

}  // namespace qv

// Where a volume lies among the slots: drive, partition and first sector
// (512-byte sectors, 64-bit so volumes beyond 2 TiB are found at the right place).
struct volume_location {
    uint8_t drive = 0;
    uint8_t partition = 0;
    uint64_t start_sector = 0;
};

// Opens every catalog drive (read-only). Returns the slot count.
uint32_t open_physical_drives();
// Closes and re-opens all slots (after the catalog changed). Returns the slot count.
uint32_t reopen_physical_drives();

namespace qv {

// Closes every slot; the table can be opened again.
void close_physical_drives();
// Marks each drive but drive 0 whose medium has gone as not ready: one pass on the
// caller's thread, run when the system reports a device change (no thread polls).
// Only device_initialize clears the mark again.
void check_media();

}  // namespace qv

uint8_t device_status(uint8_t drive);
uint8_t device_initialize(uint8_t drive);
io_result read_sectors(uint8_t drive, void* destination, uint64_t first_sector, uint8_t count);
io_result write_sectors(uint8_t drive, const void* source, uint64_t first_sector, uint8_t count);
io_result device_control(uint8_t drive, uint8_t code, void* result);

namespace qv {

// The location of a volume path (a trailing '/' or '\\' is cut); empty when the
// path is not a volume of a catalog drive that has a slot.
std::optional<volume_location> locate_volume_sectors(const QString& volume_path);

}  // namespace qv
