#include "engine/destination_failure.hpp"

#include <QFile>

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "devices/format_size.hpp"

namespace qv {

destination_failure classify_destination_failure(int error_number, const QString& folder,
                                                 uint64_t more_needed) {
    destination_failure f;
    f.stopped = true;
    f.more_needed = more_needed;
    if (error_number == ENOSPC || error_number == EDQUOT) {
        f.full = true;
        return f;
    }
    // The errno can be lost on the way (a close that reports a delayed write
    // error, a library in between): a folder without a free block is full too.
    struct statvfs vfs {};
    if (::statvfs(QFile::encodeName(folder).constData(), &vfs) == 0 &&
        (vfs.f_bavail == 0 || (vfs.f_favail == 0 && vfs.f_files != 0))) {
        f.full = true;
        return f;
    }
    f.reason = QString::fromLocal8Bit(std::strerror(error_number != 0 ? error_number : EIO));
    return f;
}

QString destination_failure_text(size_t recovered, size_t total, const destination_failure& failure) {
    QString head = QStringLiteral("%1 of %2 files recovered; ").arg(recovered).arg(total);
    if (failure.full)
        return head + QStringLiteral("the destination is full (about %1 more needed)").arg(format_size(failure.more_needed));
    return head + QStringLiteral("the destination cannot be written (%1)").arg(failure.reason);
}

}  // namespace qv
