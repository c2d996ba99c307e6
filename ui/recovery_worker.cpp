#include "ui/recovery_worker.hpp"

#include <QFile>

#include <sys/stat.h>

#include <cerrno>

#include "engine/destination_names.hpp"
#include "engine/file_times.hpp"
#include "engine/safe_names.hpp"
#include "ui/recovery_base.hpp"

using qv::classify_destination_failure;
using qv::destination_names;
using qv::recover_into;
using qv::ui::recover_row;

namespace qv::ui {

recovery_status recover_row(recovery_base_c& engine, const recovery_item_s& row, const QString& destination) {
    recovery_status status = engine.recover(row.id, destination);
    // A reader that set a finer time already (exFAT keeps nanoseconds) is left as it is.
    struct stat st {};
    if (status.written() && row.date1 != 0 &&
        (::stat(QFile::encodeName(destination).constData(), &st) != 0 || st.st_mtim.tv_sec != row.date1))
        set_modified_time(destination, row.date1);
    return status;
}

}  // namespace qv::ui

recovery_file_c::recovery_file_c(QObject* parent) : QThread(parent) {}

recovery_file_c::~recovery_file_c() {
    wait();
    settle();
}

void recovery_file_c::set_job(recovery_base_c* engine, const QDir& destination, const QList<recovery_item_s>& rows) {
    engine_ = engine;
    destination_ = destination;
    rows_.clear();
    for (const recovery_item_s& row : rows)
        if (row.ticked & 0xFF) rows_.append(row);
    recovered_ = 0;
    failed_ = 0;
    damaged_ = 0;
    damaged_ids_.clear();
    stop_ = {};
}

void recovery_file_c::run() {
    copy_rows();
    runs_.fetch_add(1, std::memory_order_release);
}

void recovery_file_c::copy_rows() {
    if (!engine_) return;
    destination_names names;
    uint64_t left = 0;  // bytes of the rows not recovered yet
    for (const recovery_item_s& row : std::as_const(rows_)) left += row.size;
    for (const recovery_item_s& row : std::as_const(rows_)) {
        const qv::recovery_status outcome = recover_into(
            destination_.path(), row.name, names, [&](const QString& t) { return recover_row(*engine_, row, t); });
        if (outcome.written()) {
            if (outcome.damaged()) {
                ++damaged_;
                damaged_ids_.append(row.id);
            }
            ++recovered_;
            left -= row.size;
        } else if (outcome.destination_failed) {
            // Every later file would fail the same way: stop here and say what is missing.
            stop_ = classify_destination_failure(outcome.destination_errno, destination_.path(), left);
            return;
        } else {
            ++failed_;
        }
    }
}
