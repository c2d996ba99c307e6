#include "tests/engine/fat_scan.hpp"

#include <QFile>

#include <gtest/gtest.h>

#include "devices/device_catalog.hpp"
#include "engine/destination_failure.hpp"
#include "engine/item_paths.hpp"
#include "engine/sector_device.hpp"
#include "fat/fat_reader.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

volume_item_s open_test_volume(const std::string& path) {
    auto& catalog = device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    catalog.close_images();
    std::string base = path.substr(0, path.rfind('#') == std::string::npos ? path.size() : path.rfind('#'));
    EXPECT_EQ(catalog.open_image(base), 0);
    open_physical_drives();
    reopen_physical_drives();
    volume_item_s v;
    auto where = catalog.locate(path);
    EXPECT_TRUE(where.has_value()) << path;
    if (!where) return v;
    v.device_name = v.volume_name = QString::fromStdString(where->path);
    v.mount_path = v.device_name;
    v.file_system = QString::fromStdString(where->file_system);
    v.partition_number = where->partition_number;
    v.disk_number = where->drive_number;
    v.total_bytes = where->length;
    return v;
}

fat_scan_run::fat_scan_run(std::unique_ptr<device_handle> device, volume_item_s volume)
    : device_(std::move(device)), volume_(std::move(volume)) {}

int fat_scan_run::recover_file(uint64_t id, const QString& destination) {
    auto it = items_.find(uint32_t(id));
    if (it == items_.end() || id > UINT32_MAX) return -1;
    found_item item;
    item.id = id;
    item.size = it->second.size;
    item.deleted = it->second.attributes & fat::attr_deleted;
    const recovery_status status = scanner_.recover(item, QFile::encodeName(destination).toStdString());
    if (status.written()) return 0;
    return status.destination_failed ? recover_destination_failed : -1;
}

const std::vector<found_item>& fat_scan_run::found_items() const {
    if (!found_) found_ = fat_found_items(items_);
    return *found_;
}

int fat_scan_run::build_item_path(uint64_t id, QString* out) const {
    const item_index index(found_items());
    auto path = item_path(index, id, volume_.mount_path.toStdString());
    *out = QString::fromStdString(path.value_or(volume_.mount_path.toStdString()));
    return path ? 0 : -1;
}

bool fat_scan_run::shown_as_folder(uint64_t id) const {
    const folder_tree tree = build_folder_tree(found_items());
    if (id == 0) return tree.has_results();
    for (const folder_node& node : tree.nodes)
        if (node.item && node.item->id == id) return true;
    return false;
}

std::vector<const fat_item_s*> fat_scan_run::children_of(uint64_t id) const {
    std::vector<const fat_item_s*> out;
    for (const auto& [cluster, item] : items_)
        if (cluster != 0 && item.parent == id) out.push_back(&item);
    return out;
}

std::unique_ptr<fat_scan_run> scan_fat_volume(const std::string& path, const std::string& lost_files_name) {
    volume_item_s volume = open_test_volume(path);
    auto device = device_catalog::shared().open(volume.volume_name.toStdString(), access_mode::read_only);
    EXPECT_TRUE(device) << path;
    auto run = std::make_unique<fat_scan_run>(std::move(device), volume);
    if (!run->device_) return run;
    scan_hooks hooks;
    hooks.token = &run->token_;
    hooks.lost_files_name = lost_files_name;
    run->items_ = run->scanner_.scan_map(*run->device_, hooks);
    return run;
}

std::unique_ptr<fat_recovery_c> scan_fat_window(const std::string& path) {
    auto engine = std::make_unique<fat_recovery_c>();
    engine->set_volume(open_test_volume(path));
    engine->start();
    EXPECT_TRUE(engine->wait(60000)) << "the scan did not end";
    return engine;
}

std::u16string item_name(const fat_item_s& item) { return std::u16string(item.name); }

const fat_item_s* item_named(const fat_scan_run& scan, const std::u16string& name) {
    const fat_item_s* found = nullptr;
    for (const auto& [id, item] : scan.items()) {
        if (item_name(item) != name) continue;
        if (found) return nullptr;
        found = &item;
    }
    return found;
}

std::vector<uint8_t> recover_bytes(fat_scan_run& scan, uint32_t id, const std::string& dir, bool* ok) {
    std::string out = dir + "/recovered-" + std::to_string(id);
    bool success = scan.recover_file(id, QString::fromStdString(out)) == 0;
    if (ok) *ok = success;
    return read_file(out);
}

}  // namespace qv::test
