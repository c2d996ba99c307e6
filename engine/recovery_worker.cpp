#include "engine/recovery_worker.hpp"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "devices/fd_write.hpp"
#include "engine/destination_names.hpp"
#include "engine/file_times.hpp"
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

    const QByteArray out_path = QFile::encodeName(destination);
    fd_guard out{::open(out_path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644)};
    if (out.fd < 0) return -1;
    auto destination_failed = [&] {
        int error = errno;
        ::close(out.fd);
        out.fd = -1;
        ::unlink(out_path.constData());
        errno = error;
        return recover_destination_failed;
    };
    std::unique_ptr<char[]> buffer(new char[copy_buffer_bytes]);
    for (;;) {
        ssize_t got = ::read(in.fd, buffer.get(), copy_buffer_bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        if (!qv::write_all(out.fd, buffer.get(), size_t(got))) return destination_failed();
    }
    int fd = out.fd;
    out.fd = -1;
    if (::close(fd) == 0) return 0;
    int error = errno;
    ::unlink(out_path.constData());
    errno = error;
    return recover_destination_failed;
}

qv::recovery_status recover_row(recovery_base_c& engine, const recovery_item_s& row, const QString& destination) {
    qv::recovery_status status = engine.recover(row.id, destination);
    // A reader that set a finer time already (exFAT keeps nanoseconds) is left as it is.
    struct stat st {};
    if (status.written() && row.date1 != 0 &&
        (::stat(QFile::encodeName(destination).constData(), &st) != 0 || st.st_mtim.tv_sec != row.date1))
        qv::set_modified_time(destination, row.date1);
    return status;
}

recovery_file_c::recovery_file_c(QObject* parent) : QThread(parent) {}

recovery_file_c::~recovery_file_c() {
    wait();
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

qv::recovery_status recover_into(const QString& folder, const QString& name, destination_names& names,
                                 const std::function<qv::recovery_status(const QString& target)>& write,
                                 QString* written) {
    const QString target = names.create(folder, name);
    if (target.isEmpty()) return qv::recovery_status::destination(errno);
    qv::recovery_status result = write(target);
    if (result.written()) {
        if (written) *written = target;
        return result;
    }
    // The name was taken for this file; a failure before anything was
    // written leaves nothing behind. (A read error keeps what was read.)
    const int error = errno;
    struct stat st {};
    if (::lstat(QFile::encodeName(target).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        ::unlink(QFile::encodeName(target).constData());
    errno = error;
    return result;
}

int recover_into(const QString& folder, const QString& name, destination_names& names,
                 const std::function<int(const QString& target)>& write, QString* written) {
    int code = 0;
    qv::recovery_status status = recover_into(
        folder, name, names,
        [&](const QString& target) {
            code = write(target);
            if (code == 0) return qv::recovery_status::done();
            if (code == recover_destination_failed) return qv::recovery_status::destination(errno);
            return qv::recovery_status::failed(qv::read_end::io_error);
        },
        written);
    if (status.destination_failed && code == 0) {
        errno = status.destination_errno;
        return recover_destination_failed;  // no file could be created there
    }
    return code;
}
