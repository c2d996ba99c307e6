#pragma once
// The deep scan without threads: carves a device with the signature-scanning
// library, keeps each found file as a 32-byte record plus an index by type,
// and copies a found file's bytes out.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "devices/tolerant_read.hpp"
#include "engine/found_item.hpp"
#include "engine/scan_hooks.hpp"
#include "engine/scan_result_file.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/scanner.hpp"

namespace qv {

class device_handle;

// Type name (whole, as the library gave it) to record positions, in finding order.
using carved_type_map = std::map<std::string, std::vector<uint64_t>>;

struct deep_scan_result {
    std::vector<raw_item_s> records;
    carved_type_map type_index;
    // What each record's file says about itself (capture time, content check), in record order.
    std::vector<sig::file_facts> facts;
    record_joins joins;     // files put together from two pieces: their second pieces
    bool finished = false;  // false when stopped early
    bool vanished = false;  // the device went away; what was found before is kept
};

// A scan that goes on where an earlier one stopped, and what it met besides files.
struct deep_scan_extras {
    sig::scan_place start;               // where to go on (a checkpoint's place)
    std::vector<raw_item_s> records;     // found before start; they come first in the result
    record_joins joins;                  // the second pieces of those records
    // Called before each block with the place and everything found so far.
    std::function<void(const sig::scan_place& place, const std::vector<raw_item_s>& records,
                       const record_joins& joins)>
        at_block;
    bad_ranges* bad = nullptr;           // receives the unreadable sectors (read as zeros)
};

class deep_core {
public:
    // Test every byte offset instead of sector starts.
    void set_every_byte(bool on) { every_byte_ = on; }
    bool every_byte() const { return every_byte_; }
    // The volume's allocation unit in bytes; 0: read from the volume's own
    // boot sector or superblock, and where it has none, files broken in two
    // are looked for at 4 KiB steps.
    void set_cluster(uint64_t bytes) { cluster_ = bytes; }
    uint64_t cluster() const { return cluster_; }

    // Carves device with the current file-type configuration; found files are
    // examined (capture time, content check) on worker threads while the scan
    // reads on. The token's progress is the fraction of the device scanned;
    // entries stay 0.
    deep_scan_result scan(device_handle& device, const scan_hooks& hooks, deep_scan_extras* extras = nullptr) const;
    // The facts of records already found (a loaded result); ends early, with
    // default facts for the rest, when the token asks to stop.
    static std::vector<sig::file_facts> examine(device_handle& device, const std::vector<raw_item_s>& records,
                                                const scan_token* token = nullptr);

    // Writes exactly size bytes from offset of device to destination, with
    // taken (when not 0) as its modified time: 0, or -1 when they do not all
    // lie on the device or the device went away (the file is then removed),
    // recover_destination_failed when the destination cannot be written (then
    // removed). Unreadable sectors are written as zeros; *unreadable counts them.
    static int recover(device_handle& device, uint64_t offset, uint64_t size, const std::string& destination,
                       int64_t taken = 0, uint64_t* unreadable = nullptr);
    // The same for a file in pieces: each piece's bytes in turn.
    static int recover(device_handle& device, const std::vector<item_piece>& pieces, const std::string& destination,
                       int64_t taken = 0, uint64_t* unreadable = nullptr);
    // A found item: its pieces when it has them, else size bytes at its offset.
    static int recover(device_handle& device, const found_item& item, const std::string& destination,
                       uint64_t* unreadable = nullptr);

private:
    bool every_byte_ = false;
    uint64_t cluster_ = 0;
};

// The pieces of record index (its own bytes, then a second piece where joins has one).
std::vector<item_piece> record_pieces(const raw_item_s& record, const record_joins& joins);

// Record positions by type, rebuilt from the records' own type fields (a loaded result).
carved_type_map type_index_of(const std::vector<raw_item_s>& records);
// A carved file's name: its record index and type, "00000012.jpg".
std::string carved_name(const raw_item_s& item);
// The result as found items: for each type in name order, its records in
// finding order, with the whole type name; positions past the end are skipped.
// facts (may be shorter) gives the capture time as the modified time and the
// content check as the state. A record with a second piece in joins is one
// file of both pieces, "assembled".
std::vector<found_item> deep_found_items(const std::vector<raw_item_s>& records, const carved_type_map& types,
                                         const std::vector<sig::file_facts>& facts = {},
                                         const record_joins& joins = {});

}  // namespace qv
