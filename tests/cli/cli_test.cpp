// quorvane-cli as a user runs it: on mtools-made images, on a loop device, with bad arguments.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/test_support.hpp"

namespace {

using qv::test::run;
using qv::test::shell_quote;

std::string cli(const std::string& args) { return std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " " + args; }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class cli_on_fat_image : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        ASSERT_EQ(run("mkfs.fat -C -F 16 -n CLITEST " + shell_quote(img) + " 20000"), 0);
        put("/a.txt", "first file\n");
        put("/b.txt", "second file\n");
        ASSERT_EQ(run("mmd -i " + shell_quote(img) + " ::/Sub"), 0);
        put("/Sub/c.txt", "third file, in a folder\n");
        put("/keep.txt", "live\n");
        ASSERT_EQ(run("mdel -i " + shell_quote(img) + " ::/a.txt ::/b.txt ::/Sub/c.txt"), 0);
    }
    void put(const std::string& path, const std::string& text) {
        std::string local = dir / "local";
        qv::test::write_file(local, std::vector<uint8_t>(text.begin(), text.end()));
        ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(local) + " " + shell_quote("::" + path)), 0);
    }
    std::string text_of(const std::string& path) {
        auto b = qv::test::read_file(path);
        return std::string(b.begin(), b.end());
    }
    qv::test::temp_dir dir;
    std::string img = dir / "card.img";
};

TEST_F(cli_on_fat_image, scan_json_lists_one_object_per_found_item) {
    std::string out;
    ASSERT_EQ(run(cli("scan --json " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 4u) << out;  // three deleted files and the live folder
    EXPECT_NE(out.find("\"path\":\"/#.txt\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"path\":\"/Sub/#.txt\""), std::string::npos);
    EXPECT_NE(out.find("\"name\":\"Sub\",\"size\":0"), std::string::npos);
    EXPECT_EQ(out.find("keep"), std::string::npos) << "live files are not listed";
    for (const auto& l : lines) {
        EXPECT_EQ(l.front(), '{');
        EXPECT_EQ(l.back(), '}');
        for (const char* key : {"\"id\":", "\"size\":", "\"modified\":", "\"created\":", "\"deleted\":", "\"directory\":"})
            EXPECT_NE(l.find(key), std::string::npos) << key << " in " << l;
    }
}

TEST_F(cli_on_fat_image, recover_keeps_the_tree_and_never_overwrites) {
    std::string to = dir / "out";
    std::string out;
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to) + " --keep-tree"), &out), 0) << out;
    // Both deleted root files are named "#.txt": the second one gets " (2)".
    std::set<std::string> root = {text_of(to + "/#.txt"), text_of(to + "/#.txt (2)")};
    EXPECT_TRUE(std::filesystem::exists(to + "/#.txt")) << out;
    EXPECT_FALSE(std::filesystem::exists(to + "/#.txt (2)")) << "the counter goes before the extension";
    std::set<std::string> want = {"first file\n", "second file\n"};
    EXPECT_EQ((std::set<std::string>{text_of(to + "/#.txt"), text_of(to + "/# (2).txt")}), want);
    EXPECT_EQ(text_of(to + "/Sub/#.txt"), "third file, in a folder\n");
    EXPECT_NE(out.find("recovered 3 of 3 files"), std::string::npos) << out;

    // A second run into the same folder adds copies and changes nothing that is there.
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to) + " --name '*.txt'"), &out), 0);
    EXPECT_TRUE(std::filesystem::exists(to + "/# (3).txt"));
    EXPECT_TRUE(std::filesystem::exists(to + "/# (4).txt"));
    EXPECT_EQ(text_of(to + "/Sub/#.txt"), "third file, in a folder\n");

    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(dir / "one") + " --name 'Sub/*'"), &out), 0);
    EXPECT_NE(out.find("recovered 1 of 1 files"), std::string::npos) << out;
}

