// The table reader on hostile GPT headers (fields that overflow or lie, with
// their CRCs made to match), on chains of logical partitions made by sfdisk
// and built to loop, and the superblock hints on planted magic with garbage.

#include <gtest/gtest.h>

#include <zlib.h>

#include <functional>
#include <random>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "partition/disk_table.hpp"
#include "partition/partition_search.hpp"
#include "tests/support/test_support.hpp"

using namespace qv::partition;
using qv::test::run;
using qv::test::shell_quote;

namespace {

constexpr size_t sec = 512;

uint32_t crc_of(const uint8_t* p, size_t n) { return uint32_t(crc32(crc32(0, Z_NULL, 0), p, uInt(n))); }

// A 4 MiB GPT disk with two partitions, as sgdisk writes it.
std::vector<uint8_t> sgdisk_disk(const qv::test::temp_dir& dir) {
    const std::string img = dir / "gpt.img";
    std::string out;
    EXPECT_EQ(run("truncate -s 4M " + shell_quote(img) + " && sgdisk -n1:2048:+1M -t1:8300 -n2:0:+1M -t2:0700 " +
                      shell_quote(img),
                  &out),
              0)
        << out;
    return qv::test::read_file(img);
}

// The primary header's fields, offsets in LBA 1.
enum field : size_t {
    header_size = 12, my_lba = 24, last_usable = 48, entries_lba = 72, entry_count = 80, entry_size = 84
};

void fix_header_crc(std::vector<uint8_t>& d, uint32_t over) {
    uint8_t* h = d.data() + sec;
    qv::put_le32(h + 16, 0);
    qv::put_le32(h + 16, crc_of(h, over));
}

void fix_array_crc(std::vector<uint8_t>& d) {
    qv::put_le32(d.data() + sec + 88, crc_of(d.data() + 2 * sec, 128 * 128));
}

struct hostile_row {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> spoil;
    const char* problem;  // part of the primary copy's problem text
};

TEST(disk_table, hostile_primary_headers_are_damaged_and_the_backup_is_used) {
    QV_REQUIRE_TOOL("sgdisk");
    qv::test::temp_dir dir;
    const std::vector<uint8_t> good = sgdisk_disk(dir);
    ASSERT_EQ(good.size(), 4u << 20);
    auto set32 = [](size_t off, uint32_t v) { return [=](std::vector<uint8_t>& d) { qv::put_le32(d.data() + sec + off, v); fix_header_crc(d, 92); }; };
    auto set64 = [](size_t off, uint64_t v) { return [=](std::vector<uint8_t>& d) { qv::put_le64(d.data() + sec + off, v); fix_header_crc(d, 92); }; };
    const hostile_row rows[] = {
        {"entry count overflows", set32(entry_count, 0xFFFFFFFF), "entries"},
        {"entry size huge", set32(entry_size, 0x80000000), "entry size"},
        {"entry size odd", set32(entry_size, 200), "entry size"},
        {"entry size zero", set32(entry_size, 0), "entry size"},
        {"own LBA lies", set64(my_lba, 7), "as its own"},
        {"array past the disk", set64(entries_lba, ~0ull / 2), "does not fit"},
        {"usable area past the disk", set64(last_usable, ~0ull), "usable area"},
        {"header CRC over a lying size",
         [](std::vector<uint8_t>& d) {
             qv::put_le32(d.data() + sec + header_size, 4096);
             fix_header_crc(d, 4096);  // reaches into the entry array
         },
         "header size"},
        {"header size too small",
         [](std::vector<uint8_t>& d) {
             qv::put_le32(d.data() + sec + header_size, 20);
             fix_header_crc(d, 20);
         },
         "header size"},
        {"header CRC wrong", [](std::vector<uint8_t>& d) { d[sec + 60] ^= 1; }, "header CRC"},
        {"entry past the disk",
         [](std::vector<uint8_t>& d) {
             qv::put_le64(d.data() + 2 * sec + 40, ~0ull);  // entry 1's last LBA
             fix_array_crc(d);
             fix_header_crc(d, 92);
         },
         "outside the usable area"},
        {"overlapping entries",
         [](std::vector<uint8_t>& d) {
             qv::put_le64(d.data() + 2 * sec + 128 + 32, 2048 + 100);  // entry 2 starts inside entry 1
             fix_array_crc(d);
             fix_header_crc(d, 92);
         },
         "overlap"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> d = good;
        r.spoil(d);
        qv::memory_device dev(d);
        const disk_table t = read_disk_table(dev);
        EXPECT_EQ(t.primary.state, gpt_copy_state::damaged);
        EXPECT_NE(t.primary.problem.indexOf(QLatin1String(r.problem)), -1) << t.primary.problem.toStdString();
        EXPECT_EQ(t.backup.state, gpt_copy_state::good);
        ASSERT_EQ(t.kind, table_kind::gpt);
        ASSERT_EQ(t.partitions.size(), 2u);
        EXPECT_EQ(t.partitions[0].first, 2048u);
        EXPECT_EQ(t.partitions[0].last, 4095u);

        // With the backup spoilt the same way, nothing is listed and the search still ends.
        std::copy_n(d.data() + sec, sec, d.data() + d.size() - sec);
        qv::memory_device both(d);
        const disk_table gone = read_disk_table(both);
        EXPECT_FALSE(gone.gpt_good());
        EXPECT_TRUE(gone.partitions.empty());
        EXPECT_TRUE(describe_table(gone).startsWith(QLatin1String("GPT: both copies gone")));
        search_hooks hooks;
        EXPECT_EQ(search_device(both, hooks), search_done);
    }
}

TEST(disk_table, logical_partitions_are_read_along_the_chain) {
    QV_REQUIRE_TOOL("sfdisk");
    qv::test::temp_dir dir;
    const std::string img = dir / "dos.img";
    const std::string script =
        "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40960, type=5\n"
        "start=10240, size=4096, type=83\nstart=16384, size=8192, type=82\nstart=26624, size=2048, type=7\n";
    std::string out;
    ASSERT_EQ(run("truncate -s 32M " + shell_quote(img) + " && printf '%s' " + shell_quote(script) + " | sfdisk -q " +
                      shell_quote(img),
                  &out),
              0)
        << out;
    std::vector<uint8_t> d = qv::test::read_file(img);
    {
        qv::memory_device dev(d);
        const disk_table t = read_disk_table(dev);
        ASSERT_EQ(t.kind, table_kind::mbr) << describe_table(t).toStdString();
        const uint64_t want[][3] = {{2048, 6143, 0x83}, {10240, 14335, 0x83}, {16384, 24575, 0x82}, {26624, 28671, 0x07}};
        ASSERT_EQ(t.partitions.size(), 4u);
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(t.partitions[i].first, want[i][0]) << i;
            EXPECT_EQ(t.partitions[i].last, want[i][1]) << i;
            EXPECT_EQ(t.partitions[i].mbr_type, want[i][2]) << i;
            EXPECT_EQ(t.partitions[i].logical, i > 0) << i;
        }
        EXPECT_EQ(describe_table(t).toStdString(), "MBR: 4 partitions (3 logical)");
    }
    // The second EBR's link pointed back at the first: the walk stops and says so.
    const qv::byte_view first_ebr(d.data() + 8192 * sec, sec);
    const size_t second_ebr = (8192 + size_t(first_ebr.le32(446 + 16 + 8))) * sec;
    ASSERT_EQ(d[second_ebr + 510], 0x55);
    qv::put_le32(d.data() + second_ebr + 446 + 16 + 8, 0);  // link: relative to the extended start, 0 = the first EBR
    qv::memory_device looped(d);
    const disk_table t = read_disk_table(looped);
    EXPECT_EQ(t.partitions.size(), 3u);
    ASSERT_FALSE(t.problems.isEmpty());
    EXPECT_NE(t.problems.front().indexOf(QLatin1String("loops")), -1) << t.problems.front().toStdString();
}

TEST(disk_table, an_lvm_physical_volume_is_found_with_its_size) {
    QV_REQUIRE_TOOL("pvcreate");
    qv::test::temp_dir dir;
    const std::string img = dir / "pv.img";
    ASSERT_EQ(run("truncate -s 64M " + shell_quote(img)), 0);
    {
        qv::test::loop_device loop;
        std::string why;
        if (!loop.attach(img, false, &why)) GTEST_SKIP() << "no loop device: " << why;
        std::string out;
        // --devices keeps the volume out of the machine's LVM devices file.
        if (run("pvcreate -q -y --devices " + loop.path() + " " + loop.path() + " 2>&1", &out) != 0)
            GTEST_SKIP() << "pvcreate does not work here: " << out;
    }
    std::string error;
    auto dev = qv::file_device::open(img, 0, 0, true, qv::access_mode::read_only, &error);
    ASSERT_TRUE(dev) << error;
    std::vector<partition_item_s> found;
    search_hooks hooks;
    hooks.found = [&](const partition_item_s& f) { found.push_back(f); };
    ASSERT_EQ(search_device(*dev, hooks), search_done);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].fs_name.toStdString(), "LVM2");
    EXPECT_EQ(found[0].start_sector, 0u);
    EXPECT_EQ(found[0].end_sector, 131071u);
    EXPECT_EQ(found[0].partition_type, 0x8E);
}

