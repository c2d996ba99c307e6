#include "tests/engine/fat_scan.hpp"

#include <gtest/gtest.h>

#include "devices/device_catalog.hpp"
#include "engine/sector_device.hpp"
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

std::unique_ptr<fat_recovery_c> scan_fat_volume(const std::string& path) {
    auto engine = std::make_unique<fat_recovery_c>();
    engine->set_volume(open_test_volume(path));
    engine->start();
    EXPECT_TRUE(engine->wait(60000)) << "the scan did not end";
    engine->items();  // takes the result over from the engine's thread
    return engine;
}

std::u16string item_name(const fat_item_s& item) { return std::u16string(item.name); }

const fat_item_s* item_named(const fat_recovery_c& engine, const std::u16string& name) {
    const fat_item_s* found = nullptr;
    for (const auto& [id, item] : engine.items()) {
        if (item_name(item) != name) continue;
        if (found) return nullptr;
        found = &item;
    }
    return found;
}

std::vector<uint8_t> recover_bytes(fat_recovery_c& engine, uint32_t id, const std::string& dir, bool* ok) {
    std::string out = dir + "/recovered-" + std::to_string(id);
    bool success = engine.recover_file(id, QString::fromStdString(out)) == 0;
    if (ok) *ok = success;
    return read_file(out);
}

}  // namespace qv::test
