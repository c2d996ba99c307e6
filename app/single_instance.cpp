#include "app/single_instance.hpp"

#include <QDir>
#include <QStandardPaths>

namespace qv {

std::unique_ptr<QLockFile> take_instance_lock(bool* other_copy_running) {
    *other_copy_running = false;
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::tempPath();
    auto lock = std::make_unique<QLockFile>(dir + "/Quorvane.lock");
    // Only a lock whose process is gone counts as stale, however old it is.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) return lock;
    if (lock->error() == QLockFile::LockFailedError) {
        *other_copy_running = true;
        return nullptr;
    }
    return std::make_unique<QLockFile>(QString());
}

}  // namespace qv
