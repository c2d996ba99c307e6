#pragma once
// Runs the FAT scanner over an image the way the program does, for tests.

#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "devices/volume_items.hpp"
#include "engine/fs_scanners.hpp"
#include "ui/fat_recovery.hpp"

namespace qv::test {

// One finished FAT scan of a volume: the scanner's item map by first cluster,
// kept with the open device for recoveries.
class fat_scan_run {
public:
    fat_scan_run(std::unique_ptr<device_handle> device, volume_item_s volume);

    const fat_item_map& items() const { return items_; }
    // The scan's counters: entries read and items filed.
    uint64_t entries_read() const { return token_.entries; }
    uint64_t items_found() const { return token_.items; }
    double progress() const { return token_.progress; }
    // Byte offset of the scanned volume on its drive.
    uint64_t volume_offset() const { return scanner_.core().volume_offset(); }
    // Writes item id's content to destination: 0, or -1 (recover_destination_failed
    // when the destination cannot be written).
    int recover_file(uint64_t id, const QString& destination);
    // The item's path below the volume's mount path: 0, or -1 when its chain is broken.
    int build_item_path(uint64_t id, QString* out) const;
    // The result as the window and the command line see it (made on first use).
    const std::vector<found_item>& found_items() const;
    // True when the window's folder tree shows item id as a folder: a file
    // lies somewhere below it. The root (0) counts when the tree has results.
    bool shown_as_folder(uint64_t id) const;
    // The items filed directly in folder id.
    std::vector<const fat_item_s*> children_of(uint64_t id) const;
    fat_scanner& scanner() { return scanner_; }

private:
    friend std::unique_ptr<fat_scan_run> scan_fat_volume(const std::string& path, const std::string& lost_files_name);
    std::unique_ptr<device_handle> device_;
    volume_item_s volume_;
    fat_scanner scanner_;
    scan_token token_;
    fat_item_map items_;
    mutable std::optional<std::vector<found_item>> found_;
};

// The volume record of an image or image partition ("x.img", "x.img#1"),
// opened as the only drive of the shared catalog, with the sector layer re-read.
volume_item_s open_test_volume(const std::string& path);
// Scans the volume to the end; the folder for lost files gets lost_files_name where given.
std::unique_ptr<fat_scan_run> scan_fat_volume(const std::string& path, const std::string& lost_files_name = {});
// The window's FAT engine after a whole scan of the volume on its own thread.
std::unique_ptr<fat_recovery_c> scan_fat_window(const std::string& path);
// The item whose name is exactly name; null when there is none or several.
const fat_item_s* item_named(const fat_scan_run& scan, const std::u16string& name);
std::u16string item_name(const fat_item_s& item);
// Recovers an item to a file in dir and returns its bytes (empty on failure, with ok false).
std::vector<uint8_t> recover_bytes(fat_scan_run& scan, uint32_t id, const std::string& dir, bool* ok = nullptr);

}  // namespace qv::test
