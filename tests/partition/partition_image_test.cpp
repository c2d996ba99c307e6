// The search thread and the repair on disk images made by sfdisk, mkfs.fat
// and mkntfs: exact finds after the table is wiped, the table the repair
// writes as sfdisk reads it, backups, restore, stop and failure paths.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QRegularExpression>
#include <QString>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "partition/mbr_loader.hpp"
#include "partition/mbr_writer.hpp"
#include "partition/partition_repair.hpp"
#include "tests/partition/boot_images.hpp"
#include "tests/support/test_support.hpp"

using namespace qv::partition;
using qv::test::read_file;
using qv::test::run;
using qv::test::shell_quote;

namespace {

struct layout_row {
    const char* fs;
    uint64_t start, sectors;
    const char* sfdisk_type;
};

// Four partitions, alternating FAT32 and NTFS, on a 128 MiB disk.
const layout_row layout[] = {{"FAT32", 2048, 81920, "c"},
                             {"NTFS", 83968, 32768, "7"},
                             {"FAT32", 116736, 81920, "c"},
                             {"NTFS", 198656, 32768, "7"}};
constexpr uint64_t disk_sectors = 262144;

bool have_image_tools(std::string* missing) {
    for (const char* tool : {"sfdisk", "mkfs.fat", "mkntfs", "dd", "truncate"})
        if (!qv::test::have_tool(tool)) {
            *missing = tool;
            return false;
        }
    return true;
}

std::vector<uint8_t> first_sector(const std::string& image) {
    std::vector<uint8_t> bytes(512);
    std::ifstream in(image, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), 512);
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

void run_ok(const std::string& command) {
    std::string out;
    ASSERT_EQ(run(command, &out), 0) << command << "\n" << out;
}

// Builds the partitioned disk image; FAT32 volumes get a Windows OEM name
// unless mkfs_names, when they keep the one mkfs.fat writes ("mkfs.fat").
void make_disk(const qv::test::temp_dir& dir, const std::string& image, bool mkfs_names = false) {
    run_ok("truncate -s " + std::to_string(disk_sectors * 512) + " " + shell_quote(image));
    std::string script = "label: dos\nlabel-id: 0x1badcafe\n";
    for (const auto& p : layout)
        script += "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.sectors) +
                  ", type=" + p.sfdisk_type + "\n";
    run_ok("printf '%s' " + shell_quote(script) + " | sfdisk -q " + shell_quote(image));
    for (const auto& p : layout) {
        const std::string part = dir / "part.img";
        std::filesystem::remove(part);
        run_ok("truncate -s " + std::to_string(p.sectors * 512) + " " + shell_quote(part));
        if (std::string(p.fs) == "FAT32") {
            run_ok("mkfs.fat -F 32 -s 1 -h " + std::to_string(p.start) + " " + shell_quote(part));
            if (!mkfs_names)
                run_ok("printf 'MSWIN4.1' | dd of=" + shell_quote(part) +
                       " bs=1 seek=3 conv=notrunc status=none");
        } else {
            run_ok("mkntfs -F -Q -q -p " + std::to_string(p.start) + " -H 255 -S 63 " +
                   shell_quote(part));
        }
        run_ok("dd if=" + shell_quote(part) + " of=" + shell_quote(image) +
               " bs=512 seek=" + std::to_string(p.start) + " conv=notrunc,sparse status=none");
    }
}

void wipe_first_sector(const std::string& image) {
    run_ok("dd if=/dev/zero of=" + shell_quote(image) + " bs=512 count=1 conv=notrunc status=none");
}

drive_item_s drive_of(const std::string& image) {
    drive_item_s d;
    d.name = QString::fromStdString(image);
    d.size = int64_t(std::filesystem::file_size(image));
    d.geometry = qv::disk_geometry{};
    return d;
}

struct sfdisk_entry {
    uint64_t start = 0, size = 0;
    std::string type;
    bool bootable = false;
};

std::vector<sfdisk_entry> sfdisk_dump(const std::string& image) {
    std::string out;
    EXPECT_EQ(run("sfdisk -d " + shell_quote(image), &out), 0) << out;
    std::vector<sfdisk_entry> entries;
    static const QRegularExpression line(
        QStringLiteral(R"(start=\s*(\d+),\s*size=\s*(\d+),\s*type=(\w+)(,\s*bootable)?)"));
    auto it = line.globalMatch(QString::fromStdString(out));
    while (it.hasNext()) {
        auto m = it.next();
        entries.push_back({m.captured(1).toULongLong(), m.captured(2).toULongLong(),
                           m.captured(3).toStdString(), !m.captured(4).isEmpty()});
    }
    return entries;
}

// Runs a search on its own thread and counts partition_found() as it is emitted.
struct searched {
    QList<partition_item_s> partitions;
    int signals_seen = 0;
    double progress = 0;
    int result = 0;
};

searched search_thread(partition_repair_c& repair, const drive_item_s& drive) {
    std::atomic<int> seen{0};
    auto connection =
        QObject::connect(&repair, &partition_repair_c::partition_found, [&] { ++seen; });
    repair.start_search(drive);
    repair.wait();
    QObject::disconnect(connection);
    return {repair.partitions(), seen.load(), repair.progress(), repair.last_result()};
}

class PartitionImages : public testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (!have_image_tools(&missing)) GTEST_SKIP() << missing << " is not installed";
        image = dir / "disk.img";
        make_disk(dir, image);
        original = first_sector(image);
    }

    qv::test::temp_dir dir;
    std::string image;
    std::vector<uint8_t> original;
};

}  // namespace

