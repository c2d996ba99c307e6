#include "ui/ntfs_recovery.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/fs_scanners.hpp"

namespace {

constexpr size_t device_name_bytes = 260;
constexpr const char* log_file_name = "Pellacord.log";
constexpr const char* log_source = "ntfs_recovery";
constexpr int log_line = 105;

}  // namespace

ntfs_recovery_c::ntfs_recovery_c(QObject* parent) : qv::ui::scanner_thread_c(*qv::scanner_named("ntfs"), parent) {}

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

void ntfs_recovery_c::scan_ended() {
    if (!device_opened())
        log_startup_failure(-1);
    else if (const int error = static_cast<qv::ntfs_scanner&>(scanner()).open_error(); error < 0)
        log_startup_failure(error);
}
