// The GPT writer on disks made by sgdisk and sfdisk with file systems made by
// their own mkfs tools: one copy repaired from the other, a new table built
// when both are gone, sgdisk/sfdisk/blkid agreeing afterwards, the saved
// sectors put back byte for byte, and the refusals.

#include <gtest/gtest.h>

#include <filesystem>
#include <zlib.h>

#include <algorithm>

#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "partition/disk_table.hpp"
#include "partition/gpt_plan.hpp"
#include "partition/mbr_writer.hpp"
#include "partition/partition_repair.hpp"
#include "tests/support/test_support.hpp"

using namespace qv::partition;
using qv::test::run;
using qv::test::shell_quote;

namespace {

constexpr uint64_t disk_mib = 640;
constexpr uint64_t disk_sectors = disk_mib * 2048;

struct part_row {
    const char* sgdisk;  // type code
    const char* type;    // the type GUID sgdisk writes for it
    uint64_t mib;
    const char* make;    // run on "p.img"
    const char* blkid;   // TYPE= blkid names
};

const std::vector<part_row>& rows() {
    static const std::vector<part_row> r = {
        {"ef00", gpt_type_efi_system, 32, "mkfs.vfat p.img >/dev/null && mmd -i p.img ::/EFI", "vfat"},
        {"8300", gpt_type_linux_data, 64, "mkfs.ext4 -q p.img", "ext4"},
        {"0700", gpt_type_basic_data, 40, "mkntfs -F -Q -q p.img >/dev/null 2>&1", "ntfs"},
        {"8300", gpt_type_linux_data, 120, "mkfs.btrfs -q p.img", "btrfs"},
        {"8300", gpt_type_linux_data, 300, "mkfs.xfs -q p.img", "xfs"},
        {"8200", gpt_type_linux_swap, 16, "mkswap p.img >/dev/null 2>&1", "swap"},
    };
    return r;
}

std::string env_for(const qv::test::temp_dir& dir) {
    return "XDG_DATA_HOME=" + shell_quote(dir / "data") + " QUORVANE_IMAGES_ONLY=1 ";
}

// The partition lines of `sfdisk -d` without the label-id, uuids and names a rebuild renews.
std::string partition_lines(const std::string& img) {
    std::string out;
    if (run("sfdisk -d " + shell_quote(img) + " 2>/dev/null | grep start= | sed 's/, uuid=.*//; s/^[^:]*://'", &out) != 0)
        return "sfdisk failed";
    return out;
}

std::string blkid_type(const std::string& img, uint64_t first) {
    std::string out;
    run("blkid -p -o value -s TYPE -O " + std::to_string(first * 512) + " " + shell_quote(img), &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

class GptWrite : public testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"sgdisk", "sfdisk", "blkid", "mkfs.vfat", "mmd", "mkfs.ext4", "mkntfs", "mkfs.btrfs",
                                 "mkfs.xfs", "mkswap"})
            if (!qv::test::have_tool(tool)) {
                missing_ = tool;
                return;
            }
        dir_ = new qv::test::temp_dir;
        const std::string d = shell_quote(dir_->path().string());
        std::string cmd = "cd " + d + " && truncate -s " + std::to_string(disk_mib) + "M disk.img && sgdisk";
        int n = 1;
        for (const auto& r : rows()) {
            cmd += " -n" + std::to_string(n) + ":0:+" + std::to_string(r.mib) + "M -t" + std::to_string(n) + ":" + r.sgdisk;
            ++n;
        }
        ASSERT_EQ(run(cmd + " disk.img >/dev/null"), 0);
        uint64_t start = 2048;
        for (const auto& r : rows()) {
            firsts_.push_back(start);
            const std::string make = "cd " + d + " && rm -f p.img && truncate -s " + std::to_string(r.mib) + "M p.img && " +
                                     r.make + " && dd if=p.img of=disk.img bs=1M seek=" + std::to_string(start / 2048) +
                                     " conv=notrunc status=none";
            ASSERT_EQ(run(make), 0) << make;
            start += r.mib * 2048;
        }
        image_ = *dir_ / "disk.img";
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!missing_.empty()) GTEST_SKIP() << missing_ << " is not installed";
        ASSERT_FALSE(image_.empty());
    }
    static std::string copy(const std::string& name) {
        const std::string to = *dir_ / name;
        std::filesystem::copy_file(image_, to, std::filesystem::copy_options::overwrite_existing);
        return to;
    }
    static int zero(const std::string& img, uint64_t lba, uint64_t count) {
        return run("dd if=/dev/zero of=" + shell_quote(img) + " bs=512 seek=" + std::to_string(lba) +
                   " count=" + std::to_string(count) + " conv=notrunc status=none");
    }
    static int cli(const std::string& args, std::string* out) {
        return run(env_for(*dir_) + QUORVANE_CLI " partitions " + args + " 2>&1", out);
    }
    // The newest backup the CLI saved.
    static std::string newest_backup() {
        std::string out;
        run("ls -t " + shell_quote(*dir_ / "data") + "/*/mbr-backups/*.bin | head -1", &out);
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    static inline qv::test::temp_dir* dir_ = nullptr;
    static inline std::string image_;
    static inline std::string missing_;
    static inline std::vector<uint64_t> firsts_;
};

