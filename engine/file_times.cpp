#include "engine/file_times.hpp"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

namespace qv {

bool set_modified_time(const QString& path, int64_t seconds) {
    if (seconds == 0) return false;
    struct timespec times[2] = {};
    times[0].tv_sec = time_t(seconds);
    times[1].tv_sec = time_t(seconds);
    // Never through a symbolic link: the destination is the file just written.
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace qv