TEST_F(PartitionImages, WipedTableIsFoundAgainAndRepaired) {
    wipe_first_sector(image);
    partition_repair_c repair;
    searched s = search_thread(repair, drive_of(image));
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.progress, 1.0);
    ASSERT_EQ(s.partitions.size(), 4);
    EXPECT_EQ(s.signals_seen, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.partitions[i].fs_name.toStdString(), layout[i].fs) << i;
        EXPECT_EQ(s.partitions[i].partition_type, std::string(layout[i].fs) == "NTFS" ? 7 : 12);
        EXPECT_EQ(s.partitions[i].start_sector, layout[i].start) << i;
        EXPECT_EQ(s.partitions[i].end_sector, layout[i].start + layout[i].sectors - 1) << i;
    }

    mbr_plan plan;
    QString error;
    ASSERT_EQ(repair.plan_repair(&plan, &error), 0) << error.toStdString();
    EXPECT_EQ(first_sector(image), std::vector<uint8_t>(512, 0)) << "planning must not write";

    repair_report report;
    ASSERT_EQ(repair.repair_partition_table(QString::fromStdString(dir / "backups"), &report), 0)
        << report.error.toStdString();
    EXPECT_TRUE(report.written);
    EXPECT_EQ(repair.last_repair().backup_path, report.backup_path);

    std::vector<sfdisk_entry> table = sfdisk_dump(image);
    ASSERT_EQ(table.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(table[i].start, layout[i].start) << i;
        EXPECT_EQ(table[i].size, layout[i].sectors) << i;
        EXPECT_EQ(table[i].type, layout[i].sfdisk_type) << i;
        EXPECT_EQ(table[i].bootable, i == 0) << i;
    }
    const std::vector<uint8_t> written = first_sector(image);
    EXPECT_EQ(std::memcmp(written.data(), mbr_loader_code.data(), 440), 0);
    EXPECT_EQ(std::vector<uint8_t>(plan.new_sector.begin(), plan.new_sector.end()), written);

    // The backup holds the sector that was replaced: here the wiped one.
    ASSERT_FALSE(report.backup_path.isEmpty());
    EXPECT_EQ(read_file(report.backup_path.toStdString()), std::vector<uint8_t>(512, 0));
    EXPECT_TRUE(QString(QFileInfo(report.backup_path).fileName()).startsWith("mbr-disk.img-"));
}

