// Logical partitions written back as a chain of extended boot records: the
// records' bytes, when no chain fits, and on a disk made by sfdisk with real
// file systems whose first sector and records were wiped, the table that
// sfdisk and blkid read afterwards and the undo.

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <filesystem>

#include "devices/le_bytes.hpp"
#include "partition/ebr_chain.hpp"
#include "partition/mbr_plan.hpp"
#include "tests/support/test_support.hpp"

using namespace qv::partition;
using qv::test::run;
using qv::test::shell_quote;

namespace {

partition_item_s linux_fs(uint64_t first, uint64_t last) { return {"ext4", 0x83, first, last}; }
partition_item_s swap(uint64_t first, uint64_t last) { return {"swap", 0x82, first, last}; }

mbr_plan plan_of(const QList<partition_item_s>& found, bool chain = true) {
    mbr_plan plan;
    QString error;
    EXPECT_EQ(plan_partition_table(sector_bytes_t{}, found, qv::disk_geometry{}, 0, &plan, &error, chain), 0)
        << error.toStdString();
    return plan;
}

qv::byte_view entry(const sector_bytes_t& s, int i) {
    return qv::byte_view(s.data() + mbr_table_offset + size_t(i) * mbr_entry_bytes, mbr_entry_bytes);
}

}  // namespace

TEST(ebr_chain, partitions_after_the_third_are_chained_in_disk_order) {
    // Given out of order: the plan goes by where they lie.
    const mbr_plan plan = plan_of({swap(30720, 34815), linux_fs(2048, 6143), linux_fs(36864, 40959),
                                   linux_fs(8192, 12287), linux_fs(14336, 18431), linux_fs(22528, 26623)});
    EXPECT_EQ(plan.left_out, 0);
    const uint64_t primaries[] = {2048, 8192, 14336};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(entry(plan.new_sector, i).le32(8), primaries[i]) << i;
    const qv::byte_view extended = entry(plan.new_sector, 3);
    EXPECT_EQ(extended.u8(4), mbr_type_extended_lba);
    EXPECT_EQ(extended.u8(0), 0);
    const uint32_t ext_first = 22528 - 2048;
    EXPECT_EQ(extended.le32(8), ext_first);
    EXPECT_EQ(extended.le32(12), 40959u - ext_first + 1);

    ASSERT_EQ(plan.ebrs.size(), 3u);
    const uint64_t starts[] = {22528, 30720, 36864}, lasts[] = {26623, 34815, 40959};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const ebr_plan& r = plan.ebrs[i];
        EXPECT_EQ(r.lba, starts[i] - ebr_preferred_gap);  // a MiB before, where that is free
        EXPECT_EQ(r.new_sector[510], 0x55);
        EXPECT_EQ(r.new_sector[511], 0xAA);
        EXPECT_TRUE(std::all_of(r.new_sector.begin(), r.new_sector.begin() + mbr_table_offset,
                                [](uint8_t b) { return b == 0; }));
        const qv::byte_view own = entry(r.new_sector, 0), link = entry(r.new_sector, 1);
        EXPECT_EQ(own.u8(4), i == 1 ? 0x82 : 0x83);
        EXPECT_EQ(r.lba + own.le32(8), starts[i]);  // relative to the record
        EXPECT_EQ(own.le32(12), lasts[i] - starts[i] + 1);
        if (i + 1 < 3) {
            const ebr_plan& next = plan.ebrs[i + 1];
            EXPECT_EQ(link.u8(4), mbr_type_ebr_link);
            EXPECT_EQ(ext_first + link.le32(8), next.lba);  // relative to the extended partition
            EXPECT_EQ(link.le32(12), lasts[i + 1] - next.lba + 1);
        } else {
            EXPECT_EQ(link.le32(8), 0u);
            EXPECT_EQ(link.u8(4), 0);
        }
        for (int e = 2; e < 4; ++e) EXPECT_EQ(entry(r.new_sector, e).le32(12), 0u);
    }
    const QString text = describe_plan(plan);
    EXPECT_TRUE(text.contains("logical 5: type 0x83 (ext4), boot record at sector 20480, first sector 22528"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("logical 6: type 0x82 (swap)")) << text.toStdString();
    EXPECT_FALSE(text.contains("not written")) << text.toStdString();
}