TEST_F(cli_on_fat_image, bad_arguments_and_unreadable_volumes_exit_2_with_one_line) {
    std::string out;
    EXPECT_EQ(run(cli("scan " + shell_quote(dir / "nothing.img")) + " 2>&1 >/dev/null", &out), 2);
    EXPECT_EQ(lines_of(out).size(), 1u) << out;
    EXPECT_NE(out.find("nothing.img"), std::string::npos);
    EXPECT_EQ(run(cli("frobnicate") + " >/dev/null 2>&1"), 2);
    EXPECT_EQ(run(cli("recover " + shell_quote(img)) + " >/dev/null 2>&1"), 2) << "--to is required";
    EXPECT_EQ(run(cli("scan " + shell_quote(img + "#3")) + " 2>&1 >/dev/null", &out), 2);
    std::string raw = dir / "raw.img";
    qv::test::write_file(raw, qv::test::pseudo_random_bytes(1 << 20, 3));
    EXPECT_EQ(run(cli("scan " + shell_quote(raw)) + " 2>&1 >/dev/null", &out), 2);
    EXPECT_NE(out.find("--deep"), std::string::npos) << out;
}

TEST_F(cli_on_fat_image, list_shows_the_image_and_its_file_system) {
    std::string out;
    ASSERT_EQ(run(cli("list --json " + shell_quote(img)), &out), 0);
    EXPECT_NE(out.find("\"kind\":\"drive\",\"number\":0,\"name\":" + std::string("\"") + img + "\""), std::string::npos)
        << out;
    EXPECT_NE(out.find("\"file_system\":\"FAT16\",\"label\":\"CLITEST\""), std::string::npos) << out;
}

TEST_F(cli_on_fat_image, list_counts_the_free_space_of_an_image_from_its_fat) {
    std::string out, fsck;
    ASSERT_EQ(run(cli("list --json " + shell_quote(img)), &out), 0);
    if (!qv::test::have_tool("fsck.fat")) GTEST_SKIP() << "fsck.fat is not installed";
    run("fsck.fat -n " + shell_quote(img), &fsck);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(fsck, m, std::regex(R"((\d+)/(\d+) clusters)"))) << fsck;
    uint64_t cluster_bytes = uint64_t(qv::test::read_file(img)[13]) * 512;
    uint64_t free = (std::stoull(m[2]) - std::stoull(m[1])) * cluster_bytes;
    EXPECT_NE(out.find("\"free_bytes\":" + std::to_string(free) + ","), std::string::npos) << out;
    // A volume whose file system cannot be counted says so instead of 0.
    std::string blank = dir / "blank.img";
    qv::test::write_file(blank, std::vector<uint8_t>(1 << 20, 0));
    ASSERT_EQ(run(cli("list --json " + shell_quote(blank)), &out), 0);
    EXPECT_EQ(out.find("\"free_bytes\":0,"), std::string::npos) << out;
}

TEST_F(cli_on_fat_image, recovered_files_keep_their_modification_time) {
    // FAT keeps local wall-clock time; the tests run with TZ=UTC.
    std::string local = dir / "dated";
    qv::test::write_file(local, {'d', 'a', 't', 'e', 'd'});
    ASSERT_EQ(run("touch -d '2024-03-05 14:22:08 UTC' " + shell_quote(local)), 0);
    ASSERT_EQ(run("mcopy -m -i " + shell_quote(img) + " " + shell_quote(local) + " ::/dated.txt"), 0);
    ASSERT_EQ(run("mdel -i " + shell_quote(img) + " ::/dated.txt"), 0);
    std::string to = dir / "times", out;
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to) + " --name '*ated.txt'"), &out), 0)
        << out;
    struct stat st {};
    ASSERT_EQ(::stat((to + "/#ated.txt").c_str(), &st), 0) << out;
    EXPECT_EQ(st.st_mtime, 1709648528);
}

TEST_F(cli_on_fat_image, recovers_through_a_real_loop_device) {
    qv::test::loop_device loop;
    std::string why;
    if (!loop.attach(img, false, &why)) GTEST_SKIP() << why;
    std::string to = dir / "from-loop";
    std::string out;
    ASSERT_EQ(run(std::string(QUORVANE_CLI) + " recover " + loop.path() + " --to " + shell_quote(to), &out), 0) << out;
    EXPECT_NE(out.find("recovered 3 of 3 files"), std::string::npos) << out;
    EXPECT_EQ(text_of(to + "/#.txt").size() + text_of(to + "/# (2).txt").size(), 23u);
}

