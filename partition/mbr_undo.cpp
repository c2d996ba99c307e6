#include "partition/mbr_undo.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "devices/fd_write.hpp"
#include "devices/sysfs.hpp"

namespace qv::partition {
namespace {

// Largest undo record read back; a real one is a few hundred bytes.
constexpr qint64 max_record_bytes = 64 * 1024;

QString trimmed(const std::string& s) { return QString::fromStdString(s).trimmed(); }

// One "E:KEY=value" property of the udev database entry of a block device.
QString udev_property(dev_t devno, const std::string& key) {
    std::ifstream in("/run/udev/data/b" + std::to_string(major(devno)) + ":" + std::to_string(minor(devno)));
    std::string line;
    const std::string prefix = "E:" + key + "=";
    for (int lines = 0; lines < 4096 && std::getline(in, line); ++lines)
        if (line.rfind(prefix, 0) == 0) return trimmed(line.substr(prefix.size()));
    return {};
}

}  // namespace

drive_identity identify_drive(const QString& path, uint64_t sector_count) {
    drive_identity id;
    id.path = path;
    id.sectors = sector_count;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISBLK(st.st_mode)) return id;
    const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                            std::to_string(minor(st.st_rdev)) + "/device/";
    id.model = trimmed(sysfs::read_line(sys + "model"));
    id.serial = udev_property(st.st_rdev, "ID_SERIAL_SHORT");
    if (id.serial.isEmpty()) id.serial = trimmed(sysfs::read_line(sys + "serial"));
    if (id.model.isEmpty()) id.model = udev_property(st.st_rdev, "ID_MODEL");
    return id;
}

QString undo_record_path(const QString& backup_file) { return backup_file + QStringLiteral(".json"); }

QString sector_sha256(const sector_bytes_t& sector) { return bytes_sha256(sector); }

QString bytes_sha256(std::span<const uint8_t> bytes) {
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex());
}

std::vector<sector_range> record_ranges(const undo_record& record) {
    if (!record.ranges.empty()) return record.ranges;
    return {sector_range{0, 1}};
}

uint64_t ranges_bytes(const std::vector<sector_range>& ranges) {
    uint64_t total = 0;
    for (const sector_range& r : ranges) {
        if (r.count == 0 || r.count > (uint64_t(1) << 40) || total > (uint64_t(1) << 50)) return 0;
        total += r.count * mbr_bytes;
    }
    return total;
}

int save_undo_record(const QString& backup_file, const undo_record& record, QString* error) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    QJsonObject o;
    o["drive"] = record.drive.path;
    o["sectors"] = QString::number(record.drive.sectors);  // exact beyond 2^53
    if (!record.drive.model.isEmpty()) o["model"] = record.drive.model;
    if (!record.drive.serial.isEmpty()) o["serial"] = record.drive.serial;
    o["time"] = record.time;
    o["written_sha256"] = record.written_sha256;
    if (!record.ranges.empty()) {
        QJsonArray ranges;
        for (const sector_range& r : record.ranges)
            ranges.append(QJsonObject{{"lba", QString::number(r.lba)}, {"count", QString::number(r.count)}});
        o["ranges"] = ranges;
    }
    const QByteArray text = QJsonDocument(o).toJson(QJsonDocument::Indented);

    const QString final_path = undo_record_path(backup_file);
    const QByteArray temp = QFile::encodeName(final_path + QStringLiteral(".tmp"));
    int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return fail(QStringLiteral("cannot create %1: %2").arg(final_path, QString::fromLocal8Bit(std::strerror(errno))));
    bool ok = qv::write_all(fd, text.constData(), size_t(text.size())) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.constData(), QFile::encodeName(final_path).constData()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        ::unlink(temp.constData());
        return fail(QStringLiteral("cannot write %1: %2").arg(final_path, why));
    }
    int dir_fd = ::open(QFile::encodeName(QFileInfo(final_path).path()).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return 0;
}

