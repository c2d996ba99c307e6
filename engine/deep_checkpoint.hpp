#pragma once
// The checkpoint of a deep scan in progress: the position every file before
// which has been found, and those files, so an interrupted scan goes on there.

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devices/tolerant_read.hpp"
#include "engine/scan_result_file.hpp"
#include "sigscan/scanner.hpp"

namespace qv {

struct deep_checkpoint {
    std::string device_path;
    uint64_t device_length = 0;  // bytes; a device of another size is not the one scanned
    uint64_t position = 0;       // the scan goes on reading here
    uint64_t search_from = 0;    // and looking for files here (past a file that reaches beyond position)
    uint64_t reported_end = 0;   // where the last file found ends
    bool every_byte = false;
    bool free_space = false;  // a scan of the free space only; older checkpoints lack it: the whole volume
    uint64_t unreadable_bytes = 0;
    std::vector<raw_item_s> records;
    record_joins joins;  // second pieces of records put together from two

    // Whether it was written by a scan of this device, of this length, in this
    // mode, of the same part of it (free space only or the whole volume).
    bool belongs_to(const std::string& path, uint64_t length, bool every_byte_scan, bool free_space_scan = false) const {
        return device_path == path && device_length == length && every_byte == every_byte_scan &&
               free_space == free_space_scan;
    }
};

// Writes the checkpoint atomically (temporary file, fsync, rename). 0 or -1.
int write_deep_checkpoint(const std::string& file, const deep_checkpoint& checkpoint);
// Reads and checks one: refused (with the reason) when it is not a checkpoint,
// is cut short, or holds records that are not consistent with it.
std::optional<deep_checkpoint> read_deep_checkpoint(const std::string& file, std::string* error = nullptr);

// Where a checkpoint goes: "<result>.checkpoint" next to a result file, or,
// without one, the user's data folder, named after the volume.
std::string deep_checkpoint_path(const std::string& result_file, const std::string& device_path);

// Keeps the checkpoint of one deep scan: written every interval as the scan
// passes block starts, removed when the scan finishes, written once more when
// it stops or its device goes away.
class deep_checkpointer {
public:
    // carried: unreadable bytes counted before the place the scan went on from;
    // bad: the scan's unreadable sectors (may be null).
    deep_checkpointer(std::string path, std::string device_path, uint64_t device_length, bool every_byte,
                      std::chrono::milliseconds interval, uint64_t carried, const bad_ranges* bad);
    // The scan's at_block: remembers the place, writes when one is due.
    void at_block(const sig::scan_place& place, const std::vector<raw_item_s>& records, const record_joins& joins);
    // The scan reads the free space only (false by default).
    void set_free_space(bool on) { c_.free_space = on; }
    void finish(bool finished, const std::vector<raw_item_s>& records, const record_joins& joins);
    uint64_t written() const { return written_; }

private:
    void write(const std::vector<raw_item_s>& records, const record_joins& joins);

    deep_checkpoint c_;
    std::string path_;
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point last_;
    uint64_t carried_;
    const bad_ranges* bad_;
    uint64_t written_ = 0;
};

}  // namespace qv