TEST_F(GptWrite, type_guids_read_as_sgdisk_wrote_them) {
    // The constants, turned into on-disk bytes, are what sgdisk put in the entries.
    std::string error;
    auto dev = qv::device_catalog::shared().open(image_, qv::access_mode::read_only, &error);
    ASSERT_TRUE(dev) << error;
    const disk_table t = read_disk_table(*dev);
    ASSERT_EQ(t.partitions.size(), rows().size());
    for (size_t i = 0; i < rows().size(); ++i) {
        guid_bytes g{};
        ASSERT_TRUE(guid_from_text(QLatin1String(rows()[i].type), &g));
        EXPECT_EQ(g, t.partitions[i].type_guid) << rows()[i].type;
        EXPECT_EQ(guid_text(g).toStdString(), rows()[i].type);
    }
    guid_bytes g{};
    for (const char* bad : {"", "C12A7328-F81F-11D2-BA4B-00A0C93EC93", "C12A7328F81F11D2BA4B00A0C93EC93B----",
                            "X12A7328-F81F-11D2-BA4B-00A0C93EC93B"})
        EXPECT_FALSE(guid_from_text(QLatin1String(bad), &g)) << bad;
    // A new GUID is version 4, variant 10, in the mixed byte order.
    const QString fresh = guid_text(new_guid());
    EXPECT_EQ(fresh[14], u'4') << fresh.toStdString();
    EXPECT_TRUE(QStringLiteral("89AB").contains(fresh[19])) << fresh.toStdString();
}

struct damage_row {
    const char* name;
    uint64_t lba;    // sectors zeroed, from the end when negative_from_end
    uint64_t count;
    bool from_end;
    bool rebuild;    // both copies gone: the partitions are renewed, not copied
};

