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
    auto device = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    qv::scan_hooks hooks;
    hooks.token = &token_;
    unreadable_ = 0;
    vanished_ = false;
    hooks.progress = [this](double, uint64_t, uint64_t) { unreadable_ = core_.unreadable_bytes(); };
    qv::ntfs_scan_result result = core_.scan(std::move(device), hooks);
    unreadable_ = core_.unreadable_bytes();
    vanished_ = core_.device_vanished();
    if (result.open_error < 0) log_startup_failure(result.open_error);
    items_ = std::move(result.items);
    publish_result();
}

std::vector<qv::found_item> ntfs_recovery_c::make_found_items() { return qv::ntfs_found_items(items_); }

int32_t ntfs_recovery_c::recover_file(uint64_t id, QString destination) {
    result_published();
    int32_t result = core_.recover(id, QFile::encodeName(destination).toStdString());
    last_unreadable_ = core_.last_unreadable_bytes();
    return result;
}

int32_t ntfs_recovery_c::build_item_path(uint64_t id, QString* out) {
    return path_from_found_items(id, volume_.mount_path, out);
}