std::optional<undo_record> load_undo_record(const QString& backup_file, QString* error) {
    const QString path = undo_record_path(backup_file);
    QFile in(path);
    if (!in.exists()) return std::nullopt;
    undo_record r;
    auto damaged = [&](const QString& why) {
        if (error) *error = QStringLiteral("%1: %2").arg(path, why);
        r.written_sha256.clear();
        return r;
    };
    if (!in.open(QIODevice::ReadOnly)) return damaged(in.errorString());
    if (in.size() > max_record_bytes) return damaged(QStringLiteral("too large for an undo record"));
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(in.read(max_record_bytes), &parse);
    if (!doc.isObject()) return damaged(QStringLiteral("not an undo record (%1)").arg(parse.errorString()));
    const QJsonObject o = doc.object();
    bool sectors_ok = false;
    r.drive.path = o.value("drive").toString();
    r.drive.sectors = o.value("sectors").toString().toULongLong(&sectors_ok);
    r.drive.model = o.value("model").toString();
    r.drive.serial = o.value("serial").toString();
    r.time = o.value("time").toString();
    r.written_sha256 = o.value("written_sha256").toString().toLower();
    if (!sectors_ok || r.written_sha256.size() != 64)
        return damaged(QStringLiteral("the drive size or the written sector's checksum is missing"));
    constexpr qsizetype max_ranges = 16;
    const QJsonArray ranges = o.value("ranges").toArray();
    if (ranges.size() > max_ranges) return damaged(QStringLiteral("too many sector ranges"));
    for (const QJsonValue& v : ranges) {
        bool lba_ok = false, count_ok = false;
        sector_range range;
        range.lba = v.toObject().value("lba").toString().toULongLong(&lba_ok);
        range.count = v.toObject().value("count").toString().toULongLong(&count_ok);
        if (!lba_ok || !count_ok || range.count == 0 || range.lba >= r.drive.sectors ||
            range.count > r.drive.sectors - range.lba)
            return damaged(QStringLiteral("a sector range lies outside the drive"));
        r.ranges.push_back(range);
    }
    if (!r.ranges.empty() && ranges_bytes(r.ranges) == 0) return damaged(QStringLiteral("sector ranges too large"));
    return r;
}

QString undo_refusal(const undo_record& record, const drive_identity& current,
                     const sector_bytes_t& first) {
    return undo_refusal(record, current, std::span<const uint8_t>(first));
}

QString undo_refusal(const undo_record& record, const drive_identity& current,
                     std::span<const uint8_t> current_bytes) {
    const drive_identity& saved = record.drive;
    if (saved.sectors != current.sectors)
        return QStringLiteral("%1 has %2 sectors, the drive this backup came from had %3")
            .arg(current.path)
            .arg(current.sectors)
            .arg(saved.sectors);
    if (!saved.model.isEmpty() && !current.model.isEmpty() && saved.model != current.model)
        return QStringLiteral("%1 is a \"%2\", the backup came from a \"%3\"")
            .arg(current.path, current.model, saved.model);
    if (!saved.serial.isEmpty() && !current.serial.isEmpty() && saved.serial != current.serial)
        return QStringLiteral("%1 has serial number %2, the backup came from serial number %3")
            .arg(current.path, current.serial, saved.serial);
    // Without serial numbers on both sides only the path can tell drives of one size apart.
    if ((saved.serial.isEmpty() || current.serial.isEmpty()) && saved.path != current.path)
        return QStringLiteral("the backup came from %1, not from %2").arg(saved.path, current.path);
    if (bytes_sha256(current_bytes) != record.written_sha256)
        return QStringLiteral("the %1 of %2 changed since %3 (they are no longer the sectors written then)")
            .arg(record.ranges.empty() ? QStringLiteral("first sector") : QStringLiteral("saved sectors"), current.path,
                 record.time.isEmpty() ? QStringLiteral("the change") : record.time);
    return {};
}

}  // namespace qv::partition
