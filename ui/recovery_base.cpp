#include "ui/recovery_base.hpp"

#include <cerrno>

#include "engine/destination_failure.hpp"
#include "engine/item_paths.hpp"

recovery_base_c::recovery_base_c(QObject* parent) : QThread(parent) {}
recovery_base_c::~recovery_base_c() = default;

const std::vector<qv::found_item>& recovery_base_c::found_items() {
    result_published();
    std::lock_guard lock(found_mutex_);
    if (!found_made_) {
        found_ = make_found_items();
        found_index_ = std::make_unique<qv::item_index>(found_);
        found_made_ = true;
    }
    return found_;
}

const qv::found_item* recovery_base_c::find_found_item(uint64_t id) {
    found_items();
    std::lock_guard lock(found_mutex_);
    return found_index_ ? found_index_->find(id) : nullptr;
}

void recovery_base_c::drop_found_items() {
    std::lock_guard lock(found_mutex_);
    found_made_ = false;
    found_index_.reset();
    found_.clear();
    found_.shrink_to_fit();
}

int32_t recovery_base_c::path_from_found_items(uint64_t id, const QString& mount_path, QString* out) {
    QString prefix = mount_path;
    if (prefix.endsWith('/') || prefix.endsWith('\\')) prefix.chop(1);
    *out = prefix;
    found_items();
    std::lock_guard lock(found_mutex_);
    auto path = qv::item_path(*found_index_, id, prefix.toStdString());
    if (!path) return -1;
    *out = QString::fromStdString(*path);
    return 0;
}

qv::recovery_status recovery_base_c::recover(uint64_t id, const QString& destination) {
    const int32_t rc = recover_file(id, destination);
    if (rc == 0) return qv::recovery_status::done(last_unreadable_bytes());
    if (rc == qv::recover_destination_failed) return qv::recovery_status::destination(errno);
    return qv::recovery_status::failed(device_vanished() ? qv::read_end::device_gone : qv::read_end::io_error,
                                       "item " + std::to_string(id));
}
