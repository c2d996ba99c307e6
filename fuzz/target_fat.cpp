// FAT: mount, the engine's whole walk (live and deleted entries, deleted
// folders read past their first cluster, deleted long names), a path lookup
// and listing through the reader's volume class, and reads of deleted files
// around live clusters.

#include <memory>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/found_item.hpp"
#include "engine/fs_scanners.hpp"
#include "engine/item_paths.hpp"
#include "fat/fat_reader.hpp"
#include "fat/fat_volume.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

constexpr int max_recoveries = 4;
constexpr int max_lookups = 2;

// Looks up a live folder by name from the root, as a path walk would, and lists it.
void look_up(fat::volume& volume, const fat_item_s& item) {
    std::u16string path = u"/";
    for (size_t i = 0; i < std::size(item.name) && item.name[i]; ++i) path += item.name[i];
    fat::folder_listing listing = volume.list(path);
    QV_FUZZ_CHECK(listing.entries.size() <= 65536);  // a folder ends at its 65536th entry
}

}  // namespace

int fat_volume(const uint8_t* data, size_t size) {
    memory_device lookup_device(std::vector<uint8_t>(data, data + size));
    std::unique_ptr<fat::volume> lookup_volume;
    bool mounted = fat::volume::open(lookup_device, &lookup_volume) == FAT_OK;
    {
        memory_device device(std::vector<uint8_t>(data, data + size));
        fat_scanner scanner;
        scan_token token;
        scan_hooks hooks;
        hooks.token = &token;
        const fat_item_map items = scanner.scan_map(device, hooks);
        QV_FUZZ_CHECK(items.count(0) == 1);
        const std::vector<found_item> found = fat_found_items(items);
        const item_index index(found);
        int recovered = 0, looked_up = 0;
        for (const auto& [id, item] : items) {
            QV_FUZZ_CHECK(item.name[std::size(item.name) - 1] == 0);
            QV_FUZZ_CHECK(item.short_name[std::size(item.short_name) - 1] == 0);
            QV_FUZZ_CHECK(item.state <= uint8_t(qv::item_state::damaged));
            if (id == 0) continue;
            QV_FUZZ_CHECK(item.cluster == id);
            bool directory = item.attributes & fat::attr_directory;
            bool deleted = item.attributes & fat::attr_deleted;
            if (mounted && directory && !deleted && item.parent == 0 && looked_up < max_lookups) {
                look_up(*lookup_volume, item);
                ++looked_up;
            }
            if (!directory && deleted && recovered < max_recoveries) {
                found_item what;
                what.id = id;
                what.size = item.size;
                what.deleted = true;
                scanner.recover(what, "/dev/null");
                ++recovered;
            }
            (void)item_path(index, id);
        }
        check_result_shape(found);
    }
    return 0;
}

}  // namespace qv::fuzz
