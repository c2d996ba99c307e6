// A GPT disk made by sgdisk with a partition of every kind the search knows,
// each made by its own mkfs tool: what the search reports with the table
// intact, with one GPT copy gone, and with the table wiped; and the refusal
// to write an MBR over a valid GPT.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "devices/device_handle.hpp"
#include "partition/disk_table.hpp"
#include "partition/partition_repair.hpp"
#include "partition/partition_search.hpp"
#include "tests/support/test_support.hpp"

using namespace qv::partition;
using qv::test::run;
using qv::test::shell_quote;

namespace {

struct part_row {
    const char* kind;      // what the search must call it
    const char* sgdisk;    // type code
    uint64_t mib;          // partition size
    const char* label;     // the label the search must read ("" where the format keeps none in its header)
    std::string make;      // command run on the partition file "p.img"; empty: built apart (ISO)
};

const std::vector<part_row>& rows() {
    static const std::vector<part_row> r = {
        {"FAT32", "ef00", 64, "EFIVOL", "mkfs.fat -F 32 -n EFIVOL p.img"},
        {"ext4", "8300", 64, "rootfs", "mkfs.ext4 -q -L rootfs p.img"},
        {"NTFS", "0700", 32, "win", "mkntfs -F -Q -q -L win p.img"},
        {"btrfs", "8300", 120, "bt", "mkfs.btrfs -q -L bt p.img"},
        {"XFS", "8300", 300, "xf", "mkfs.xfs -q -L xf p.img"},
        {"swap", "8200", 16, "sw", "mkswap -L sw p.img"},
        {"LUKS2", "8309", 32, "secret",
         "cryptsetup luksFormat -q --type luks2 --label secret --pbkdf pbkdf2 --pbkdf-force-iterations 1000 "
         "--key-file key p.img"},
        {"LUKS1", "8309", 8, "", "cryptsetup luksFormat -q --type luks1 --pbkdf-force-iterations 1000 --key-file key p.img"},
        {"FAT16", "0700", 16, "SMALL", "mkfs.fat -F 16 -n SMALL p.img"},
        {"exFAT", "0700", 32, "Kamera", "mkfs.exfat -L Kamera p.img"},
        {"ext3", "8300", 16, "old", "mkfs.ext3 -q -L old p.img"},
        {"ISO9660", "8300", 1, "DISC", ""},
    };
    return r;
}

struct made_part {
    uint64_t first = 0, last = 0;  // the partition
    uint64_t fs_last = 0;          // the file system's own end
};

class GptDisk : public testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"sgdisk", "mkfs.fat", "mkfs.ext4", "mkntfs", "mkfs.btrfs", "mkfs.xfs", "mkswap",
                                 "cryptsetup", "mkfs.exfat", "genisoimage"})
            if (!qv::test::have_tool(tool)) {
                missing_ = tool;
                return;
            }
        dir_ = new qv::test::temp_dir;
        image_ = *dir_ / "disk.img";
        const std::string d = dir_->path().string();
        std::string cmd = "cd " + shell_quote(d) + " && truncate -s 760M disk.img && sgdisk";
        int n = 1;
        for (const auto& r : rows()) {
            cmd += " -n" + std::to_string(n) + ":0:+" + std::to_string(r.mib) + "M -t" + std::to_string(n) + ":" + r.sgdisk;
            ++n;
        }
        ASSERT_EQ(run(cmd + " disk.img >/dev/null"), 0);
        ASSERT_EQ(run("cd " + shell_quote(d) + " && head -c 32 /dev/urandom > key && mkdir iso && echo hi > iso/a.txt"), 0);
        uint64_t start = 2048;
        for (const auto& r : rows()) {
            std::string make = r.make;
            if (make.empty()) make = "genisoimage -quiet -V DISC -o p.img iso";
            std::string out;
            ASSERT_EQ(run("cd " + shell_quote(d) + " && rm -f p.img && truncate -s " + std::to_string(r.mib) + "M p.img && " +
                              make + " && dd if=p.img of=disk.img bs=512 seek=" + std::to_string(start) +
                              " conv=notrunc,sparse status=none",
                          &out),
                      0)
                << make << "\n" << out;
            made_part p;
            p.first = start;
            p.last = start + r.mib * 2048 - 1;
            p.fs_last = p.last;
            if (r.make.empty()) p.fs_last = start + std::filesystem::file_size(d + "/p.img") / 512 - 1;
            parts_.push_back(p);
            start = p.last + 1;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!missing_.empty()) GTEST_SKIP() << missing_ << " is not installed";
        ASSERT_NE(dir_, nullptr);
    }

    // A copy of the disk to damage.
    std::string copy(const std::string& name) {
        const std::string to = *dir_ / name;
        EXPECT_EQ(run("cp --sparse=always " + shell_quote(image_) + " " + shell_quote(to)), 0);
        return to;
    }

    struct result {
        disk_table table;
        std::vector<partition_item_s> found;
    };
    static result search(const std::string& image, search_reach reach = search_reach::every_sector) {
        std::string error;
        auto dev = qv::file_device::open(image, 0, 0, true, qv::access_mode::read_only, &error);
        EXPECT_TRUE(dev) << error;
        result r;
        if (!dev) return r;
        search_hooks hooks;
        hooks.table = [&](const disk_table& t) { r.table = t; };
        hooks.found = [&](const partition_item_s& p) { r.found.push_back(p); };
        hooks.reach = reach;
        EXPECT_EQ(search_device(*dev, hooks), search_done);
        return r;
    }

    static inline std::string missing_;
    static inline qv::test::temp_dir* dir_ = nullptr;
    static inline std::string image_;
    static inline std::vector<made_part> parts_;
};

