#pragma once
// The sub-commands of quorvane-cli. Each returns the process exit code:
// 0 success, 1 some recoveries failed, 2 bad arguments or an unreadable device.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/item_filter.hpp"

namespace qv::cli {

struct scan_options {
    std::string volume;
    bool deep = false;
    bool every_byte = false;
    bool free_space = false;    // deep scan: only what the file system does not use, less the files it lists
    bool json = false;
    std::string save;           // deep scan result file
    bool resume = false;        // deep scan: go on from the checkpoint of an interrupted scan
    double checkpoint_every = 30;  // deep scan: seconds between checkpoints
    std::string to;             // recovery folder
    bool keep_tree = false;
    std::vector<uint64_t> ids;
    qv::item_filter filter;          // what is listed and recovered
    bool skip_overwritten = false;   // recover: leave out files whose space holds other data now
    bool skip_damaged = false;       // recover: leave out files that cannot be read whole
    bool name_from_content = false;  // deep scan: carved files named after what they carry
};

struct partition_options {
    std::string drive;
    bool json = false;
    bool write_mbr = false;   // asks nothing; main makes it need --yes
    bool write_gpt = false;   // repair or rebuild the GPT; needs --yes too
    std::string restore;      // a saved first sector (or GPT sectors) to put back
    bool force = false;       // write an MBR over a valid GPT; restore even when the undo record says no
    bool every_sector = false;  // search every sector, not only where partitions are made to start
};

struct image_options {
    std::string source;  // drive or volume path
    std::string to;      // image file
    std::string map;     // GNU ddrescue mapfile; "<to>.map" when empty
    int retries = 2;     // passes over bad sectors at the end
    double save_every = 5;  // seconds between map (and image) flushes
};

int cmd_list(bool json, const std::vector<std::string>& images);
int cmd_partitions(const partition_options& options);
int cmd_scan(const scan_options& options);
int cmd_recover(const scan_options& options);
int cmd_demo();
// Copies a drive or volume into an image file: 0 when every byte was read, 1 when
// some stayed unreadable or the copy stopped (run again to continue), 2 on errors.
int cmd_image(const image_options& options);
// Recovers every file of a saved deep-scan result into to.
// name_from_content: carved files named after what they carry.
int cmd_resume(const std::string& file, const std::string& to, bool name_from_content = false);

// One clear line on standard error; returns 2.
int fail_usage(const std::string& message);

}  // namespace qv::cli
