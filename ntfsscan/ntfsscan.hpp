#pragma once
// The NTFS scanning library: start a walk over a volume's MFT, take its file
// records one at a time, clean up, and write one file's data out.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qv {

class device_handle;
class read_problems;

// The caller's scan context: 8248 bytes, zero-filled before the first
// ntfs_scan_startup. The library keeps its own state in it; callers read only
// the fields named below (through the helpers).
struct ntfs_context_s {
    alignas(8) unsigned char bytes[8248];
};
static_assert(sizeof(ntfs_context_s) == 8248);

inline constexpr size_t ntfs_context_started = 0;     // 32-bit, nonzero once started
inline constexpr size_t ntfs_context_total = 8;       // signed 64-bit progress denominator
inline constexpr size_t ntfs_context_counter_a = 0x2020;  // 32-bit: records in use, examined
inline constexpr size_t ntfs_context_counter_b = 0x2024;  // 32-bit: other records, examined
inline constexpr size_t ntfs_context_counter_c = 0x2028;  // 32-bit: finer steps, 0 in this reader
// Progress is (c + 8 * (a + b)) / total and reaches exactly 1.0 once every
// record of the MFT has been examined.

inline uint32_t ntfs_context_u32(const ntfs_context_s& c, size_t offset) {
    uint32_t v;
    std::memcpy(&v, c.bytes + offset, sizeof v);
    return v;
}
inline int64_t ntfs_context_i64(const ntfs_context_s& c, size_t offset) {
    int64_t v;
    std::memcpy(&v, c.bytes + offset, sizeof v);
    return v;
}

// One file record as the library delivers it: 576 bytes, written into a zero-filled record.
struct ntfs_record_s {
    uint64_t id = 0;          // record number on the volume; 5 is the root, 0-11 are metadata
    uint64_t parent = 0;      // record number of the directory holding the file
    uint64_t size = 0;        // bytes of the file's data (0 for directories)
    int64_t date2 = 0;        // creation time, seconds since 1970-01-01 UTC
    uint16_t sequence = 0;         // the record's own sequence number
    uint16_t parent_sequence = 0;  // the sequence number that the parent reference names
    uint32_t reserved1 = 0;
    int64_t date1 = 0;        // last modification time, seconds since 1970-01-01 UTC
    uint8_t flags = 0;        // ntfs_flag_*
    uint8_t state = 0;        // ntfs_state_*: what $Bitmap says of a deleted file's clusters
    uint8_t reserved2[6] = {};
    char16_t name[260] = {};  // UTF-16, zero-terminated (at most 255 units stored)
};
static_assert(sizeof(ntfs_record_s) == 576);
static_assert(offsetof(ntfs_record_s, date2) == 24 && offsetof(ntfs_record_s, date1) == 40);
static_assert(offsetof(ntfs_record_s, sequence) == 32 && offsetof(ntfs_record_s, state) == 49);
static_assert(offsetof(ntfs_record_s, flags) == 48 && offsetof(ntfs_record_s, name) == 56);

inline constexpr uint8_t ntfs_flag_directory = 0x01;
inline constexpr uint8_t ntfs_flag_file = 0x02;
inline constexpr uint8_t ntfs_flag_deleted = 0x80;

inline constexpr uint8_t ntfs_state_unknown = 0;      // $Bitmap unreadable, or the runs corrupt
inline constexpr uint8_t ntfs_state_intact = 1;       // live, or every cluster still free
inline constexpr uint8_t ntfs_state_overwritten = 2;  // some cluster belongs to live data now

}  // namespace qv

// Opens the volume named "/dev/hd<letter><partition>" (drive letter - 'a',
// partition 0 = the whole drive; see the device catalog) read-only and reads
// its boot sector and $MFT. 0 on success; negative when the volume cannot be
// opened or is not a readable NTFS volume (see qv::ntfs::open_error).
int ntfs_scan_startup(const char* device_name, qv::ntfs_context_s* context);

// Writes the next file record (base records with a name, in use or not) into
// *item and returns 1; returns 0 when the MFT has been walked to its end.
int ntfs_scan_next(qv::ntfs_context_s* context, qv::ntfs_record_s* item);

// Releases what ntfs_scan_startup set up and zero-fills the context.
void ntfs_scan_cleanup(qv::ntfs_context_s* context);

// Writes the data of record id to a new file at destination (an existing
// regular file there is replaced). 0 on success; negative on failure (see
// qv::ntfs::recover_error), including compressed or encrypted data. Needs a
// started context; the source is only read.
// Clusters that cannot be read are written as zeros and counted in *unreadable (may be null).
int ntfs_recover_file(qv::ntfs_context_s* context, uint64_t id, const char* destination,
                      uint64_t* unreadable = nullptr);

namespace qv {

// ntfs_scan_startup on a device the caller has opened already (tests, fuzzing).
int ntfs_scan_startup_device(std::unique_ptr<device_handle> device, ntfs_context_s* context);

// What the walk could not read so far (MFT records skipped, a vanished
// device); null before a start.
const read_problems* ntfs_scan_problems(ntfs_context_s* context);

// True when path is the file the scanned volume lives in (never to be deleted or written).
bool ntfs_is_source_path(ntfs_context_s* context, const char* path);

}  // namespace qv
