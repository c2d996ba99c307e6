#pragma once
// Runs the FAT engine over an image the way the program does, for tests.

#include <memory>
#include <string>
#include <vector>

#include "devices/volume_items.hpp"
#include "engine/fat_recovery.hpp"

namespace qv::test {

// The volume record of an image or image partition ("x.img", "x.img#1"),
// opened as the only drive of the shared catalog, with the sector layer re-read.
volume_item_s open_test_volume(const std::string& path);
// Scans the volume to the end on the engine's own thread.
std::unique_ptr<fat_recovery_c> scan_fat_volume(const std::string& path);
// The item whose name is exactly name; null when there is none or several.
const fat_item_s* item_named(const fat_recovery_c& engine, const std::u16string& name);
std::u16string item_name(const fat_item_s& item);
// Recovers an item to a file in dir and returns its bytes (empty on failure, with ok false).
std::vector<uint8_t> recover_bytes(fat_recovery_c& engine, uint32_t id, const std::string& dir, bool* ok = nullptr);

}  // namespace qv::test
