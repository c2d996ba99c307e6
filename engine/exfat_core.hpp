#pragma once
// The exFAT scan without threads: walks a volume's folders through the exFAT reader,
// keeps its folders and its deleted files and folders as found items, and copies one out.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/byte_ranges.hpp"
#include "engine/found_item.hpp"
#include "engine/scan_hooks.hpp"

namespace qv {
class device_handle;
namespace exfat {
class volume;
}

struct exfat_scan_result {
    // Folders that still exist (to hold the tree), deleted files and folders,
    // and everything below a deleted folder, in walk order. Items of the
    // root have parent 0; ids are the byte offsets of the items' file entries / 32.
    std::vector<found_item> items;
    int open_error = 0;           // 0, or the reader's exfat::open_error when the volume could not be opened
    uint64_t unreadable_bytes = 0; // folder bytes that could not be read
    bool vanished = false;         // the device went away during the walk
    // Folders with unreadable bytes, as lines for the log ("folder at cluster N: B bytes").
    std::vector<std::string> unreadable_places;
};

class exfat_core {
public:
    exfat_core();
    ~exfat_core();
    exfat_core(const exfat_core&) = delete;
    exfat_core& operator=(const exfat_core&) = delete;

    // Scans the exFAT volume on device (the core keeps it for recoveries).
    exfat_scan_result scan(std::unique_ptr<device_handle> device, const scan_hooks& hooks);
    // Writes item id's data to destination (replacing a regular file there,
    // never the scanned image) with its modification time: 0, or a negative
    // exfat::copy_error; -10 when id is no file of the last scan.
    int recover(uint64_t id, const std::string& destination);
    int recover(const found_item& item, const std::string& destination) { return recover(item.id, destination); }
    // Folder bytes the scan could not read so far; any thread may ask while it runs.
    uint64_t unreadable_bytes() const { return unreadable_.load(std::memory_order_relaxed); }
    // Bytes of the last recovery that could not be read and were written as zeros.
    uint64_t last_unreadable_bytes() const { return last_unreadable_; }
    // Drops the volume and what was kept of the scan.
    void close();
    // Where deleted file id's data lies: its clusters from the first one on,
    // one after another, as a recovery reads them; empty for other items.
    std::vector<byte_range> deleted_extent(uint64_t id) const;

    static constexpr int recover_unknown_item = -10;

private:
    // What a recovery needs of a file, kept per deleted file (the names live in the found items).
    struct stored_file {
        uint32_t first_cluster = 0;
        uint8_t stream_flags = 0;
        bool deleted = false;
        uint64_t valid_length = 0;
        uint64_t data_length = 0;
        int64_t modified = 0;
        uint32_t modified_ns = 0;
        int64_t accessed = 0;
    };

    std::unique_ptr<device_handle> device_;
    std::unique_ptr<exfat::volume> volume_;
    std::unordered_map<uint64_t, stored_file> files_;
    uint64_t last_unreadable_ = 0;
    std::atomic<uint64_t> unreadable_{0};
};

// exFAT's file attribute bit for folders, as found items carry it in attributes.
inline constexpr uint32_t exfat_attribute_directory = 0x10;

}  // namespace qv