// The first and the last MiB of an image: where the tables live.
std::string table_areas(const std::string& image) {
    std::string out;
    EXPECT_EQ(run("(head -c 1M " + shell_quote(image) + "; tail -c 1M " + shell_quote(image) + ") | sha256sum", &out), 0);
    return out;
}

void zero_sectors(const std::string& image, uint64_t first, uint64_t count) {
    ASSERT_EQ(run("dd if=/dev/zero of=" + shell_quote(image) + " bs=512 seek=" + std::to_string(first) + " count=" +
                  std::to_string(count) + " conv=notrunc status=none"),
              0);
}

struct wipe_row {
    const char* name;
    const char* command;  // %1: the image; empty for none
    int zero_from_end;    // sectors zeroed at the end (0: none)
    bool zero_lba1;
    bool listed;          // the partitions are still in a valid table
    const char* summary;  // start of describe_table()
};

TEST_F(GptDisk, finds_every_partition_with_its_bounds_kind_and_label_however_the_table_is_damaged) {
    const wipe_row wipes[] = {
        {"intact", "", 0, false, true, "GPT: both copies good, 12 partitions"},
        {"primary", "", 0, true, true, "GPT: primary missing, backup good"},
        {"backup", "", 1, false, true, "GPT: primary good, backup missing"},
        {"both", "", 1, true, false, "GPT: both copies gone"},
        {"zap", "sgdisk --zap-all %1 >/dev/null", 0, false, false, "no partition table"},
        {"wipefs", "wipefs -q -a -f %1", 0, false, false, "no partition table"},
    };
    for (const auto& w : wipes) {
        SCOPED_TRACE(w.name);
        const std::string img = copy(std::string(w.name) + ".img");
        const uint64_t sectors = std::filesystem::file_size(img) / 512;
        if (w.zero_lba1) zero_sectors(img, 1, 1);
        if (w.zero_from_end) zero_sectors(img, sectors - w.zero_from_end, w.zero_from_end);
        if (*w.command) {
            QString c = QString::fromLatin1(w.command).arg(QString::fromStdString(shell_quote(img)));
            ASSERT_EQ(run(c.toStdString()), 0) << c.toStdString();
        }
        const result r = search(img);
        EXPECT_TRUE(describe_table(r.table).startsWith(QLatin1String(w.summary))) << describe_table(r.table).toStdString();
        EXPECT_EQ(r.table.gpt_good(), w.listed);
        ASSERT_EQ(r.found.size(), rows().size());
        for (size_t i = 0; i < rows().size(); ++i) {
            SCOPED_TRACE(rows()[i].kind);
            const partition_item_s& f = r.found[i];
            EXPECT_EQ(f.fs_name.toStdString(), rows()[i].kind);
            EXPECT_EQ(f.listed, w.listed);
            EXPECT_EQ(f.start_sector, parts_[i].first);
            // A listed partition keeps the table's bounds; a lost one those its file system states.
            EXPECT_EQ(f.end_sector, w.listed ? parts_[i].last : parts_[i].fs_last);
            EXPECT_EQ(f.label.toStdString(), rows()[i].label);
        }
        std::filesystem::remove(img);
    }
}