// The states a listing line may carry.
const char* const state_names[] = {"unknown", "intact", "assembled", "overwritten", "damaged"};

size_t count_with(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

TEST_F(cli_on_fat_image, every_listed_item_carries_its_state) {
    std::string out;
    ASSERT_EQ(run(cli("scan --json " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 4u) << out;
    for (const auto& l : lines) {
        int states = 0;
        for (const char* s : state_names) states += l.find(std::string("\"state\":\"") + s + "\"") != std::string::npos;
        EXPECT_EQ(states, 1) << l;
        EXPECT_EQ(l.find("\"unreadable\""), std::string::npos) << "only damaged items say what is unreadable: " << l;
    }
    // The plain listing has a state column before the path.
    ASSERT_EQ(run(cli("scan " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    for (const auto& l : lines_of(out)) {
        if (l.find("<dir>") != std::string::npos) continue;
        int states = 0;
        for (const char* s : {"intact ", "assembled ", "overwritten ", "damaged ", " - "}) states += l.find(s) != std::string::npos;
        EXPECT_EQ(states, 1) << l;
    }
}

struct filter_case {
    const char* options;
    size_t lines;  // the three deleted files are 11, 12 and 24 bytes, modified today
};

class cli_filters : public cli_on_fat_image, public ::testing::WithParamInterface<filter_case> {};

TEST_P(cli_filters, narrow_the_listing) {
    const auto& c = GetParam();
    std::string out;
    ASSERT_EQ(run(cli("scan --json " + std::string(c.options) + " " + shell_quote(img)) + " 2>/dev/null", &out), 0)
        << c.options;
    EXPECT_EQ(lines_of(out).size(), c.lines) << c.options << "\n" << out;
    EXPECT_EQ(out.find("\"directory\":true"), std::string::npos) << "a filter lists files only";
}

INSTANTIATE_TEST_SUITE_P(options, cli_filters,
                         ::testing::Values(filter_case{"--type txt", 3}, filter_case{"--type jpg,heic", 0},
                                           filter_case{"--type TXT,jpg", 3}, filter_case{"--min-size 12", 2},
                                           filter_case{"--min-size 1K", 0}, filter_case{"--name '*.TXT'", 3},
                                           filter_case{"--name 'Sub/*'", 1}, filter_case{"--after 2000-01-01", 3},
                                           filter_case{"--before 2000-01-01", 0},
                                           filter_case{"--after 2000-01-01 --before 2999-12-31 --min-size 20", 1},
                                           filter_case{"--state intact,assembled,overwritten,damaged,unknown", 3}));

TEST_F(cli_on_fat_image, states_split_the_files_and_skipping_leaves_out_exactly_those) {
    std::string out;
    size_t total = 0, overwritten = 0, damaged = 0;
    for (const char* s : state_names) {
        ASSERT_EQ(run(cli("scan --json --state " + std::string(s) + " " + shell_quote(img)) + " 2>/dev/null", &out), 0);
        const size_t n = lines_of(out).size();
        EXPECT_EQ(count_with(out, std::string("\"state\":\"") + s + "\""), n) << s;
        total += n;
        if (std::string(s) == "overwritten") overwritten = n;
        if (std::string(s) == "damaged") damaged = n;
    }
    EXPECT_EQ(total, 3u) << "every deleted file has exactly one state";

    std::string to = dir / "kept";
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to) + " --skip-overwritten --skip-damaged") +
                      " 2>&1",
                  &out),
              0)
        << out;
    const size_t kept = 3 - overwritten - damaged;
    EXPECT_NE(out.find("recovered " + std::to_string(kept) + " of " + std::to_string(kept) + " files"),
              std::string::npos)
        << out;
}

TEST_F(cli_on_fat_image, filters_choose_what_is_recovered) {
    std::string to = dir / "big";
    std::string out;
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to) + " --keep-tree --min-size 20") + " 2>&1",
                  &out),
              0)
        << out;
    EXPECT_NE(out.find("recovered 1 of 1 files"), std::string::npos) << out;
    size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(to)) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
    std::string sub;
    for (const auto& e : std::filesystem::directory_iterator(to + "/Sub")) sub = e.path();
    EXPECT_EQ(text_of(sub), "third file, in a folder\n");

    // The count of what the scan found stays; the filter only narrows what is listed.
    ASSERT_EQ(run(cli("scan --type txt --min-size 12 " + shell_quote(img)) + " 2>&1 >/dev/null", &out), 0);
    EXPECT_NE(out.find("3 deleted files found, 2 of them match the filter"), std::string::npos) << out;
}

