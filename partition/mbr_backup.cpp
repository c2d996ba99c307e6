#include "partition/mbr_backup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include "devices/fd_write.hpp"

namespace qv::partition {
namespace {

constexpr int max_name_attempts = 100;

QString sanitized_drive_name(const QString& drive_path) {
    QString name = QFileInfo(drive_path).fileName();
    if (name.isEmpty()) name = QStringLiteral("drive");
    for (QChar& c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-' && c != u'_')
            c = u'_';
    }
    return name;
}

QString errno_text() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

QString default_backup_dir() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (base.isEmpty() || QCoreApplication::applicationName().isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QStringLiteral("/Quorvane");
    return base + QStringLiteral("/mbr-backups");
}

int save_sector_backup(const QString& dir, const QString& drive_path,
                       std::span<const uint8_t, mbr_bytes> sector, QString* path, QString* error) {
    return save_sectors_backup(dir, drive_path, QStringLiteral("mbr"), sector, path, error);
}

int save_sectors_backup(const QString& dir, const QString& drive_path, const QString& prefix,
                        std::span<const uint8_t> sector, QString* path, QString* error) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    if (dir.isEmpty()) return fail(QStringLiteral("no backup folder is set"));
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create the backup folder %1").arg(dir));

    const QString stem =
        QStringLiteral("%1-%2-%3")
            .arg(prefix, sanitized_drive_name(drive_path),
                 QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")));
    QString file;
    int fd = -1;
    for (int attempt = 1; attempt <= max_name_attempts && fd < 0; ++attempt) {
        file =
            QDir(dir).filePath(attempt == 1 ? stem + QStringLiteral(".bin")
                                            : QStringLiteral("%1-%2.bin").arg(stem).arg(attempt));
        fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    0600);
        if (fd < 0 && errno != EEXIST)
            return fail(QStringLiteral("cannot create %1: %2").arg(file, errno_text()));
    }
    if (fd < 0) return fail(QStringLiteral("cannot find a free backup file name in %1").arg(dir));

    bool ok = qv::write_all(fd, sector.data(), sector.size()) && ::fsync(fd) == 0;
    const QString why = ok ? QString() : errno_text();
    ok = ::close(fd) == 0 && ok;
    const QByteArray encoded = QFile::encodeName(file);
    if (!ok) {
        ::unlink(encoded.constData());
        return fail(
            QStringLiteral("cannot write %1: %2").arg(file, why.isEmpty() ? errno_text() : why));
    }

    // Compare bytes only: a sector without a signature is still worth keeping.
    QFile check(file);
    const QByteArray back =
        check.open(QIODevice::ReadOnly) ? check.read(qint64(sector.size()) + 1) : QByteArray();
    if (back.size() != qsizetype(sector.size()) ||
        std::memcmp(back.constData(), sector.data(), sector.size()) != 0) {
        ::unlink(encoded.constData());
        return fail(QStringLiteral("%1 did not read back as written").arg(file));
    }
    int dir_fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);  // make the new name durable too
        ::close(dir_fd);
    }
    if (path) *path = file;
    return 0;
}

int load_sectors_backup(const QString& file, uint64_t expected_bytes, std::vector<uint8_t>* bytes,
                        QString* error) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    constexpr uint64_t max_backup_bytes = 64u << 20;  // a GPT backup is 67 sectors
    if (expected_bytes == 0 || expected_bytes > max_backup_bytes)
        return fail(QStringLiteral("%1: its record names %2 bytes of sectors").arg(file).arg(expected_bytes));
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(file, in.errorString()));
    if (uint64_t(in.size()) != expected_bytes)
        return fail(QStringLiteral("%1 is %2 bytes, its record names %3").arg(file).arg(in.size()).arg(expected_bytes));
    const QByteArray data = in.read(qint64(expected_bytes) + 1);
    if (uint64_t(data.size()) != expected_bytes)
        return fail(QStringLiteral("%1 could not be read whole").arg(file));
    if (bytes) bytes->assign(data.begin(), data.end());
    return 0;
}

int load_sector_backup(const QString& file, sector_bytes_t* sector, QString* error,
                       bool need_signature) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(file, in.errorString()));
    if (in.size() != qint64(mbr_bytes))
        return fail(QStringLiteral("%1 is %2 bytes, not a %3-byte sector")
                        .arg(file)
                        .arg(in.size())
                        .arg(mbr_bytes));
    QByteArray bytes = in.read(qint64(mbr_bytes) + 1);
    if (bytes.size() != qsizetype(mbr_bytes))
        return fail(QStringLiteral("%1 is not a %2-byte sector").arg(file).arg(mbr_bytes));
    if (need_signature && (uint8_t(bytes[mbr_signature_offset]) != 0x55 ||
        uint8_t(bytes[mbr_signature_offset + 1]) != 0xAA))
        return fail(QStringLiteral("%1 does not end in the boot signature 55 AA").arg(file));
    if (sector) std::memcpy(sector->data(), bytes.constData(), mbr_bytes);
    return 0;
}

}  // namespace qv::partition