TEST_F(GptDisk, backup_superblocks_find_volumes_whose_start_is_gone_and_make_no_duplicates) {
    const std::string img = copy("starts.img");
    ASSERT_EQ(run("sgdisk --zap-all " + shell_quote(img) + " >/dev/null"), 0);
    zero_sectors(img, parts_[1].first + 2, 2);    // ext4's primary superblock
    zero_sectors(img, parts_[2].first, 1);        // NTFS's boot sector (its copy is in the volume's last sector)
    zero_sectors(img, parts_[3].first + 128, 8);  // btrfs's superblock at 64 KiB (a copy is at 64 MiB)
    for (search_reach reach : {search_reach::every_sector, search_reach::likely_places}) {
        SCOPED_TRACE(reach == search_reach::every_sector ? "every sector" : "likely places");
        const result r = search(img, reach);
        ASSERT_EQ(r.found.size(), rows().size());
        for (size_t i = 0; i < rows().size(); ++i) {
            SCOPED_TRACE(rows()[i].kind);
            EXPECT_EQ(r.found[i].fs_name.toStdString(), rows()[i].kind);
            EXPECT_EQ(r.found[i].start_sector, parts_[i].first);
            EXPECT_EQ(r.found[i].end_sector, parts_[i].fs_last);
        }
    }
}

// Examining only where partitions are made to start finds every one that
// reading every sector finds, with the same bounds, kinds and labels.
TEST_F(GptDisk, the_likely_places_find_what_every_sector_finds) {
    const std::string img = copy("likely.img");
    ASSERT_EQ(run("sgdisk --zap-all " + shell_quote(img) + " >/dev/null"), 0);
    const result every = search(img, search_reach::every_sector);
    const result likely = search(img, search_reach::likely_places);
    ASSERT_EQ(every.found.size(), rows().size());
    ASSERT_EQ(likely.found.size(), every.found.size());
    for (size_t i = 0; i < every.found.size(); ++i) {
        SCOPED_TRACE(rows()[i].kind);
        EXPECT_EQ(likely.found[i].fs_name, every.found[i].fs_name);
        EXPECT_EQ(likely.found[i].start_sector, every.found[i].start_sector);
        EXPECT_EQ(likely.found[i].end_sector, every.found[i].end_sector);
        EXPECT_EQ(likely.found[i].label, every.found[i].label);
    }
}

TEST_F(GptDisk, a_damaged_entry_array_is_named_and_the_backup_used) {
    const std::string img = copy("crc.img");
    // Flip a byte in the first entry's name: only the array's CRC can tell.
    ASSERT_EQ(run("printf '\\x41' | dd of=" + shell_quote(img) + " bs=1 seek=" + std::to_string(2 * 512 + 60) +
                  " conv=notrunc status=none"),
              0);
    const result r = search(img);
    EXPECT_EQ(r.table.primary.state, gpt_copy_state::damaged);
    EXPECT_EQ(r.table.primary.problem.toStdString(), "entry array CRC wrong");
    EXPECT_EQ(r.table.backup.state, gpt_copy_state::good);
    EXPECT_EQ(r.table.partitions.size(), rows().size());
}

TEST_F(GptDisk, an_mbr_is_not_written_over_a_valid_gpt_unless_forced) {
    const std::string img = copy("refuse.img");
    const std::string before = table_areas(img);
    const std::string env = "XDG_DATA_HOME=" + shell_quote(*dir_ / "data") + " QUORVANE_IMAGES_ONLY=1 ";
    std::string out;
    EXPECT_EQ(run(env + QUORVANE_CLI " partitions --write-mbr --yes " + shell_quote(img) + " 2>&1", &out), 2) << out;
    EXPECT_NE(out.find("has a valid GPT"), std::string::npos) << out;
    EXPECT_EQ(table_areas(img), before) << "the disk was written";

    // The window's repair takes the same road.
    partition_repair_c repair;
    drive_item_s drive;
    drive.name = QString::fromStdString(img);
    drive.size = int64_t(std::filesystem::file_size(img));
    repair.set_drive(drive);
    ASSERT_EQ(repair.search(), 0);
    EXPECT_EQ(repair.lost_count(), 0);
    qv::partition::repair_report report;
    EXPECT_EQ(repair.repair_partition_table((*dir_ / "data").c_str(), &report), -1);
    EXPECT_NE(report.error.indexOf(QLatin1String("valid GPT")), -1) << report.error.toStdString();
    EXPECT_EQ(table_areas(img), before) << "the disk was written";

    // Asked for explicitly, it is written (and the GPT's own copies stay where they are).
    ASSERT_EQ(run(env + QUORVANE_CLI " partitions --write-mbr --yes --force " + shell_quote(img) + " 2>&1", &out), 0)
        << out;
    EXPECT_NE(table_areas(img), before);
}

}  // namespace
