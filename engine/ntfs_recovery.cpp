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

namespace {

constexpr size_t device_name_bytes = 260;
constexpr const char* log_file_name = "Pellacord.log";
constexpr const char* log_source = "ntfs_recovery";
constexpr int log_line = 105;

bool is_file(const ntfs_item_s& i) { return i.flags & ntfs_flag_file; }
bool is_deleted(const ntfs_item_s& i) { return i.flags & ntfs_flag_deleted; }

}  // namespace

ntfs_recovery_c::ntfs_recovery_c(QObject* parent) : recovery_base_c(parent) { reset(); }

ntfs_recovery_c::~ntfs_recovery_c() {
    if (isRunning()) {
        set_stop(2);
        wait();
    }
    if (ntfs_context_u32(context_, ntfs_context_started) != 0) ntfs_scan_cleanup(&context_);
}

void ntfs_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
}

void ntfs_recovery_c::reset() {
    result_published();
    controls_.clear();
    items_ = item_map();
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
    QByteArray name = device_name(volume_.disk_number, volume_.partition_number);
    if (ntfs_context_u32(context_, ntfs_context_started) != 0) {
        ntfs_scan_cleanup(&context_);
        std::memset(context_.bytes, 0, sizeof context_.bytes);
    }
    int started = ntfs_scan_startup(name.constData(), &context_);
    if (started < 0) {
        log_startup_failure(started);
        publish_result();
        return;
    }

    while (controls_.stop == 0) {
        if (!controls_.wait_while_paused()) break;
        ntfs_item_s item;
        if (ntfs_scan_next(&context_, &item) == 0) break;

        uint32_t a = ntfs_context_u32(context_, ntfs_context_counter_a);
        uint32_t b = ntfs_context_u32(context_, ntfs_context_counter_b);
        uint32_t c = ntfs_context_u32(context_, ntfs_context_counter_c);
        int64_t total = ntfs_context_i64(context_, ntfs_context_total);
        uint32_t done = c + 8 * (a + b);
        if (total > 0) controls_.progress = std::min(1.0, double(done) / double(total));
        controls_.entries++;

        // Live files are left to the file system; directories and deleted files are kept.
        if (is_deleted(item) || !is_file(item)) {
            uint64_t id = item.id;
            if (items_.insert_or_assign(id, std::move(item)).second) controls_.items++;
        }
    }
    link_and_mark();
    publish_result();
}

void ntfs_recovery_c::link_and_mark() {
    for (auto& [id, item] : items_) {
        if (item.parent == id) continue;  // the root names itself as its parent
        auto parent = items_.find(item.parent);
        if (parent != items_.end()) parent->second.children.push_back(&item);
    }
    for (auto& [id, item] : items_) {
        if (!is_file(item)) continue;
        // Each step sets a mark that was clear, so a parent loop ends the walk.
        uint64_t current = item.parent;
        for (;;) {
            auto it = items_.find(current);
            if (it == items_.end() || it->second.has_files) break;
            it->second.has_files = 1;
            current = it->second.parent;
        }
    }
}

int32_t ntfs_recovery_c::recover_file(uint64_t id, QString destination) {
    result_published();
    QByteArray path = QFile::encodeName(destination);
    // Whatever stood at the destination goes first, but never a device, a
    // folder or the image being scanned.
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) &&
        !ntfs_is_source_path(&context_, path.constData()))
        ::unlink(path.constData());
    return ntfs_recover_file(&context_, id, path.constData());
}

int32_t ntfs_recovery_c::build_item_path(uint64_t id, QString* out) {
    QString path = volume_.mount_path;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    *out = path;
    result_published();
    std::vector<uint64_t> chain{id};
    std::unordered_set<uint64_t> seen{id};
    for (;;) {
        auto it = items_.find(chain.back());
        if (it == items_.end()) return -1;
        uint64_t parent = it->second.parent;
        if (parent == ntfs_root_id) break;
        if (!seen.insert(parent).second) return -1;  // a parent loop
        chain.push_back(parent);
    }
    for (auto c = chain.rbegin(); c != chain.rend(); ++c) {
        path += '/';
        path += QString::fromUtf16(items_.at(*c).name);
    }
    *out = path;
    return 0;
}