TEST_F(cli_on_fat_image, filter_values_it_cannot_read_exit_2_with_one_line) {
    for (const char* bad : {"--min-size lots", "--after 2024-02-30", "--before yesterday", "--state fine",
                            "--type ,", "--after 2024-05-02 --before 2024-05-01"}) {
        std::string out;
        EXPECT_EQ(run(cli("scan " + std::string(bad) + " " + shell_quote(img)) + " 2>&1", &out), 2) << bad;
        EXPECT_EQ(lines_of(out).size(), 1u) << bad << ": " << out;
        EXPECT_EQ(run(cli("recover " + std::string(bad) + " --to " + shell_quote(dir / "never") + " " + shell_quote(img)) +
                          " 2>&1",
                      &out),
                  2)
            << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "never"));
}

TEST(cli_demo, recovers_every_deleted_file_of_its_own_image) {
    std::string out;
    ASSERT_EQ(run(cli("demo"), &out), 0) << out;
    EXPECT_EQ(out.find("DIFFERS"), std::string::npos) << out;
    size_t identical = 0;
    for (size_t p = 0; (p = out.find("identical", p)) != std::string::npos; ++p) ++identical;
    EXPECT_EQ(identical, 5u) << out;
    auto folder = out.substr(out.rfind("are in ") + 7);
    folder = folder.substr(0, folder.find('\n'));
    std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
}

}  // namespace