// Volumes formatted on Linux, by cameras or by phones carry their own OEM
// names; their parameter blocks are what tells them apart from other data.
TEST(PartitionImagesFromLinux, FatVolumesMadeByMkfsAreFound) {
    std::string missing;
    if (!have_image_tools(&missing)) GTEST_SKIP() << missing << " is not installed";
    qv::test::temp_dir dir;
    const std::string image = dir / "linux.img";
    make_disk(dir, image, true);
    wipe_first_sector(image);
    partition_repair_c repair;
    searched s = search_thread(repair, drive_of(image));
    ASSERT_EQ(s.partitions.size(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.partitions[i].fs_name.toStdString(), layout[i].fs) << i;
        EXPECT_EQ(s.partitions[i].start_sector, layout[i].start) << i;
        EXPECT_EQ(s.partitions[i].end_sector, layout[i].start + layout[i].sectors - 1) << i;
    }
}

TEST_F(PartitionImages, RepairBacksUpAndRestorePutsTheOldSectorBack) {
    partition_repair_c repair;
    searched s = search_thread(repair, drive_of(image));
    ASSERT_EQ(s.partitions.size(), 4);
    const QString backups = QString::fromStdString(dir / "backups");
    repair_report report;
    ASSERT_EQ(repair.repair_partition_table(backups, &report), 0) << report.error.toStdString();
    const std::vector<uint8_t> repaired = first_sector(image);
    EXPECT_NE(repaired, original);
    EXPECT_EQ(std::memcmp(repaired.data() + 440, original.data() + 440, 4), 0)
        << "disk signature kept";
    EXPECT_EQ(read_file(report.backup_path.toStdString()), original);

    repair_report restored;
    ASSERT_EQ(restore_partition_table(QString::fromStdString(image), report.backup_path, backups,
                                      &restored),
              0)
        << restored.error.toStdString();
    EXPECT_EQ(first_sector(image), original);
    // Restoring saved the repaired sector first, under a new name.
    EXPECT_NE(restored.backup_path, report.backup_path);
    EXPECT_EQ(read_file(restored.backup_path.toStdString()), repaired);
}

TEST_F(PartitionImages, NoBackupMeansNoWrite) {
    wipe_first_sector(image);
    partition_repair_c repair;
    ASSERT_EQ(search_thread(repair, drive_of(image)).partitions.size(), 4);
    const std::vector<uint8_t> before = read_file(image);
    // A folder below a regular file cannot be created, even by root.
    qv::test::write_file(dir / "blocker", {1, 2, 3});
    const QString unusable = QString::fromStdString((dir / "blocker") + "/backups");

    repair_report report;
    EXPECT_EQ(repair.repair_partition_table(unusable, &report), -1);
    EXPECT_FALSE(report.written);
    EXPECT_TRUE(report.backup_path.isEmpty());
    EXPECT_FALSE(report.error.isEmpty());
    EXPECT_EQ(read_file(image), before);

    const std::string saved = dir / "saved.bin";
    qv::test::write_file(saved, original);
    EXPECT_EQ(restore_partition_table(QString::fromStdString(image), QString::fromStdString(saved),
                                      unusable, &report),
              -1);
    EXPECT_EQ(read_file(image), before);
}

TEST_F(PartitionImages, PlanIsRefusedWhenTheSectorChangedMeanwhile) {
    partition_repair_c repair;
    ASSERT_EQ(search_thread(repair, drive_of(image)).partitions.size(), 4);
    mbr_plan plan;
    QString error;
    ASSERT_EQ(repair.plan_repair(&plan, &error), 0);
    run_ok("printf 'X' | dd of=" + shell_quote(image) + " bs=1 seek=440 conv=notrunc status=none");
    const std::vector<uint8_t> changed = first_sector(image);
    repair_report report;
    EXPECT_EQ(apply_partition_plan(plan, QString::fromStdString(dir / "backups"), &report), -1);
    EXPECT_EQ(first_sector(image), changed);
    EXPECT_FALSE(std::filesystem::exists(dir / "backups") &&
                 !std::filesystem::is_empty(dir / "backups"));
}

struct restore_row {
    const char* name;
    std::vector<uint8_t> content;
};

class RestoreValidation : public testing::TestWithParam<restore_row> {};

