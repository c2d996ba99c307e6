#include "engine/fat_recovery.hpp"

#include <QFile>

#include <algorithm>
#include <iterator>
#include <string>

#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "engine/destination_failure.hpp"
#include "engine/fat_reader.hpp"

fat_recovery_c::fat_recovery_c(QObject* parent) : recovery_base_c(parent) {}

fat_recovery_c::~fat_recovery_c() {
    if (isRunning()) {
        set_stop(qv::stop_reason::page_left);
        wait();
    }
}

void fat_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
}

void fat_recovery_c::reset() {
    result_published();
    token_.clear();
    items_.clear();
    drop_found_items();
}

void fat_recovery_c::run() {
    reset();
    QString path = volume_.volume_name;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    device_ = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    scan_open_device();
    publish_result();
}

void fat_recovery_c::scan_device(std::unique_ptr<qv::device_handle> device) {
    reset();
    device_ = std::move(device);
    scan_open_device();
    publish_result();
}

void fat_recovery_c::scan_open_device() {
    if (device_) {
        qv::scan_hooks hooks;
        hooks.token = &token_;
        items_ = scanner_.scan_map(*device_, hooks);
        auto lost = items_.find(qv::fat_lost_files_id);
        if (lost != items_.end() && !lost_files_name_.isEmpty()) {
            const std::u16string name = lost_files_name_.toStdU16String();
            const size_t n = std::min(name.size(), std::size(lost->second.name) - 1);
            std::fill(std::begin(lost->second.name), std::end(lost->second.name), u'\0');
            std::copy_n(name.begin(), n, lost->second.name);
        }
    } else {
        // No volume to read: the result is the empty root.
        fat_item_s root;
        root.attributes = FAT_ATTR_DIRECTORY;
        items_[0] = root;
    }
}

std::vector<qv::found_item> fat_recovery_c::make_found_items() { return qv::fat_found_items(items_); }

int32_t fat_recovery_c::recover_file(uint64_t id, QString destination) {
    last_ = recover(id, destination);
    if (last_.written()) return 0;
    return last_.destination_failed ? recover_destination_failed : -1;
}

qv::recovery_status fat_recovery_c::recover(uint64_t id, const QString& destination) {
    result_published();
    auto it = items_.find(uint32_t(id));
    if (it == items_.end() || !device_) {
        last_ = qv::recovery_status::failed(qv::read_end::corrupt, "cluster " + std::to_string(id) + ": no file of this scan");
        return last_;
    }
    qv::found_item item;
    item.id = it->first;
    item.size = it->second.size;
    item.deleted = it->second.attributes & FAT_ATTR_DELETED;
    last_ = scanner_.recover(item, QFile::encodeName(destination).toStdString());
    return last_;
}

int32_t fat_recovery_c::build_item_path(uint64_t id, QString* out) {
    return path_from_found_items(id, volume_.mount_path, out);
}