TEST_F(GptWrite, damaged_tables_are_written_back_and_restored) {
    const std::vector<damage_row> damages = {
        {"protective MBR", 0, 1, false, false},
        {"primary header", 1, 1, false, false},
        {"primary header and entries", 1, 33, false, false},
        {"backup header", 1, 1, true, false},
        {"backup header and entries", 33, 33, true, false},
        {"both copies and the entries", 0, 0, false, true},
    };
    const std::string before_lines = partition_lines(image_);
    ASSERT_NE(before_lines.find("start="), std::string::npos) << before_lines;
    for (const damage_row& d : damages) {
        SCOPED_TRACE(d.name);
        const std::string img = copy("damaged.img");
        if (d.rebuild) {
            ASSERT_EQ(zero(img, 0, 34), 0);
            ASSERT_EQ(zero(img, disk_sectors - 33, 33), 0);
        } else {
            ASSERT_EQ(zero(img, d.from_end ? disk_sectors - d.lba : d.lba, d.count), 0);
        }
        const std::vector<uint8_t> damaged = qv::test::read_file(img);

        std::string out;
        ASSERT_EQ(cli("--write-gpt --yes " + shell_quote(img), &out), 0) << out;
        EXPECT_NE(out.find("wrote the GPT"), std::string::npos) << out;
        std::string verify;
        EXPECT_EQ(run("sgdisk -v " + shell_quote(img), &verify), 0);
        EXPECT_NE(verify.find("No problems found"), std::string::npos) << verify;
        EXPECT_EQ(partition_lines(img), before_lines);
        for (size_t i = 0; i < rows().size(); ++i) EXPECT_EQ(blkid_type(img, firsts_[i]), rows()[i].blkid);
        // The ext4 volume checks clean.
        const std::string part = *dir_ / "ext4-part.img";
        ASSERT_EQ(run("dd if=" + shell_quote(img) + " of=" + shell_quote(part) + " bs=1M skip=" +
                      std::to_string(firsts_[1] / 2048) + " count=" + std::to_string(rows()[1].mib) + " status=none"),
                  0);
        std::string fsck;
        EXPECT_EQ(run("e2fsck -fn " + shell_quote(part) + " 2>&1", &fsck), 0) << fsck;
        if (!d.rebuild) {
            // The good copy held everything: the disk is back to what sgdisk made, but for the
            // protective entry's end CHS, which sgdisk computes and the writer sets to FF FF FF.
            std::vector<uint8_t> now = qv::test::read_file(img), made = qv::test::read_file(image_);
            ASSERT_EQ(now.size(), made.size());
            for (size_t at = 446 + 5; at < 446 + 8; ++at) now[at] = made[at] = 0;
            EXPECT_TRUE(now == made);
        }

        const std::string backup = newest_backup();
        ASSERT_FALSE(backup.empty());
        EXPECT_EQ(std::filesystem::file_size(backup), (34 + 33) * 512u);
        ASSERT_EQ(cli("--restore " + shell_quote(backup) + " " + shell_quote(img), &out), 0) << out;
        EXPECT_TRUE(qv::test::read_file(img) == damaged) << "the restore did not give back the earlier bytes";
        // Restored once, the same backup is refused: the sectors are no longer the ones written.
        EXPECT_NE(cli("--restore " + shell_quote(backup) + " " + shell_quote(img), &out), 0) << out;
        EXPECT_TRUE(qv::test::read_file(img) == damaged);
    }
}

// The window's repair takes the GPT road on a disk that was GPT: with both
// headers gone behind a protective MBR it builds a new GPT, never an MBR.
TEST_F(GptWrite, the_windows_repair_writes_a_gpt_on_a_gpt_disk) {
    const std::string img = copy("window.img");
    ASSERT_EQ(zero(img, 1, 1), 0);
    ASSERT_EQ(zero(img, disk_sectors - 1, 1), 0);
    partition_repair_c repair;
    drive_item_s drive;
    drive.name = QString::fromStdString(img);
    drive.size = int64_t(std::filesystem::file_size(img));
    repair.set_drive(drive);
    ASSERT_EQ(repair.search(), 0);
    EXPECT_TRUE(repair.gpt_repair_wanted());
    EXPECT_NE(repair.repair_plan_text().indexOf(QLatin1String("new GPT")), -1) << repair.repair_plan_text().toStdString();
    repair_report report;
    ASSERT_EQ(repair.repair_partition_table(QString::fromStdString(*dir_ / "data"), &report), 0)
        << report.error.toStdString();
    EXPECT_EQ(report.gpt.kind, gpt_plan_kind::rebuild);
    std::string verify;
    EXPECT_EQ(run("sgdisk -v " + shell_quote(img), &verify), 0);
    EXPECT_NE(verify.find("No problems found"), std::string::npos) << verify;
    EXPECT_EQ(partition_lines(img), partition_lines(image_));
}

TEST_F(GptWrite, healthy_gpt_is_left_alone) {
    const std::string img = copy("healthy.img");
    std::string out;
    EXPECT_EQ(cli("--write-gpt --yes " + shell_quote(img), &out), 0) << out;
    EXPECT_NE(out.find("nothing to repair"), std::string::npos) << out;
    EXPECT_TRUE(qv::test::read_file(img) == qv::test::read_file(image_));
}

TEST_F(GptWrite, a_gpt_is_not_written_over_a_valid_mbr_unless_forced) {
    const std::string img = *dir_ / "mbr.img";
    ASSERT_EQ(run("truncate -s 64M " + shell_quote(img) + " && echo 'start=2048, size=32768, type=83' | sfdisk -q " +
                  shell_quote(img) + " && dd if=/dev/zero of=" + shell_quote(img) +
                  " bs=512 seek=2048 count=1 conv=notrunc status=none"),
              0);
    const std::vector<uint8_t> before = qv::test::read_file(img);
    std::string out;
    EXPECT_EQ(cli("--write-gpt --yes " + shell_quote(img), &out), 2) << out;
    EXPECT_NE(out.find("valid MBR"), std::string::npos) << out;
    EXPECT_TRUE(qv::test::read_file(img) == before) << "the disk was written";
}

