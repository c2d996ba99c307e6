// Long names of deleted FAT entries: real mtools folders, foreign and hostile runs.
#include <gtest/gtest.h>

#include <set>

#include "fat/fat_deleted_name.hpp"
#include "fat/fat_reader.hpp"
#include "devices/utf16_text.hpp"
#include "tests/fat/fat_image_view.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::byte_view;
using qv::test::run;
using qv::test::shell_quote;

// Every deleted short entry of a folder with the name recovered for it ("" when none).
std::vector<std::u16string> recovered_names(const std::vector<uint8_t>& folder) {
    std::vector<std::u16string> names;
    for (size_t i = 0; i + 32 <= folder.size(); i += 32) {
        if (folder[i] == 0) break;
        if (folder[i] != 0xE5 || (folder[i + 11] & 0x3F) == 0x0F) continue;
        size_t from = i >= 20 * 32 ? i - 20 * 32 : 0;
        auto got = qv::recover_deleted_long_name(byte_view(folder.data() + from, i - from),
                                                 byte_view(folder.data() + i, 32));
        names.push_back(got ? got->name : u"");
    }
    return names;
}

struct layout {
    int bits;
    uint64_t kib;
    int sectors_per_cluster;
};

class deleted_names_on_mtools_images : public ::testing::TestWithParam<layout> {};

TEST_P(deleted_names_on_mtools_images, every_deleted_long_name_comes_back_whole) {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    setenv("LC_ALL", "C.UTF-8", 1);
    qv::test::temp_dir dir;
    std::string img = dir / "names.img", local = dir / "local.bin";
    const auto& p = GetParam();
    ASSERT_EQ(run("mkfs.fat -C -F " + std::to_string(p.bits) + " -s " + std::to_string(p.sectors_per_cluster) + " " +
                  shell_quote(img) + " " + std::to_string(p.kib) + " >/dev/null"),
              0);
    qv::test::write_file(local, {1, 2, 3});
    const std::vector<std::string> names = {
        "b",                                  // one unit, lower case: a short name with case flags, no long name
        "abcdefghijklm",                      // 13 units: one full entry, no terminator
        "abcdefghijklmn",                     // 14
        "abcdefghijklmnopqrstuvwxyz",         // 26: two full entries
        "holiday_photo_2.jpg",
        "Ünïcode näme.txt",                   // non-ASCII first letter (code page 850 short name)
        "中文文件名.txt",                       // CP936 letters, short name "_____"
        "éclair au café.txt",                 // lower-case non-ASCII first letter
        ".hidden config",                     // leading dot
        std::string(255, 'L'),
    };
    for (const auto& n : names)
        ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(local) + " " + shell_quote("::" + n)), 0) << n;
    for (const auto& n : names) ASSERT_EQ(run("mdel -i " + shell_quote(img) + " " + shell_quote("::" + n)), 0) << n;

    qv::test::fat_image_view view;
    ASSERT_TRUE(view.load(img));
    auto got = recovered_names(view.folder(0));
    ASSERT_EQ(got.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "b")
            EXPECT_EQ(got[i], u"") << "a short-name-only entry takes no long name";
        else
            EXPECT_EQ(got[i], qv::utf16_of(names[i])) << names[i];
    }
}

INSTANTIATE_TEST_SUITE_P(layouts, deleted_names_on_mtools_images,
                         ::testing::Values(layout{12, 2048, 1}, layout{16, 16384, 4}, layout{32, 66000, 1},
                                           layout{32, 300000, 8}));

// 32-byte entries built by hand.
std::vector<uint8_t> long_entry(const std::u16string& units13, uint8_t sum, uint8_t first = 0xE5) {
    std::vector<uint8_t> e(32, 0);
    const size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    e[0] = first;
    e[11] = 0x0F;
    e[13] = sum;
    for (size_t i = 0; i < 13; ++i) {
        char16_t u = i < units13.size() ? units13[i] : (i == units13.size() ? 0 : 0xFFFF);
        e[at[i]] = uint8_t(u);
        e[at[i] + 1] = uint8_t(u >> 8);
    }
    return e;
}

std::vector<uint8_t> short_entry(const std::string& name11) {
    std::vector<uint8_t> e(32, 0);
    std::copy(name11.begin(), name11.end(), e.begin());
    e[11] = 0x20;
    e[26] = 5;
    return e;
}

uint8_t checksum(const std::string& name11) { return qv::fat_short_name_checksum(reinterpret_cast<const uint8_t*>(name11.data())); }

std::optional<qv::deleted_long_name> recover(const std::vector<std::vector<uint8_t>>& before,
                                             std::vector<uint8_t> short_e) {
    std::vector<uint8_t> bytes;
    for (const auto& e : before) bytes.insert(bytes.end(), e.begin(), e.end());
    short_e[0] = 0xE5;
    return qv::recover_deleted_long_name(byte_view(bytes.data(), bytes.size()), byte_view(short_e.data(), 32));
}

