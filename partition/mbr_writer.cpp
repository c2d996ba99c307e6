#include "partition/mbr_writer.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "devices/device_catalog.hpp"
#include "partition/mbr_undo.hpp"

namespace qv::partition {
namespace {

// Holds a block device open with O_EXCL while its first sector is rewritten:
// the kernel refuses that while any of its partitions is mounted or claimed.
class exclusive_claim {
public:
    ~exclusive_claim() {
        if (fd_ >= 0) ::close(fd_);
    }
    // 0 for a regular file (nothing to claim) or a claimed block device; -1 otherwise.
    int claim(const QString& path, QString* error) {
        struct stat st {};
        const QByteArray encoded = QFile::encodeName(path);
        if (::stat(encoded.constData(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
        fd_ = ::open(encoded.constData(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (fd_ >= 0) return 0;
        // A user without the right to open it gets write access from udisks2,
        // which opens it exclusively itself and refuses while it is in use.
        if (errno == EACCES || errno == EPERM) return 0;
        *error = errno == EBUSY ? QStringLiteral("%1 is in use (a partition is mounted?)").arg(path)
                                : QStringLiteral("%1: %2").arg(
                                      path, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    // Asks the kernel to read the new table; harmless where it cannot.
    void reread_table() {
        if (fd_ >= 0) ::ioctl(fd_, BLKRRPART);
    }

private:
    int fd_ = -1;
};

}  // namespace

int replace_sectors(const QString& drive_path, const std::vector<sector_range>& ranges,
                    const std::vector<uint8_t>* expected, const std::vector<uint8_t>& bytes,
                    const QString& backup_dir, const QString& backup_prefix, repair_report* report,
                    const sector_check& check) {
    report->drive = drive_path;
    auto fail = [&](const QString& text) {
        report->error = text;
        return -1;
    };
    const uint64_t total = ranges_bytes(ranges);
    if (total == 0 || total != bytes.size() || (expected && expected->size() != bytes.size()))
        return fail(QStringLiteral("the sectors to write do not match their ranges; nothing written"));
    const bool first_only = ranges.size() == 1 && ranges[0].lba == 0 && ranges[0].count == 1;
    const QString what = first_only ? QStringLiteral("first sector") : QStringLiteral("sectors to replace");
    exclusive_claim claim;
    QString claim_error;
    if (claim.claim(drive_path, &claim_error) != 0) return fail(claim_error);

    std::string open_error;
    std::unique_ptr<device_handle> dev = device_catalog::shared().open(
        drive_path.toStdString(), access_mode::read_write, &open_error);
    if (!dev)
        return fail(QStringLiteral("cannot open %1 for writing: %2")
                        .arg(drive_path, QString::fromStdString(open_error)));
    const uint64_t drive_sectors = dev->length() / mbr_bytes;
    for (const sector_range& r : ranges)
        if (r.lba >= drive_sectors || r.count > drive_sectors - r.lba)
            return fail(QStringLiteral("sectors %1-%2 lie past the end of %3; nothing written")
                            .arg(r.lba).arg(r.lba + r.count - 1).arg(drive_path));

    auto read_ranges = [&](std::vector<uint8_t>* out) {
        out->assign(bytes.size(), 0);
        size_t at = 0;
        for (const sector_range& r : ranges) {
            if (!dev->read_exact(r.lba * mbr_bytes, out->data() + at, r.count * mbr_bytes)) return false;
            at += r.count * mbr_bytes;
        }
        return true;
    };
    std::vector<uint8_t> current;
    if (!read_ranges(&current)) return fail(QStringLiteral("cannot read the %1 of %2").arg(what, drive_path));
    if (expected && current != *expected)
        return fail(QStringLiteral("the %1 of %2 changed since the plan was made; nothing written").arg(what, drive_path));
    const drive_identity identity = identify_drive(drive_path, drive_sectors);
    if (check) {
        const QString refusal = check(identity, current);
        if (!refusal.isEmpty()) return fail(refusal);
    }

    QString backup_error;
    if (save_sectors_backup(backup_dir, drive_path, backup_prefix, current, &report->backup_path, &backup_error) != 0)
        return fail(QStringLiteral("nothing written: the current %1 could not be saved (%2)").arg(what, backup_error));
    undo_record undo;
    undo.drive = identity;
    undo.time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    undo.written_sha256 = bytes_sha256(bytes);
    if (!first_only) undo.ranges = ranges;
    if (save_undo_record(report->backup_path, undo, &backup_error) != 0) {
        QFile::remove(report->backup_path);
        report->backup_path.clear();
        return fail(QStringLiteral("nothing written: the undo record could not be saved (%1)")
                        .arg(backup_error));
    }

    size_t at = 0;
    for (const sector_range& r : ranges) {
        const size_t len = r.count * mbr_bytes;
        if (dev->write_at(r.lba * mbr_bytes, bytes.data() + at, len) != int64_t(len))
            return fail(QStringLiteral("writing the %1 of %2 failed; the old sectors are in %3")
                            .arg(what, drive_path, report->backup_path));
        at += len;
    }
    if (dev->sync() != 0)
        return fail(QStringLiteral("flushing %1 failed; the old sectors are in %2").arg(drive_path, report->backup_path));
    std::vector<uint8_t> back;
    if (!read_ranges(&back) || back != bytes)
        return fail(QStringLiteral("the %1 of %2 did not read back as written; the old sectors are in %3")
                        .arg(what, drive_path, report->backup_path));
    dev.reset();
    claim.reread_table();
    report->written = true;
    return 0;
}

namespace {

int replace_first_sector(const QString& drive_path, const sector_bytes_t* expected,
                         const sector_bytes_t& sector, const QString& backup_dir,
                         repair_report* report, const sector_check& check = {}) {
    const std::vector<uint8_t> bytes(sector.begin(), sector.end());
    std::vector<uint8_t> expected_bytes;
    if (expected) expected_bytes.assign(expected->begin(), expected->end());
    return replace_sectors(drive_path, {sector_range{0, 1}}, expected ? &expected_bytes : nullptr, bytes,
                           backup_dir, QStringLiteral("mbr"), report, check);
}

}  // namespace

QString mbr_write_refusal(const disk_table& table, const QString& drive_path) {
    if (!table.gpt_good()) return {};
    return QStringLiteral("%1 has a valid GPT (%2); an MBR written over its protective MBR would hide "
                          "its partitions. Nothing written; --force writes it anyway")
        .arg(drive_path, describe_table(table));
}

int plan_partition_repair(const drive_item_s& drive, const QList<partition_item_s>& found,
                          mbr_plan* plan, QString* error, bool force) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    if (drive.name.isEmpty()) return fail(QStringLiteral("no drive is chosen"));
    std::string open_error;
    std::unique_ptr<device_handle> dev = device_catalog::shared().open(
        drive.name.toStdString(), access_mode::read_only, &open_error);
    if (!dev)
        return fail(QStringLiteral("cannot open %1: %2")
                        .arg(drive.name, QString::fromStdString(open_error)));
    sector_bytes_t first{};
    if (!dev->read_exact(0, first.data(), first.size()))
        return fail(QStringLiteral("cannot read the first sector of %1").arg(drive.name));

    const disk_table table = read_disk_table(*dev);
    if (!force) {
        const QString refusal = mbr_write_refusal(table, drive.name);
        if (!refusal.isEmpty()) return fail(refusal);
    }

    mbr_plan out;
    out.drive = drive.name;
    const disk_geometry geometry = drive.geometry.value_or(disk_geometry{});
    // An MBR forced over a valid GPT gets no chain of records in the space between
    // the GPT's partitions: four primaries, as asked.
    if (plan_partition_table(first, found, geometry, dev->length() / mbr_bytes, &out, error,
                             !table.gpt_good()) != 0)
        return -1;
    for (ebr_plan& r : out.ebrs)
        if (!dev->read_exact(r.lba * mbr_bytes, r.old_sector.data(), r.old_sector.size()))
            return fail(QStringLiteral("cannot read sector %1 of %2, where a logical partition's boot record goes")
                            .arg(r.lba)
                            .arg(drive.name));
    if (plan) *plan = out;
    return 0;
}

int apply_partition_plan(const mbr_plan& plan, const QString& backup_dir, repair_report* report) {
    repair_report local;
    repair_report* r = report ? report : &local;
    r->plan = plan;
    if (plan.drive.isEmpty()) {
        r->error = QStringLiteral("the plan names no drive");
        return -1;
    }
    if (plan.ebrs.empty()) return replace_first_sector(plan.drive, &plan.old_sector, plan.new_sector, backup_dir, r);
    // Sector 0 and every record of the chain, saved and written as one change.
    std::vector<sector_range> ranges{sector_range{0, 1}};
    std::vector<uint8_t> old_bytes(plan.old_sector.begin(), plan.old_sector.end());
    std::vector<uint8_t> new_bytes(plan.new_sector.begin(), plan.new_sector.end());
    for (const ebr_plan& e : plan.ebrs) {
        ranges.push_back(sector_range{e.lba, 1});
        old_bytes.insert(old_bytes.end(), e.old_sector.begin(), e.old_sector.end());
        new_bytes.insert(new_bytes.end(), e.new_sector.begin(), e.new_sector.end());
    }
    return replace_sectors(plan.drive, ranges, &old_bytes, new_bytes, backup_dir, QStringLiteral("mbr"), r);
}

int apply_gpt_plan(const gpt_plan& plan, const QString& backup_dir, repair_report* report) {
    repair_report local;
    repair_report* r = report ? report : &local;
    r->drive = plan.drive;
    if (plan.drive.isEmpty() || plan.kind == gpt_plan_kind::none || plan.saved.empty()) {
        r->error = QStringLiteral("the plan writes nothing");
        return -1;
    }
    return replace_sectors(plan.drive, plan.saved, &plan.old_bytes, plan.new_bytes, backup_dir, QStringLiteral("gpt"), r);
}

int restore_partition_table(const QString& drive_path, const QString& backup_file,
                            const QString& backup_dir, repair_report* report, bool force) {
    repair_report local;
    repair_report* r = report ? report : &local;
    r->drive = drive_path;
    QString record_error;
    const std::optional<undo_record> undo = load_undo_record(backup_file, &record_error);
    if (undo && undo->written_sha256.isEmpty() && !force) {
        r->error = QStringLiteral("nothing written: %1; --force restores anyway").arg(record_error);
        return -1;
    }
    sector_check check;
    if (undo && !undo->written_sha256.isEmpty() && !force) {
        const undo_record record = *undo;
        check = [record](const drive_identity& identity, std::span<const uint8_t> current) {
            const QString why = undo_refusal(record, identity, current);
            return why.isEmpty() ? why : QStringLiteral("nothing written: %1; --force restores anyway").arg(why);
        };
    }
    // A backup of several sectors says in its record where they go.
    if (undo && !undo->ranges.empty()) {
        std::vector<uint8_t> saved;
        if (load_sectors_backup(backup_file, ranges_bytes(undo->ranges), &saved, &r->error) != 0) return -1;
        return replace_sectors(drive_path, undo->ranges, nullptr, saved, backup_dir, QStringLiteral("restore"), r,
                               check);
    }
    // A backup with its undo record is put back whatever it holds (a wiped,
    // all-zero sector included); an older one only when it is a boot sector.
    const bool need_signature = !undo && !force;
    sector_bytes_t saved{};
    if (load_sector_backup(backup_file, &saved, &r->error, need_signature) != 0) {
        if (need_signature) r->error += QStringLiteral(" (it has no undo record; --force restores it anyway)");
        return -1;
    }
    return replace_first_sector(drive_path, nullptr, saved, backup_dir, r, check);
}

}  // namespace qv::partition
