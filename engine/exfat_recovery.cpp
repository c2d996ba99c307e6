#include "engine/exfat_recovery.hpp"

#include <QFile>

#include "devices/device_catalog.hpp"
#include "engine/destination_failure.hpp"
#include "exfat/exfat_volume.hpp"

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
    // The core lets go of the last scan's volume before its device is closed.
    scanner_.core().close();
    device_ = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    if (!device_) {
        open_error_ = qv::exfat::open_unreadable;
        publish_result();
        return;
    }
    qv::scan_hooks hooks;
    hooks.token = &token_;
    hooks.lost_files_name = lost_files_name_;
    hooks.progress = [this](double, uint64_t, uint64_t) { unreadable_ = scanner_.unreadable_so_far(); };
    qv::scan_report report = scanner_.scan(*device_, hooks);
    open_error_ = scanner_.open_error();
    unreadable_ = report.problems.unreadable_bytes;
    vanished_ = report.problems.device_gone();
    items_ = std::move(report.items);
    publish_result();
}

std::vector<qv::found_item> exfat_recovery_c::make_found_items() {
    result_published();
    return items_;
}

int32_t exfat_recovery_c::recover_file(uint64_t id, QString destination) {
    last_ = recover(id, destination);
    if (last_.written()) return 0;
    return last_.destination_failed ? recover_destination_failed : -1;
}

qv::recovery_status exfat_recovery_c::recover(uint64_t id, const QString& destination) {
    result_published();
    qv::found_item item;
    item.id = id;
    last_ = scanner_.recover(item, QFile::encodeName(destination).toStdString());
    return last_;
}

int32_t exfat_recovery_c::build_item_path(uint64_t id, QString* out) {
    return path_from_found_items(id, volume_.mount_path, out);
}
