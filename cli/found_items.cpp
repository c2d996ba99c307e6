#include "cli/found_items.hpp"

#include <algorithm>
#include <unordered_set>

#include "engine/fat_recovery.hpp"
#include "engine/safe_names.hpp"

namespace {

constexpr uint8_t attr_directory = 0x10;
constexpr uint8_t attr_deleted = 0x40;

// Path of a FAT item from its parent chain; items whose chain breaks or loops
// are placed under "/#orphans" so they can still be recovered.
std::string fat_item_path(const fat_recovery_c::item_map& items, const fat_item_s& item) {
    std::vector<QString> parts{safe_file_name(QString::fromUtf16(item.name))};
    std::unordered_set<uint32_t> seen{item.cluster};
    uint32_t parent = item.parent;
    while (parent != 0) {
        auto it = items.find(parent);
        if (it == items.end() || !seen.insert(parent).second || !(it->second.attributes & attr_directory)) {
            parts.push_back("#orphans");
            break;
        }
        parts.push_back(safe_file_name(QString::fromUtf16(it->second.name)));
        parent = it->second.parent;
    }
    QString path;
    for (auto p = parts.rbegin(); p != parts.rend(); ++p) path += '/' + *p;
    return path.toStdString();
}

std::vector<found_item> collect_fat(const fat_recovery_c& engine) {
    std::vector<found_item> out;
    for (const auto& [id, item] : engine.items()) {
        if (id == 0) continue;
        found_item f;
        f.id = id;
        f.name = QString::fromUtf16(item.name).toStdString();
        f.path = fat_item_path(engine.items(), item);
        f.size = item.size;
        f.modified = item.modified;
        f.created = item.created;
        f.deleted = item.attributes & attr_deleted;
        f.directory = item.attributes & attr_directory;
        out.push_back(f);
    }
    return out;
}

}  // namespace

std::vector<found_item> collect_found_items(recovery_base_c& engine) {
    std::vector<found_item> out;
    if (auto* fat = qobject_cast<fat_recovery_c*>(&engine)) out = collect_fat(*fat);
    std::sort(out.begin(), out.end(), [](const found_item& a, const found_item& b) {
        return a.path != b.path ? a.path < b.path : a.id < b.id;
    });
    return out;
}
