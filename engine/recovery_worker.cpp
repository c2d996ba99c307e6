#include "engine/recovery_worker.hpp"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "engine/recovery_base.hpp"
#include "engine/safe_names.hpp"

namespace {

constexpr size_t copy_buffer_bytes = 0x20000;

// Closes a descriptor at scope end.
struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
};

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t w = ::write(fd, data, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        size -= size_t(w);
    }
    return true;
}

}  // namespace

int copy_file_contents(const QString& source, const QString& destination) {
    // Non-blocking so a FIFO on the volume cannot hang the copy; anything that
    // is not a regular file is refused below.
    fd_guard in{::open(QFile::encodeName(source).constData(),
                       O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    if (in.fd < 0) return -1;
    struct stat st {};
    if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    ::fcntl(in.fd, F_SETFL, ::fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);

    fd_guard out{::open(QFile::encodeName(destination).constData(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644)};
    if (out.fd < 0) return -1;
    std::unique_ptr<char[]> buffer(new char[copy_buffer_bytes]);
    for (;;) {
        ssize_t got = ::read(in.fd, buffer.get(), copy_buffer_bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        if (!write_all(out.fd, buffer.get(), size_t(got))) return -1;
    }
    int fd = out.fd;
    out.fd = -1;
    return ::close(fd) == 0 ? 0 : -1;
}

int recover_row(recovery_base_c& engine, int engine_kind, const recovery_item_s& row,
                const QString& destination) {
    switch (engine_kind) {
        case engine_kind_fat:
        case engine_kind_exfat:
        case engine_kind_deep:
            return engine.recover_file(row.id, destination);
        case engine_kind_ntfs: {
            if (row.attributes & ntfs_row_deleted) return engine.recover_file(row.id, destination);
            QString live;
            if (engine.build_item_path(row.id, &live) < 0) return -1;
            return copy_file_contents(live, destination);
        }
        default:
            return -1;
    }
}

recovery_file_c::recovery_file_c(QObject* parent) : QThread(parent) {}

recovery_file_c::~recovery_file_c() {
    wait();
}

void recovery_file_c::set_job(recovery_base_c* engine, int engine_kind, const QDir& destination,
                              const QList<recovery_item_s>& rows) {
    engine_ = engine;
    engine_kind_ = engine_kind;
    destination_ = destination;
    rows_.clear();
    for (const recovery_item_s& row : rows)
        if (row.ticked & 0xFF) rows_.append(row);
    recovered_ = 0;
    failed_ = 0;
}

void recovery_file_c::run() {
    if (!engine_) return;
    for (const recovery_item_s& row : std::as_const(rows_)) {
        QString target = unique_destination(destination_.path(), row.name);
        if (recover_row(*engine_, engine_kind_, row, target) == 0)
            ++recovered_;
        else
            ++failed_;
    }
}
