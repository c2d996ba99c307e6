#pragma once
// The NTFS scan without threads: walks a volume's MFT through the NTFS
// scanning library, keeps the directories and deleted files, links them into
// a tree, and has the library copy one out.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/found_item.hpp"
#include "engine/scan_hooks.hpp"
#include "ntfsscan/ntfsscan.hpp"

namespace qv {
class device_handle;
}

// One file record as the library wrote it (576 bytes). The window's folder
// tree is built from the found items (engine/item_paths.hpp), not from links here.
struct ntfs_item_s : qv::ntfs_record_s {};

namespace qv {

// Record numbers 0-11 are the volume's metadata files; 5 is the root directory.
inline constexpr uint64_t ntfs_root_id = 5;
inline constexpr uint64_t ntfs_last_metadata_id = 11;

// Items by record number. Items point at their children inside the map: move it, never copy it.
using ntfs_item_map = std::unordered_map<uint64_t, ntfs_item_s>;

struct ntfs_scan_result {
    ntfs_item_map items;
    // 0, or the library's negative result when the volume could not be opened.
    int open_error = 0;
};

class ntfs_core {
public:
    ntfs_core();
    ~ntfs_core();
    ntfs_core(const ntfs_core&) = delete;
    ntfs_core& operator=(const ntfs_core&) = delete;

    // Scans the NTFS volume on device (the core keeps it for recoveries).
    ntfs_scan_result scan(std::unique_ptr<device_handle> device, const scan_hooks& hooks);
    // Removes a regular file at destination (never the scanned image), then
    // has the library write record id's data there: 0, or the library's negative result.
    // Clusters that cannot be read are written as zeros (see last_unreadable_bytes).
    int recover(uint64_t id, const std::string& destination);
    int recover(const found_item& item, const std::string& destination) { return recover(item.id, destination); }
    // Bytes of the last recovery that could not be read and were written as zeros.
    uint64_t last_unreadable_bytes() const { return last_unreadable_; }
    // MFT bytes the current or last scan could not read (its records were
    // skipped); any thread while the scan runs.
    uint64_t unreadable_bytes();
    // True when the last scan ended because the device went away.
    bool device_vanished();
    // Places the last scan could not read ("MFT record N"), the first ones.
    std::vector<std::string> unreadable_places();
    // Drops the volume and what the library kept of it.
    void close();
    // The name of the folder that lost files are shown under (the window
    // gives it in the user's language).
    void set_lost_files_name(std::u16string name) { lost_files_name_ = std::move(name); }

private:
    ntfs_context_s context_{};
    std::u16string lost_files_name_ = u"Lost files";
    uint64_t last_unreadable_ = 0;
    bool open_gone_ = false;  // the last scan could not open the volume: the device had gone
};

// The result as found items in record order: directories and files other than
// the metadata records 0-11; items of the root folder have parent 0.
std::vector<found_item> ntfs_found_items(const ntfs_item_map& items);

}  // namespace qv