TEST_P(RestoreValidation, BadBackupLeavesTheDriveAlone) {
    qv::test::temp_dir dir;
    const std::string image = dir / "disk.img";
    std::vector<uint8_t> disk(64 * 1024, 0x11);
    qv::test::write_file(image, disk);
    const std::string backup = dir / "backup.bin";
    qv::test::write_file(backup, GetParam().content);
    repair_report report;
    EXPECT_EQ(restore_partition_table(QString::fromStdString(image), QString::fromStdString(backup),
                                      QString::fromStdString(dir / "backups"), &report),
              -1);
    EXPECT_FALSE(report.error.isEmpty());
    EXPECT_EQ(read_file(image), disk);
}

static std::vector<uint8_t> signed_sector(size_t size) {
    std::vector<uint8_t> s(size, 0x22);
    if (size >= 512) {
        s[510] = 0x55;
        s[511] = 0xAA;
    }
    return s;
}

INSTANTIATE_TEST_SUITE_P(Rows, RestoreValidation,
                         testing::Values(restore_row{"empty", {}},
                                         restore_row{"short", signed_sector(511)},
                                         restore_row{"long", signed_sector(513)},
                                         restore_row{"no_signature", std::vector<uint8_t>(512, 0)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PartitionRepairThread, StopEndsAHugeSearchAndARestartSearchesAfresh) {
    qv::test::temp_dir dir;
    const std::string huge = dir / "huge.img";
    {
        // 64 GiB, sparse: far longer to read than the test waits.
        std::vector<uint8_t> head(200 * 512);
        qv::test::put_ntfs_boot(head, 100, 50);
        qv::test::write_file(huge, head);
        std::filesystem::resize_file(huge, uint64_t(64) << 30);
    }
    partition_repair_c repair;
    repair.start_search(drive_of(huge));
    while (repair.partition_count() == 0 && repair.isRunning()) std::this_thread::yield();
    ASSERT_TRUE(repair.isRunning());

    // A repair is refused while the search runs, and writes nothing.
    const std::vector<uint8_t> before = first_sector(huge);
    repair_report report;
    EXPECT_EQ(repair.repair_partition_table(QString::fromStdString(dir / "backups"), &report), -1);
    EXPECT_EQ(first_sector(huge), before);

    repair.request_stop();  // returns at once; the thread ends on its own
    repair.wait();
    EXPECT_EQ(repair.last_result(), 1);
    EXPECT_LT(repair.progress(), 1.0);
    ASSERT_EQ(repair.partition_count(), 1);
    EXPECT_EQ(repair.partitions()[0].start_sector, 100u);

    // A plain start() after a stop, as the page restarts, searches from the start.
    const std::string small = dir / "small.img";
    std::vector<uint8_t> bytes(1024 * 512);
    qv::test::put_fat32_boot(bytes, 300, 20);
    qv::test::write_file(small, bytes);
    repair.set_drive(drive_of(small));
    repair.start();
    repair.wait();
    EXPECT_EQ(repair.last_result(), 0);
    EXPECT_EQ(repair.progress(), 1.0);
    ASSERT_EQ(repair.partition_count(), 1);
    EXPECT_EQ(repair.partitions()[0].fs_name, "FAT32");
}

TEST(PartitionRepairThread, UnopenableDriveFindsNothing) {
    partition_repair_c repair;
    drive_item_s missing;
    missing.name = "/nonexistent/quorvane/disk.img";
    missing.size = 1 << 20;
    searched s = search_thread(repair, missing);
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.progress, 0.0);
    EXPECT_TRUE(s.partitions.isEmpty());
    EXPECT_EQ(s.signals_seen, 0);
    EXPECT_FALSE(repair.last_error().isEmpty());
    EXPECT_EQ(repair.repair_partition_table(), -1);  // nothing found, nothing to write
}

TEST(MbrBackup, DefaultFolderIsInTheUsersDataDirectory) {
    qv::test::temp_dir dir;
    const QByteArray old = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path().string()));
    const QString folder = default_backup_dir();
    if (old.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", old);
    EXPECT_TRUE(folder.startsWith(QString::fromStdString(dir.path().string()) + "/"))
        << folder.toStdString();
    EXPECT_TRUE(folder.endsWith("/mbr-backups")) << folder.toStdString();
}