// Header fields a hostile primary copy carries with a header CRC that matches
// them; the backup is good, so the repair rewrites the primary from it.
struct hostile_row {
    const char* name;
    size_t at;
    uint64_t value;
    int width;  // 4 or 8 bytes
};

TEST_F(GptWrite, hostile_primary_headers_are_replaced_from_the_backup) {
    const std::vector<hostile_row> hostile = {
        {"entry count overflows", 80, 0xFFFFFFFFu, 4},
        {"entry size overflows", 84, 0x80000000u, 4},
        {"entry count times size wraps 32 bits", 80, 0x02000000u, 4},
        {"entries past the disk", 72, disk_sectors + 10, 8},
        {"entries at the last LBA", 72, disk_sectors - 1, 8},
        {"header size lies (larger than a sector)", 12, 0x10000u, 4},
        {"last usable past the disk", 48, ~uint64_t(0), 8},
    };
    for (const hostile_row& h : hostile) {
        SCOPED_TRACE(h.name);
        const std::string img = copy("hostile.img");
        std::vector<uint8_t> bytes = qv::test::read_file(img);
        uint8_t* hdr = bytes.data() + 512;
        for (int i = 0; i < h.width; ++i) hdr[h.at + size_t(i)] = uint8_t(h.value >> (8 * i));
        // The CRC is made to match over the size the header claims (capped at its sector).
        const uint32_t size = std::min<uint32_t>(hdr[12] | hdr[13] << 8 | hdr[14] << 16 | uint32_t(hdr[15]) << 24, 512);
        std::fill_n(hdr + 16, 4, 0);
        const uint32_t crc = uint32_t(crc32(crc32(0L, Z_NULL, 0), hdr, size));
        for (int i = 0; i < 4; ++i) hdr[16 + i] = uint8_t(crc >> (8 * i));
        qv::test::write_file(img, bytes);

        std::string out;
        ASSERT_EQ(cli("--write-gpt --yes " + shell_quote(img), &out), 0) << out;
        EXPECT_NE(out.find("primary damaged"), std::string::npos) << out;
        EXPECT_TRUE(qv::test::read_file(img) == qv::test::read_file(image_));
    }
}

TEST_F(GptWrite, a_plan_refuses_a_good_copy_that_does_not_fit) {
    std::string error;
    auto dev = qv::device_catalog::shared().open(image_, qv::access_mode::read_only, &error);
    ASSERT_TRUE(dev) << error;
    const disk_table read = read_disk_table(*dev);
    struct row {
        const char* name;
        uint32_t count, bytes;
        uint64_t entries_lba;
    };
    for (const row& r : std::vector<row>{{"count overflow", 0xFFFFFFFFu, 128, 2},
                                         {"size overflow", 128, 0xFFFFFFFFu, 2},
                                         {"array past the disk", 128, 128, disk_sectors - 2},
                                         {"array at LBA 0", 128, 128, 0},
                                         {"no entries", 0, 128, 2}}) {
        SCOPED_TRACE(r.name);
        disk_table t = read;
        t.backup.state = gpt_copy_state::damaged;  // the primary, claimed good, is the source
        t.primary.entry_count = r.count;
        t.primary.entry_bytes = r.bytes;
        t.primary.entries_lba = r.entries_lba;
        gpt_plan plan;
        QString why;
        EXPECT_EQ(plan_gpt_repair(*dev, t, QString::fromStdString(image_), &plan, &why), -1);
        EXPECT_FALSE(why.isEmpty());
        EXPECT_EQ(plan.kind, gpt_plan_kind::none);
    }
    // Nothing to repair from, and nothing to repair.
    disk_table both_gone = read;
    both_gone.primary.state = both_gone.backup.state = gpt_copy_state::damaged;
    gpt_plan plan;
    QString why;
    EXPECT_EQ(plan_gpt_repair(*dev, both_gone, QString::fromStdString(image_), &plan, &why), -1);
    EXPECT_EQ(plan_gpt_repair(*dev, read, QString::fromStdString(image_), &plan, &why), -1);
    EXPECT_EQ(plan_gpt_rebuild(*dev, {}, QString::fromStdString(image_), &plan, &why), -1);
}

}  // namespace
