#include "engine/destination_names.hpp"

#include <QFile>

#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/safe_names.hpp"

namespace qv {

namespace {

// Tries beyond this many numbers for one name mean something else is wrong.
constexpr int max_numbers_per_name = 10000000;

// 0 when path was created (and closed) here; errno otherwise.
int create_exclusive(const QString& path) {
    int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

}  // namespace

destination_names::folder_state& destination_names::folder(const QString& path) {
    auto it = folders_.find(path);
    if (it != folders_.end()) return *it;
    folder_state& state = folders_[path];
    if (DIR* d = ::opendir(QFile::encodeName(path).constData())) {
        while (dirent* e = ::readdir(d)) state.taken.insert(QFile::decodeName(e->d_name));
        ::closedir(d);
    }
    return state;
}

QString destination_names::create(const QString& folder_path, const QString& name) {
    folder_state& state = folder(folder_path);
    const QString safe = safe_file_name(name);
    qsizetype dot = safe.lastIndexOf(u'.');
    if (dot <= 0) dot = safe.size();
    const QString base = safe.left(dot), ext = safe.mid(dot);

    int& next = state.next[safe];  // 0: the name itself not tried yet
    for (int tries = 0; tries < max_numbers_per_name; ++tries) {
        const QString candidate = next == 0 ? safe : base + QStringLiteral(" (%1)").arg(next) + ext;
        next = next == 0 ? 2 : next + 1;
        if (state.taken.contains(candidate)) continue;
        state.taken.insert(candidate);
        const QString path = folder_path + u'/' + candidate;
        int error = create_exclusive(path);
        if (error == 0) return path;
        if (error == EEXIST) continue;  // appeared meanwhile, or the same name in other case
        errno = error;
        return {};
    }
    errno = EEXIST;
    return {};
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

}  // namespace qv