TEST(ebr_chain, a_record_takes_the_first_free_sector_when_the_gap_is_small) {
    const mbr_plan plan = plan_of({linux_fs(63, 999), linux_fs(1000, 1999), linux_fs(2000, 2999),
                                   linux_fs(3063, 3999), linux_fs(4001, 4999)});
    ASSERT_EQ(plan.ebrs.size(), 2u);
    EXPECT_EQ(plan.ebrs[0].lba, 3000u);
    EXPECT_EQ(plan.ebrs[1].lba, 4000u);
    EXPECT_EQ(entry(plan.new_sector, 3).le32(8), 3000u);
}

TEST(ebr_chain, without_room_for_the_records_four_primaries_are_written) {
    // Partition 5 starts right after 4: nowhere for its record.
    const QList<partition_item_s> packed = {linux_fs(2048, 4095), linux_fs(4096, 8191), linux_fs(8192, 12287),
                                            linux_fs(14336, 16383), linux_fs(16384, 20479)};
    for (bool chain : {true, false}) {
        const mbr_plan plan = plan_of(packed, chain);
        EXPECT_TRUE(plan.ebrs.empty());
        EXPECT_EQ(plan.left_out, 1);
        EXPECT_EQ(entry(plan.new_sector, 3).le32(8), 14336u);
        EXPECT_EQ(entry(plan.new_sector, 3).u8(4), 0x83);
    }
    // With room, but not asked for (an MBR forced over a valid GPT).
    const mbr_plan asked_not =
        plan_of({linux_fs(2048, 4095), linux_fs(6144, 8191), linux_fs(10240, 12287), linux_fs(14336, 16383),
                 linux_fs(18432, 20479)},
                false);
    EXPECT_TRUE(asked_not.ebrs.empty());
    EXPECT_EQ(asked_not.left_out, 1);

    QString why;
    EXPECT_FALSE(plan_logical_chain({linux_fs(100, 50)}, 10, 255, 63, &why));
    EXPECT_FALSE(plan_logical_chain({linux_fs(100, 0x100000000ull)}, 10, 255, 63, &why));
    EXPECT_TRUE(why.contains("beyond")) << why.toStdString();
    EXPECT_FALSE(plan_logical_chain({}, 10, 255, 63, &why));
}

