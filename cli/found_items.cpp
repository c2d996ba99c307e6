#include "cli/found_items.hpp"

#include <QString>

#include <algorithm>

#include "engine/item_paths.hpp"
#include "engine/safe_names.hpp"

namespace qv::cli {

namespace {

std::string safe(const std::string& name) {
    return safe_file_name(QString::fromStdString(name)).toStdString();
}

std::string path_of(const qv::item_index& index, const qv::found_item& item) {
    if (!item.type.empty()) return "/" + safe(item.type) + "/" + item.name;
    qv::item_chain chain = qv::chain_of(index, item.id);
    std::string path = chain.complete ? "" : "/#orphans";
    for (const qv::found_item* part : chain.items) path += "/" + safe(part->name);
    return path;
}

}  // namespace

std::vector<listed_item> list_found_items(const std::vector<qv::found_item>& items) {
    qv::item_index index(items);
    std::vector<listed_item> out;
    out.reserve(items.size());
    for (const qv::found_item& item : items) {
        listed_item l;
        static_cast<qv::found_item&>(l) = item;
        l.path = path_of(index, item);
        out.push_back(std::move(l));
    }
    std::sort(out.begin(), out.end(), [](const listed_item& a, const listed_item& b) {
        return a.path != b.path ? a.path < b.path : a.id < b.id;
    });
    return out;
}

}  // namespace qv::cli
