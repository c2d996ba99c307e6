#include "cli/found_items.hpp"

#include <algorithm>
#include <unordered_set>

#include "engine/fat_recovery.hpp"
#include "engine/safe_names.hpp"
#ifdef QUORVANE_HAVE_NTFS
#include "engine/ntfs_recovery.hpp"
#endif
#ifdef QUORVANE_HAVE_DEEP
#include "engine/raw_recovery.hpp"
#endif

namespace {

constexpr uint8_t attr_directory = 0x10;
constexpr uint8_t attr_deleted = 0x40;

// Path of an item from its parent chain up to the root; items whose chain
// breaks, loops or passes through a file are placed under "/#orphans" so they
// can still be recovered.
template <typename Map, typename Item, typename IsFolder>
std::string chain_path(const Map& items, const Item& item, uint64_t id, uint64_t root, IsFolder is_folder) {
    std::vector<QString> parts{safe_file_name(QString::fromUtf16(item.name))};
    std::unordered_set<uint64_t> seen{id};
    uint64_t parent = item.parent;
    while (parent != root) {
        auto it = items.find(parent);
        if (it == items.end() || !seen.insert(parent).second || !is_folder(it->second)) {
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
        f.path = chain_path(engine.items(), item, id, 0,
                            [](const fat_item_s& i) { return (i.attributes & attr_directory) != 0; });
        f.size = item.size;
        f.modified = item.modified;
        f.created = item.created;
        f.deleted = item.attributes & attr_deleted;
        f.directory = item.attributes & attr_directory;
        out.push_back(f);
    }
    return out;
}

#ifdef QUORVANE_HAVE_NTFS
std::vector<found_item> collect_ntfs(const ntfs_recovery_c& engine) {
    std::vector<found_item> out;
    for (const auto& [id, item] : engine.items()) {
        if (id <= ntfs_last_metadata_id) continue;
        found_item f;
        f.id = id;
        f.name = QString::fromUtf16(item.name).toStdString();
        f.path = chain_path(engine.items(), item, id, ntfs_root_id,
                            [](const ntfs_item_s& i) { return (i.flags & ntfs_flag_directory) != 0; });
        f.size = item.size;
        f.modified = item.date1;
        f.created = item.date2;
        f.deleted = item.flags & ntfs_flag_deleted;
        f.directory = (item.flags & ntfs_flag_directory) && !(item.flags & ntfs_flag_file);
        out.push_back(f);
    }
    return out;
}
#endif

#ifdef QUORVANE_HAVE_DEEP
std::vector<found_item> collect_raw(const raw_recovery_c& engine) {
    std::vector<found_item> out;
    const auto& records = engine.records();
    const auto& facts = engine.facts();
    for (size_t i = 0; i < records.size(); ++i) {
        recovery_item_s row = raw_recovery_c::row(records[i], i, i < facts.size() ? facts[i].taken : 0);
        found_item f;
        f.id = i;
        f.name = row.name.toStdString();
        f.type = qv::record_type(records[i]);
        f.path = "/" + safe_file_name(QString::fromStdString(f.type)).toStdString() + "/" + f.name;
        f.size = records[i].size;
        f.offset = records[i].offset;
        f.modified = row.date1;  // the capture time, when the file records one
        f.deleted = true;
        out.push_back(f);
    }
    return out;
}
#endif

}  // namespace

std::vector<found_item> collect_found_items(recovery_base_c& engine) {
    std::vector<found_item> out;
    if (auto* fat = qobject_cast<fat_recovery_c*>(&engine)) out = collect_fat(*fat);
#ifdef QUORVANE_HAVE_NTFS
    if (auto* ntfs = qobject_cast<ntfs_recovery_c*>(&engine)) out = collect_ntfs(*ntfs);
#endif
#ifdef QUORVANE_HAVE_DEEP
    if (auto* raw = qobject_cast<raw_recovery_c*>(&engine)) out = collect_raw(*raw);
#endif
    std::sort(out.begin(), out.end(), [](const found_item& a, const found_item& b) {
        return a.path != b.path ? a.path < b.path : a.id < b.id;
    });
    return out;
}
