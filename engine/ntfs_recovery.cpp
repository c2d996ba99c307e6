#include "engine/ntfs_recovery.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "devices/device_catalog.hpp"
#include "engine/destination_failure.hpp"

namespace {

constexpr size_t device_name_bytes = 260;
constexpr const char* log_file_name = "Pellacord.log";
constexpr const char* log_source = "ntfs_recovery";
constexpr int log_line = 105;

}  // namespace

ntfs_recovery_c::ntfs_recovery_c(QObject* parent) : recovery_base_c(parent) { reset(); }

ntfs_recovery_c::~ntfs_recovery_c() {
    if (isRunning()) {
        set_stop(qv::stop_reason::page_left);
        wait();
    }
}

void ntfs_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
}

void ntfs_recovery_c::reset() {
    result_published();
    token_.clear();
    items_ = item_map();
    drop_found_items();
}

QByteArray ntfs_recovery_c::device_name(int32_t disk_number, int32_t partition_number) {
    char buffer[device_name_bytes] = {};
    std::snprintf(buffer, sizeof buffer, "/dev/hd%c%d", char('a' + disk_number), partition_number);
    return QByteArray(buffer);
}

QString ntfs_recovery_c::log_path() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath(log_file_name);
}

void ntfs_recovery_c::log_startup_failure(int value) {
    QString path = log_path();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (FILE* log = std::fopen(QFile::encodeName(path).constData(), "a")) {
        std::time_t now = std::time(nullptr);
        char when[64] = {};
        ctime_r(&now, when);
        when[std::strcspn(when, "\n")] = 0;
        std::fprintf(log, "%s  ", when);
        std::fprintf(log, "[%s:%d] ", log_source, log_line);
        std::fprintf(log, "ntfs_scan_startup failed with return value (%d)", value);
        std::fprintf(log, "\n");
        std::fclose(log);
    }
    std::fprintf(stderr, "ERROR: ");
    std::fprintf(stderr, "[%s:%d] ", log_source, log_line);
    std::fprintf(stderr, "ntfs_scan_startup failed with return value (%d)", value);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

void ntfs_recovery_c::run() {
    reset();
    QString path = volume_.volume_name;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    // The core lets go of the last scan's volume before its device is closed.
    scanner_.core().close();
    device_ = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    unreadable_ = 0;
    vanished_ = false;
    if (!device_) {
        log_startup_failure(-1);
        publish_result();
        return;
    }
    qv::scan_hooks hooks;
    hooks.token = &token_;
    hooks.progress = [this](double, uint64_t, uint64_t) { unreadable_ = scanner_.unreadable_so_far(); };
    qv::scan_problems problems;
    items_ = scanner_.scan_records(*device_, hooks, &problems);
    unreadable_ = problems.unreadable_bytes;
    vanished_ = problems.device_gone();
    if (scanner_.open_error() < 0) log_startup_failure(scanner_.open_error());
    publish_result();
}

std::vector<qv::found_item> ntfs_recovery_c::make_found_items() { return qv::ntfs_found_items(items_); }

int32_t ntfs_recovery_c::recover_file(uint64_t id, QString destination) {
    last_ = recover(id, destination);
    if (last_.written()) return 0;
    return last_.destination_failed ? recover_destination_failed : -1;
}

qv::recovery_status ntfs_recovery_c::recover(uint64_t id, const QString& destination) {
    result_published();
    last_ = scanner_.recover(id, QFile::encodeName(destination).toStdString());
    return last_;
}

int32_t ntfs_recovery_c::build_item_path(uint64_t id, QString* out) {
    return path_from_found_items(id, volume_.mount_path, out);
}
