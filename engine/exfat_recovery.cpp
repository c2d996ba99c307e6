#include "engine/exfat_recovery.hpp"

#include <QFile>

#include "devices/device_catalog.hpp"

exfat_recovery_c::exfat_recovery_c(QObject* parent) : recovery_base_c(parent) { reset(); }

exfat_recovery_c::~exfat_recovery_c() {
    if (isRunning()) {
        set_stop(qv::stop_reason::page_left);
        wait();
    }
}

void exfat_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
}

void exfat_recovery_c::reset() {
    result_published();
    token_.clear();
    items_.clear();
    open_error_ = 0;
    drop_found_items();
}

void exfat_recovery_c::run() {
    reset();
    QString path = volume_.volume_name;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    auto device = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    qv::scan_hooks hooks;
    hooks.token = &token_;
    hooks.progress = [this](double, uint64_t, uint64_t) { unreadable_ = core_.unreadable_bytes(); };
    qv::exfat_scan_result result = core_.scan(std::move(device), hooks);
    open_error_ = result.open_error;
    unreadable_ = result.unreadable_bytes;
    vanished_ = result.vanished;
    items_ = std::move(result.items);
    publish_result();
}

std::vector<qv::found_item> exfat_recovery_c::make_found_items() {
    result_published();
    return items_;
}

int32_t exfat_recovery_c::recover_file(uint64_t id, QString destination) {
    result_published();
    return core_.recover(id, QFile::encodeName(destination).toStdString());
}

int32_t exfat_recovery_c::build_item_path(uint64_t id, QString* out) {
    return path_from_found_items(id, volume_.mount_path, out);
}
