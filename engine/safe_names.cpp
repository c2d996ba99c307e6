#include "engine/safe_names.hpp"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace qv {

QString safe_file_name(const QString& name) {
    QString out = name;
    for (auto& c : out)
        if (c == u'/' || c == u'\\' || c == QChar(0)) c = u'_';
    if (out.isEmpty() || out == "." || out == "..") out.prepend(u'_');
    return out;
}

QString unique_destination(const QString& folder, const QString& name) {
    QString safe = safe_file_name(name);
    QString candidate = folder + '/' + safe;
    if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) return candidate;
    qsizetype dot = safe.lastIndexOf('.');
    if (dot <= 0) dot = safe.size();
    QString base = safe.left(dot), ext = safe.mid(dot);
    for (int n = 2;; ++n) {
        candidate = folder + '/' + base + QString(" (%1)").arg(n) + ext;
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) return candidate;
    }
}

bool destination_on_volume(const QString& folder, const QString& volume_path) {
    struct stat dest {}, vol {};
    if (::stat(QFile::encodeName(folder).constData(), &dest) != 0) return false;
    if (::stat(QFile::encodeName(volume_path).constData(), &vol) != 0) return false;
    return S_ISBLK(vol.st_mode) && dest.st_dev == vol.st_rdev;
}

}  // namespace qv