TEST(deleted_long_names, another_files_run_in_front_is_never_attached) {
    // "report_final.doc" was deleted; a short-name-only file later took its
    // short entry and was deleted too.
    uint8_t sum = checksum("REPORT~1DOC");
    // On disk the entry with the name's end comes first.
    std::vector<std::vector<uint8_t>> before = {long_entry(u"doc", sum), long_entry(u"report_final.", sum)};
    auto whole = recover(before, short_entry("REPORT~1DOC"));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->name, u"report_final.doc");
    EXPECT_TRUE(recover(before, short_entry("REPORT~1DOC")).has_value());
    for (const char* other : {"NOTES   TXT", "R       BIN", "REPORT~2DOC", "EPORT~1 DOC"})
        EXPECT_FALSE(recover(before, short_entry(other)).has_value()) << other;
}

TEST(deleted_long_names, the_first_byte_is_given_by_the_name) {
    uint8_t sum = checksum("HOLIDA~1JPG");
    auto got = recover({long_entry(u"holiday.jpg", sum)}, short_entry("HOLIDA~1JPG"));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->name, u"holiday.jpg");
    EXPECT_EQ(got->first_byte, 'H');
    // A lower-case ASCII letter never matches another byte, even a legal one.
    EXPECT_FALSE(recover({long_entry(u"xoliday.jpg", sum)}, short_entry("HOLIDA~1JPG")));
}

struct hostile_run {
    const char* what;
    size_t entries;          // deleted long-name entries in front, all of one checksum
    size_t terminator_in;    // entry (1 = nearest) whose units end the name; 0 = none
    bool accepted;
    size_t units;
};

class hostile_long_name_runs : public ::testing::TestWithParam<hostile_run> {};

TEST_P(hostile_long_name_runs, give_a_bounded_name_or_none) {
    const auto& h = GetParam();
    uint8_t sum = checksum("AAAAAA~1TXT");
    std::vector<std::vector<uint8_t>> before;
    for (size_t k = h.entries; k >= 1; --k)
        before.push_back(long_entry(k == h.terminator_in ? u"aaaa" : std::u16string(13, u'a'), sum));
    auto got = recover(before, short_entry("AAAAAA~1TXT"));
    ASSERT_EQ(got.has_value(), h.accepted) << h.what;
    if (got) {
        EXPECT_EQ(got->name.size(), h.units) << h.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    runs, hostile_long_name_runs,
    ::testing::Values(hostile_run{"21 entries, no end", 21, 0, false, 0},
                      hostile_run{"40 entries, no end", 40, 0, false, 0},
                      hostile_run{"19 full entries: 247 units", 19, 0, true, 247},
                      hostile_run{"20 full entries: 260 units", 20, 0, false, 0},
                      hostile_run{"30 entries, end in the third", 30, 3, true, 30},
                      hostile_run{"end in the nearest", 5, 1, true, 4}),
    [](const auto& info) { return "case_" + std::to_string(info.index); });

TEST(deleted_long_names, broken_runs_give_no_name) {
    uint8_t sum = checksum("AB      TXT");
    auto bad_padding = long_entry(u"ab.txt", sum);
    bad_padding[30] = 0x41;  // a unit after the end that is not padding
    EXPECT_FALSE(recover({bad_padding}, short_entry("AB      TXT")));
    auto control = long_entry(u"a\x01.txt", sum);
    EXPECT_FALSE(recover({control}, short_entry("AB      TXT")));
    auto live = long_entry(u"ab.txt", sum, 0x41);  // not deleted: the reader's live path owns it
    EXPECT_FALSE(recover({live}, short_entry("AB      TXT")));
    EXPECT_FALSE(recover({}, short_entry("AB      TXT")));
    // A short entry that is not deleted is not this function's.
    auto e = long_entry(u"ab.txt", sum);
    auto s = short_entry("AB      TXT");
    EXPECT_FALSE(qv::recover_deleted_long_name(byte_view(e.data(), 32), byte_view(s.data(), 32)));
    // Odd bytes before the run (not a whole entry) are left out.
    std::vector<uint8_t> odd(7 + 32, 0xAA);
    std::copy(e.begin(), e.end(), odd.begin() + 7);
    s[0] = 0xE5;
    auto got = qv::recover_deleted_long_name(byte_view(odd.data(), odd.size()), byte_view(s.data(), 32));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->name, u"ab.txt");
}

TEST(deleted_long_names, short_name_first_bytes) {
    EXPECT_EQ(qv::short_name_first_byte(u"holiday"), 'H');
    EXPECT_EQ(qv::short_name_first_byte(u"..  x"), 'X');
    EXPECT_EQ(qv::short_name_first_byte(u"+plus"), '_');
    EXPECT_EQ(qv::short_name_first_byte(u"..."), 0);
    EXPECT_EQ(qv::short_name_first_byte(u"中文"), 0xD6);  // GBK D6D0
    EXPECT_FALSE(qv::legal_short_name_first_byte(0xE5));
    EXPECT_TRUE(qv::legal_short_name_first_byte(0x05));
    EXPECT_FALSE(qv::legal_short_name_first_byte('a'));
}

}  // namespace