// sfdisk makes three primaries and two logical partitions holding real file
// systems; the first sector, or it and every record of the chain, is wiped.
TEST(ebr_chain, a_wiped_dos_disk_gets_its_logical_partitions_back) {
    QV_REQUIRE_TOOL("sfdisk");
    QV_REQUIRE_TOOL("blkid");
    QV_REQUIRE_TOOL("mkfs.ext4");
    QV_REQUIRE_TOOL("mkswap");
    qv::test::temp_dir dir;
    const std::string d = shell_quote(dir.path().string());
    struct part {
        uint64_t first, sectors;
        const char* type;
        const char* make;
        const char* blkid;
    };
    const std::vector<part> parts = {
        {2048, 16384, "83", "mkfs.ext4 -q p.img", "ext4"},
        {18432, 8192, "82", "mkswap p.img >/dev/null", "swap"},
        {26624, 16384, "83", "mkfs.ext2 -q p.img", "ext2"},
        {45056, 16384, "83", "mkfs.ext4 -q -L logical5 p.img", "ext4"},
        {63488, 8192, "82", "mkswap -L logical6 p.img >/dev/null", "swap"},
    };
    std::string script = "label: dos\n";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i == 3) script += "start=43008, type=5\n";
        script += "start=" + std::to_string(parts[i].first) + ", size=" + std::to_string(parts[i].sectors) +
                  ", type=" + parts[i].type + "\n";
    }
    std::string out;
    ASSERT_EQ(run("cd " + d + " && truncate -s 40M disk.img && printf '%s' " + shell_quote(script) +
                      " | sfdisk -q disk.img",
                  &out),
              0)
        << out;
    for (const part& p : parts) {
        const std::string make = "cd " + d + " && rm -f p.img && truncate -s " + std::to_string(p.sectors * 512) +
                                 " p.img && " + p.make + " && dd if=p.img of=disk.img bs=512 seek=" +
                                 std::to_string(p.first) + " conv=notrunc status=none";
        ASSERT_EQ(run(make, &out), 0) << make << out;
    }
    const std::string made = dir / "disk.img";
    auto partition_lines = [](const std::string& img) {
        // The partitions sfdisk lists, without the extended one, whose span the repair may draw tighter.
        std::string lines;
        run("sfdisk -d " + shell_quote(img) + " | grep start= | grep -v 'type=5\\|type=f' | sed 's/^[^:]*://; s/, bootable//'",
            &lines);
        return lines;
    };
    const std::string before = partition_lines(made);
    ASSERT_NE(before.find("type=82"), std::string::npos) << before;

    // Where sfdisk put the records, from the chain it wrote.
    std::vector<uint64_t> records;
    {
        const std::vector<uint8_t> bytes = qv::test::read_file(made);
        const qv::byte_view mbr(bytes.data(), 512);
        const uint64_t ext = mbr.le32(mbr_table_offset + 3 * 16 + 8);
        for (uint64_t at = ext; records.size() < 8;) {
            records.push_back(at);
            const uint32_t next = qv::byte_view(bytes.data() + at * 512, 512).le32(mbr_table_offset + 16 + 8);
            if (next == 0) break;
            at = ext + next;
        }
        ASSERT_EQ(records.size(), 2u);
    }

    const std::string env = "XDG_DATA_HOME=" + shell_quote(dir / "data") + " QUORVANE_IMAGES_ONLY=1 ";
    for (bool records_too : {false, true}) {
        SCOPED_TRACE(records_too ? "first sector and records wiped" : "first sector wiped");
        const std::string img = dir / "wiped.img";
        std::filesystem::copy_file(made, img, std::filesystem::copy_options::overwrite_existing);
        std::string wipe = "dd if=/dev/zero of=" + shell_quote(img) + " bs=512 count=1 conv=notrunc status=none";
        if (records_too)
            for (uint64_t r : records)
                wipe += " && dd if=/dev/zero of=" + shell_quote(img) + " bs=512 count=1 conv=notrunc status=none seek=" +
                        std::to_string(r);
        ASSERT_EQ(run(wipe), 0);
        const std::vector<uint8_t> wiped = qv::test::read_file(img);

        ASSERT_EQ(run(env + QUORVANE_CLI " partitions --write-mbr --yes " + shell_quote(img) + " 2>&1", &out), 0)
            << out;
        EXPECT_NE(out.find("logical 6:"), std::string::npos) << out;
        EXPECT_EQ(out.find("not written"), std::string::npos) << out;
        EXPECT_EQ(partition_lines(img), before);
        for (const part& p : parts) {
            std::string type;
            run("blkid -p -o value -s TYPE -O " + std::to_string(p.first * 512) + " " + shell_quote(img), &type);
            EXPECT_EQ(type, std::string(p.blkid) + "\n") << p.first;
        }
        // The logical ext4 volume checks clean.
        const std::string part = dir / "logical5.img";
        ASSERT_EQ(run("dd if=" + shell_quote(img) + " of=" + shell_quote(part) + " bs=512 skip=" +
                      std::to_string(parts[3].first) + " count=" + std::to_string(parts[3].sectors) + " status=none"),
                  0);
        std::string fsck;
        EXPECT_EQ(run("e2fsck -fn " + shell_quote(part) + " 2>&1", &fsck), 0) << fsck;
        std::string list;
        run("sfdisk -l " + shell_quote(img), &list);
        EXPECT_NE(list.find("img5"), std::string::npos) << list;
        EXPECT_NE(list.find("img6"), std::string::npos) << list;

        // The undo puts every sector it replaced back.
        std::string backup;
        run("ls -t " + shell_quote(dir / "data") + "/*/mbr-backups/*.bin | head -1", &backup);
        while (!backup.empty() && backup.back() == '\n') backup.pop_back();
        ASSERT_FALSE(backup.empty());
        EXPECT_EQ(std::filesystem::file_size(backup), 3 * 512u);
        ASSERT_EQ(run(env + QUORVANE_CLI " partitions --restore " + shell_quote(backup) + " " + shell_quote(img) +
                          " 2>&1",
                      &out),
                  0)
            << out;
        EXPECT_TRUE(qv::test::read_file(img) == wiped) << "the restore did not give back the earlier bytes";
    }
}
