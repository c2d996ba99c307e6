#include "ui/scanner_thread.hpp"

#include <QFile>

#include "devices/device_catalog.hpp"
#include "engine/destination_failure.hpp"

namespace qv::ui {

scanner_thread_c::scanner_thread_c(const qv::scanner_kind& kind, QObject* parent)
    : token_engine(parent), scanner_(kind.make()) {}

scanner_thread_c::~scanner_thread_c() {
    if (isRunning()) {
        set_stop(qv::stop_reason::page_left);
        wait();
    }
}

void scanner_thread_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
}

void scanner_thread_c::reset() {
    result_published();
    token_.clear();
    scanned_.clear();
    problems_ = {};
    gone_ = false;
    drop_found_items();
}

void scanner_thread_c::run() {
    reset();
    QString path = volume_.volume_name;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    device_ = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    scan_open_device();
    scan_ended();
    publish_result();
}

void scanner_thread_c::scan_device(std::unique_ptr<qv::device_handle> device) {
    reset();
    device_ = std::move(device);
    scan_open_device();
    publish_result();
}

void scanner_thread_c::scan_open_device() {
    if (!device_) {
        problems_.end = qv::read_end::io_error;
        return;
    }
    qv::scan_hooks hooks;
    hooks.token = &token_;
    hooks.lost_files_name = lost_files_name_;
    qv::scan_report report = scanner_->scan(*device_, hooks);
    scanned_ = std::move(report.items);
    problems_ = std::move(report.problems);
    gone_ = problems_.device_gone();
}

std::vector<qv::found_item> scanner_thread_c::make_found_items() {
    result_published();
    return std::move(scanned_);  // asked once per scan: the base keeps them from here on
}

qv::recovery_status scanner_thread_c::recover(uint64_t id, const QString& destination) {
    result_published();
    const qv::found_item* item = find_found_item(id);
    if (!item)
        last_ = qv::recovery_status::failed(qv::read_end::corrupt, "item " + std::to_string(id) + ": no file of this scan");
    else
        last_ = scanner_->recover(*item, QFile::encodeName(destination).toStdString());
    return last_;
}

int32_t scanner_thread_c::recover_file(uint64_t id, QString destination) {
    const qv::recovery_status status = recover(id, destination);
    if (status.written()) return 0;
    return status.destination_failed ? recover_destination_failed : -1;
}

int32_t scanner_thread_c::build_item_path(uint64_t id, QString* out) {
    return path_from_found_items(id, volume_.mount_path, out);
}

}  // namespace qv::ui