namespace {

TEST(cli_partitions, finds_a_lost_partition_writes_the_table_and_puts_a_sector_back) {
    for (const char* tool : {"sfdisk", "mkntfs"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "disk.img";
    std::string part = dir / "ntfs.part";
    ASSERT_EQ(run("truncate -s 64M " + shell_quote(img) + " && truncate -s 20M " + shell_quote(part)), 0);
    ASSERT_EQ(run("mkntfs -F -Q -q -p 2048 " + shell_quote(part) + " && dd if=" + shell_quote(part) + " of=" +
                  shell_quote(img) + " bs=512 seek=2048 conv=notrunc status=none"),
              0);
    std::string env = "XDG_DATA_HOME=" + shell_quote(dir / "data") + " ";
    std::string out;
    ASSERT_EQ(run(env + cli("partitions --json " + shell_quote(img)) + " 2>/dev/null", &out), 0) << out;
    EXPECT_EQ(out, "{\"table\":\"none\",\"summary\":\"no partition table\",\"gpt_primary\":{\"state\":\"missing\","
                   "\"problem\":\"\"},\"gpt_backup\":{\"state\":\"missing\",\"problem\":\"\"},\"listed\":0}\n"
                   "{\"number\":1,\"file_system\":\"NTFS\",\"type\":7,\"first_sector\":2048,\"last_sector\":43007,"
                   "\"size\":20971520,\"kind\":\"ntfs\",\"label\":\"\",\"state\":\"lost\"}\n");

    EXPECT_EQ(run(env + cli("partitions --write-mbr " + shell_quote(img)) + " >/dev/null 2>&1"), 2)
        << "writing needs --yes";
    ASSERT_EQ(run(env + cli("partitions --write-mbr --yes " + shell_quote(img)), &out), 0) << out;
    ASSERT_EQ(run("sfdisk -d " + shell_quote(img), &out), 0);
    EXPECT_NE(out.find("start=        2048, size=       40960, type=7, bootable"), std::string::npos) << out;

    // A second repair saves the first one's sector; putting that back leaves the same table.
    auto repaired = qv::test::read_file(img);
    ASSERT_EQ(run(env + cli("partitions --write-mbr --yes " + shell_quote(img)), &out), 0) << out;
    auto at = out.find("saved the replaced first sector to ");
    ASSERT_NE(at, std::string::npos) << out;
    std::string backup = out.substr(at + 35, out.find('\n', at) - at - 35);
    EXPECT_EQ(qv::test::read_file(backup).size(), 512u);
    ASSERT_EQ(run(env + cli("partitions --restore-mbr " + shell_quote(backup) + " " + shell_quote(img)), &out), 0)
        << out;
    EXPECT_EQ(qv::test::read_file(img), repaired);
}

// A volume made where no partitioning tool would start one is found only when
// every sector is asked for.
TEST(cli_partitions, every_sector_finds_a_volume_away_from_the_usual_starts) {
    if (!qv::test::have_tool("mkntfs")) GTEST_SKIP() << "mkntfs is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "disk.img";
    std::string part = dir / "ntfs.part";
    ASSERT_EQ(run("truncate -s 64M " + shell_quote(img) + " && truncate -s 20M " + shell_quote(part)), 0);
    ASSERT_EQ(run("mkntfs -F -Q -q -p 3333 " + shell_quote(part) + " && dd if=" + shell_quote(part) + " of=" +
                  shell_quote(img) + " bs=512 seek=3333 conv=notrunc status=none"),
              0);
    std::string env = "XDG_DATA_HOME=" + shell_quote(dir / "data") + " ";
    std::string out;
    ASSERT_EQ(run(env + cli("partitions " + shell_quote(img)) + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("0 partitions found"), std::string::npos) << out;
    ASSERT_EQ(run(env + cli("partitions --every-sector --json " + shell_quote(img)) + " 2>/dev/null", &out), 0) << out;
    EXPECT_NE(out.find("\"first_sector\":3333,\"last_sector\":44292,"), std::string::npos) << out;
}

}  // namespace

namespace {

TEST(cli_deep_scan, finds_files_on_a_reformatted_card_saves_and_resumes) {
    for (const char* tool : {"mkfs.fat", "mcopy"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "card.img";
    // A small valid PNG (1x1, IEND last) written byte by byte.
    const std::vector<uint8_t> png = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4,
        0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0,
        0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99, 0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45,
        0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    qv::test::write_file(dir / "dot.png", png);
    ASSERT_EQ(run("mkfs.fat -C -F 16 " + shell_quote(img) + " 20000"), 0);
    ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(dir / "dot.png") + " ::/dot.png"), 0);
    ASSERT_EQ(run("mkfs.fat -F 16 " + shell_quote(img)), 0);  // formatted again: no entry is left

    std::string sav = dir / "card.sav";
    std::string out;
    ASSERT_EQ(run(cli("scan --deep --json --save " + shell_quote(sav) + " " + shell_quote(img)) + " 2>/dev/null", &out),
              0);
    EXPECT_NE(out.find("\"path\":\"/png/00000000.png\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"type\":\"png\""), std::string::npos);
    EXPECT_NE(out.find("\"size\":" + std::to_string(png.size())), std::string::npos);

    // Filters by carved type; a carved file names its type in JSON and has a state.
    ASSERT_EQ(run(cli("scan --deep --json --type jpg,heic " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(run(cli("scan --deep --json --type PNG --min-size 60 " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    ASSERT_EQ(lines_of(out).size(), 1u) << out;
    EXPECT_NE(out.find("\"path\":\"/png/00000000.png\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"state\":\""), std::string::npos) << out;

    std::string to = dir / "resumed";
    ASSERT_EQ(run(cli("resume " + shell_quote(sav) + " --to " + shell_quote(to)), &out), 0) << out;
    EXPECT_EQ(qv::test::read_file(to + "/png/00000000.png"), png);

    qv::test::write_file(sav, {1, 2, 3});
    EXPECT_EQ(run(cli("resume " + shell_quote(sav) + " --to " + shell_quote(to)) + " 2>&1", &out), 2);
    EXPECT_EQ(lines_of(out).size(), 1u) << out;
}

TEST(cli_deep_scan, damaged_files_are_marked_and_can_be_left_out) {
    for (const char* tool : {"mkfs.fat", "mcopy"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "card.img";
    // A 1x1 PNG; the broken copy has one byte of its compressed data changed, so its CRC fails.
    const std::vector<uint8_t> png = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4,
        0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0,
        0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99, 0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45,
        0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    std::vector<uint8_t> broken = png;
    broken[45] ^= 0x10;
    qv::test::write_file(dir / "good.png", png);
    qv::test::write_file(dir / "bad.png", broken);
    ASSERT_EQ(run("mkfs.fat -C -F 16 " + shell_quote(img) + " 20000"), 0);
    for (const char* name : {"good.png", "bad.png"})
        ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(dir / name) + " ::/" + name), 0);
    ASSERT_EQ(run("mkfs.fat -F 16 " + shell_quote(img)), 0);

    std::string out;
    ASSERT_EQ(run(cli("scan --deep --json " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(count_with(out, "\"state\":\"intact\""), 1u) << out;
    EXPECT_EQ(count_with(out, "\"state\":\"damaged\""), 1u) << out;
    EXPECT_EQ(count_with(out, "\"unreadable\":"), 1u) << "a damaged file says how much is unreadable: " << out;
    ASSERT_EQ(run(cli("scan --deep --json --state damaged " + shell_quote(img)) + " 2>/dev/null", &out), 0);
    ASSERT_EQ(lines_of(out).size(), 1u) << out;
    EXPECT_NE(out.find("\"state\":\"damaged\""), std::string::npos);

    std::string to = dir / "out";
    ASSERT_EQ(run(cli("recover --deep --skip-damaged " + shell_quote(img) + " --to " + shell_quote(to)) + " 2>&1", &out), 0)
        << out;
    EXPECT_NE(out.find("recovered 1 of 1 files"), std::string::npos) << out;
    std::vector<std::vector<uint8_t>> recovered;
    for (const auto& e : std::filesystem::directory_iterator(to)) recovered.push_back(qv::test::read_file(e.path()));
    ASSERT_EQ(recovered.size(), 1u);
    EXPECT_EQ(recovered[0], png) << "the intact one is kept";
    // Without the option the damaged one is recovered too: it is still listed and recoverable.
    ASSERT_EQ(run(cli("recover --deep " + shell_quote(img) + " --to " + shell_quote(dir / "all")) + " 2>&1", &out), 0)
        << out;
    EXPECT_NE(out.find("recovered 2 of 2 files"), std::string::npos) << out;
}

// A PNG stored in two pieces with other data between them: listed once as
// "assembled" with both pieces' size, and written back byte for byte by
// recover and by resume of the saved result.
TEST(cli_deep_scan, a_png_in_two_pieces_comes_back_whole) {
    if (!qv::test::have_tool("convert")) GTEST_SKIP() << "convert (ImageMagick) is not installed";
    qv::test::temp_dir dir;
    const std::string made = dir / "made.png";
    ASSERT_EQ(run("convert -size 300x200 -seed 5 plasma:fractal " + shell_quote(made) + " 2>/dev/null"), 0);
    const std::vector<uint8_t> png = qv::test::read_file(made);
    constexpr size_t cluster = 4096, first_at = 8 * cluster, cut = 20 * cluster;
    ASSERT_GT(png.size(), cut + cluster);
    struct row {
        const char* name;
        bool zeros;
        const char* flags;
    };
    for (const row& r : {row{"noise gap, sector starts", false, ""}, row{"zero gap, every byte", true, "--every-byte "}}) {
        SCOPED_TRACE(r.name);
        // The first 20 clusters, 9 clusters of other data (or zeros), the rest.
        const size_t second_at = first_at + cut + 9 * cluster;
        std::vector<uint8_t> image = qv::test::pseudo_random_bytes(second_at + png.size() + 4 * cluster, 42);
        if (r.zeros) std::fill(image.begin() + first_at + cut, image.begin() + second_at, 0);
        std::copy(png.begin(), png.begin() + cut, image.begin() + first_at);
        std::copy(png.begin() + cut, png.end(), image.begin() + second_at);
        const std::string img = dir / "split.img", sav = dir / "split.sav";
        qv::test::write_file(img, image);

        std::string out;
        ASSERT_EQ(run(cli(std::string("scan --deep --json ") + r.flags + "--type png --save " + shell_quote(sav) + " " +
                          shell_quote(img)) + " 2>/dev/null", &out), 0);
        ASSERT_EQ(lines_of(out).size(), 1u) << out;
        EXPECT_NE(out.find("\"state\":\"assembled\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"size\":" + std::to_string(png.size())), std::string::npos) << out;

        const std::string to = dir / "out", resumed = dir / "resumed";
        std::filesystem::remove_all(to);
        std::filesystem::remove_all(resumed);
        ASSERT_EQ(run(cli(std::string("recover --deep ") + r.flags + "--type png " + shell_quote(img) + " --to " +
                          shell_quote(to)) + " 2>&1", &out), 0) << out;
        ASSERT_EQ(run(cli("resume " + shell_quote(sav) + " --to " + shell_quote(resumed)) + " 2>&1", &out), 0) << out;
        for (const std::string& folder : {to, resumed}) {
            std::vector<std::vector<uint8_t>> files;
            for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
                if (e.is_regular_file() && e.path().extension() == ".png") files.push_back(qv::test::read_file(e.path()));
            ASSERT_EQ(files.size(), 1u) << folder;
            EXPECT_EQ(files[0], png) << folder;
        }
    }
}

// Carved files named after their tags: two photos taken in the same second by
// the same camera (the second gets " (2)"), one without EXIF (keeps its
// number), a song and a document; written back byte for byte under those names.
TEST(cli_deep_scan, names_from_content) {
    for (const char* tool : {"convert", "exiftool", "ffmpeg"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    const std::string a = dir / "a.jpg", b = dir / "b.jpg", plain = dir / "plain.jpg", song = dir / "song.mp3";
    ASSERT_EQ(run("convert -size 80x60 -seed 1 plasma:fractal " + shell_quote(a)), 0);
    ASSERT_EQ(run("convert -size 90x70 -seed 2 plasma:fractal " + shell_quote(b)), 0);
    ASSERT_EQ(run("convert -size 70x50 -seed 3 plasma:fractal -strip " + shell_quote(plain)), 0);
    for (const auto& photo : {a, b})
        ASSERT_EQ(run("exiftool -q -overwrite_original '-DateTimeOriginal=2024:05:01 13:45:12' '-Model=Canon EOS R6' " +
                      shell_quote(photo)), 0);
    ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=2 -id3v2_version 3 "
                  "-metadata title=Title -metadata artist=Artist " + shell_quote(song)), 0);
    const std::string pdf_text = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                                 "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
                                 "3 0 obj\n<< /Title (Quarterly: Plan/B) >>\nendobj\n"
                                 "trailer\n<< /Size 4 /Root 1 0 R /Info 3 0 R >>\n%%EOF\n";
    const std::vector<uint8_t> pdf(pdf_text.begin(), pdf_text.end());

    struct placed {
        std::vector<uint8_t> bytes;
        std::string name;  // under --name-from-content
    };
    std::vector<placed> files{{qv::test::read_file(a), "2024-05-01 13-45-12 Canon EOS R6.jpg"},
                              {qv::test::read_file(b), "2024-05-01 13-45-12 Canon EOS R6 (2).jpg"},
                              {qv::test::read_file(plain), ""},
                              {qv::test::read_file(song), "Artist - Title.mp3"},
                              {pdf, "Quarterly: Plan_B.pdf"}};
    constexpr size_t cluster = 4096;
    std::vector<uint8_t> image(cluster * 4, 0);
    for (const placed& f : files) {
        image.insert(image.end(), f.bytes.begin(), f.bytes.end());
        image.resize((image.size() / cluster + 4) * cluster, 0);
    }
    const std::string img = dir / "card.img", sav = dir / "card.sav";
    qv::test::write_file(img, image);

    std::string out;
    ASSERT_EQ(run(cli("scan --deep --json --name-from-content --save " + shell_quote(sav) + " " + shell_quote(img)) +
                  " 2>/dev/null", &out), 0);
    for (const placed& f : files) {
        if (f.name.empty()) continue;
        EXPECT_NE(out.find("\"name\":\"" + f.name + "\""), std::string::npos) << f.name << "\n" << out;
    }
    EXPECT_EQ(count_with(out, "\"name\":\"0"), 1u) << "the photo without EXIF keeps its number: " << out;
    // Without the option the numbered names stay.
    std::string numbered;
    ASSERT_EQ(run(cli("scan --deep --json " + shell_quote(img)) + " 2>/dev/null", &numbered), 0);
    EXPECT_EQ(count_with(numbered, "\"name\":\"0"), files.size()) << numbered;

    const std::string to = dir / "out", resumed = dir / "resumed";
    ASSERT_EQ(run(cli("recover --deep --name-from-content " + shell_quote(img) + " --to " + shell_quote(to)) + " 2>&1",
                  &out), 0) << out;
    ASSERT_EQ(run(cli("resume --name-from-content " + shell_quote(sav) + " --to " + shell_quote(resumed)) + " 2>&1",
                  &out), 0) << out;
    for (const std::string& folder : {to, resumed}) {
        std::map<std::string, std::vector<uint8_t>> got;
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
            if (e.is_regular_file()) got[e.path().filename().string()] = qv::test::read_file(e.path());
        EXPECT_EQ(got.size(), files.size()) << folder;
        for (const placed& f : files) {
            if (f.name.empty()) {
                auto numbered_file = std::find_if(got.begin(), got.end(), [&](const auto& g) { return g.second == f.bytes; });
                ASSERT_NE(numbered_file, got.end()) << folder;
                EXPECT_EQ(numbered_file->first.front(), '0') << numbered_file->first;
                continue;
            }
            ASSERT_TRUE(got.count(f.name)) << folder << ": " << f.name;
            EXPECT_EQ(got[f.name], f.bytes) << folder << ": " << f.name;
        }
    }
}

}  // namespace

#include "tests/ntfsscan/ntfs_test_image.hpp"

namespace {

TEST(cli_ntfs, recovers_a_deleted_folder_with_its_files) {
    qv::test::temp_dir dir;
    std::string img = dir / "ntfs.img", why;
    if (!qv::test::make_ntfs_image(img, 40 << 20, &why)) GTEST_SKIP() << why;
    auto big = qv::test::pseudo_random_bytes(100000, 21), small = qv::test::pseudo_random_bytes(300, 22);
    {
        qv::test::ntfs_mount m;
        if (!m.mount(img, dir / "mnt", &why)) GTEST_SKIP() << why;
        std::filesystem::create_directories(m / "Folder");
        qv::test::write_file(m / "Folder/big.bin", big);
        qv::test::write_file(m / "Folder/small.txt", small);
        qv::test::write_file(m / "kept.txt", {'k'});
        std::filesystem::remove_all(m / "Folder");
        ASSERT_TRUE(m.unmount());
    }
    std::string to = dir / "out", out;
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to) + " --keep-tree"), &out), 0) << out;
    EXPECT_EQ(qv::test::read_file(to + "/Folder/big.bin"), big);
    EXPECT_EQ(qv::test::read_file(to + "/Folder/small.txt"), small) << "a small file kept inside its record";
    EXPECT_FALSE(std::filesystem::exists(to + "/kept.txt")) << "live files are not recovered";
}

TEST(cli_ntfs, recovered_files_keep_their_modification_time) {
    qv::test::temp_dir dir;
    std::string img = dir / "ntfs.img", why;
    if (!qv::test::make_ntfs_image(img, 16 << 20, &why)) GTEST_SKIP() << why;
    {
        qv::test::ntfs_mount m;
        if (!m.mount(img, dir / "mnt", &why)) GTEST_SKIP() << why;
        qv::test::write_file(m / "dated.bin", qv::test::pseudo_random_bytes(5000, 3));
        ASSERT_EQ(run("touch -d '2021-07-09 08:07:06 UTC' " + shell_quote(m / "dated.bin")), 0);
        std::filesystem::remove(m / "dated.bin");
        ASSERT_TRUE(m.unmount());
    }
    std::string to = dir / "out", out;
    ASSERT_EQ(run(cli("recover " + shell_quote(img) + " --to " + shell_quote(to)), &out), 0) << out;
    struct stat st {};
    ASSERT_EQ(::stat((to + "/dated.bin").c_str(), &st), 0) << out;
    EXPECT_EQ(st.st_mtime, 1625818026);
}

}  // namespace