TEST(disk_table, planted_magic_among_garbage_finds_nothing_and_never_hangs) {
    struct plant {
        const char* name;
        size_t at;  // byte offset in the drive
        std::vector<uint8_t> bytes;
    };
    auto text = [](const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); };
    const plant plants[] = {
        {"ext superblock", 4096 * 512 + 1024 + 0x38, {0x53, 0xEF}},
        {"ext backup naming group 65535", 8192 * 512 + 0x38, {0x53, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}},
        {"btrfs", 4096 * 512 + 65536 + 0x40, text("_BHRfS_M", 8)},
        {"XFS", 4096 * 512, text("XFSB", 4)},
        {"swap", 4096 * 512 + 4086, text("SWAPSPACE2", 10)},
        {"LUKS", 4096 * 512, {'L', 'U', 'K', 'S', 0xBA, 0xBE, 0, 2}},
        {"LVM", 4097 * 512, text("LABELONE\1\0\0\0\0\0\0\0", 16)},
        {"HFS+", 4096 * 512 + 1024, {'H', '+', 0, 4}},
        {"ISO", 4096 * 512 + 32768, text("\1CD001\1", 7)},
        {"GPT header", 512, text("EFI PART", 8)},
    };
    std::mt19937 rng(7);
    for (const auto& p : plants) {
        SCOPED_TRACE(p.name);
        std::vector<uint8_t> d(16384 * 512);
        for (auto& b : d) b = uint8_t(rng());
        std::copy(p.bytes.begin(), p.bytes.end(), d.begin() + long(p.at));
        qv::memory_device dev(d);
        std::vector<partition_item_s> found;
        search_hooks hooks;
        hooks.found = [&](const partition_item_s& f) { found.push_back(f); };
        EXPECT_EQ(search_device(dev, hooks), search_done);
        EXPECT_TRUE(found.empty()) << found.front().fs_name.toStdString();
        // Cut short inside the planted structure: still no find, no read past the end.
        d.resize(p.at + p.bytes.size() + 100);
        qv::memory_device cut(d);
        found.clear();
        EXPECT_EQ(search_device(cut, hooks), search_done);
        EXPECT_TRUE(found.empty());
    }
}

}  // namespace
