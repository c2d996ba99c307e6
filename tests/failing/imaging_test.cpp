// Imaging a failing drive: the mapfile's rules, exact images around unreadable
// areas of the FUSE faulty disk, a vanished source, and a copy killed midway
// that resumes to the same image and map.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "devices/device_handle.hpp"
#include "imaging/image_copier.hpp"
#include "imaging/rescue_map.hpp"
#include "tests/support/faulty_disk.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::imaging::area;
using qv::imaging::map_block;
using qv::imaging::rescue_map;
using qv::test::shell_quote;

std::string blocks_text(const rescue_map& m) {
    std::string s;
    for (const auto& b : m.blocks()) s += std::to_string(b.pos) + "+" + std::to_string(b.size) + char(b.status) + " ";
    return s;
}

TEST(RescueMap, MarksSplitAndMergeAreas) {
    rescue_map m(10000);
    m.set(1000, 500, area::finished);
    EXPECT_EQ(blocks_text(m), "0+1000? 1000+500+ 1500+8500? ");
    m.set(0, 1000, area::finished);
    EXPECT_EQ(blocks_text(m), "0+1500+ 1500+8500? ");
    m.set(1400, 200, area::bad_sector);
    EXPECT_EQ(blocks_text(m), "0+1400+ 1400+200- 1600+8400? ");
    m.set(9000, 5000, area::non_trimmed);  // clamped to the end
    EXPECT_EQ(blocks_text(m), "0+1400+ 1400+200- 1600+7400? 9000+1000* ");
    m.set(0, 10000, area::finished);
    EXPECT_EQ(blocks_text(m), "0+10000+ ");
    EXPECT_EQ(m.bytes_in(area::finished), 10000u);
    EXPECT_FALSE(m.next_in(area::bad_sector, 0));
}

TEST(RescueMap, TextReadsBackAsItWasWritten) {
    rescue_map m(0x100000);
    m.set(0, 0x8000, area::finished);
    m.set(0x8000, 0x200, area::bad_sector);
    m.set(0x8200, 0x1000, area::non_scraped);
    m.current_pos = 0x8200;
    m.current_phase = qv::imaging::phase::scraping;
    m.current_pass = 1;
    const std::string text = m.text({"Start time: now"});
    EXPECT_NE(text.find("# current_pos  current_status  current_pass\n0x00008200     /               1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("0x00008000  0x00000200  -\n"), std::string::npos) << text;
    std::string error;
    auto back = rescue_map::parse(text, 0x100000, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(blocks_text(*back), blocks_text(m));
    EXPECT_EQ(back->current_pos, 0x8200u);
    EXPECT_EQ(back->current_phase, qv::imaging::phase::scraping);
}

struct bad_map_row {
    const char* what;
    const char* text;
};

class HostileMap : public testing::TestWithParam<bad_map_row> {};

TEST_P(HostileMap, IsRefusedWithAReason) {
    std::string error;
    EXPECT_FALSE(rescue_map::parse(GetParam().text, 0x1000, &error)) << GetParam().what;
    EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileMap,
    testing::Values(bad_map_row{"empty", ""}, bad_map_row{"comments only", "# x\n# y\n"},
                    bad_map_row{"no areas", "0 ? 1\n"},
                    bad_map_row{"gap", "0 ? 1\n0 0x800 +\n0x900 0x700 +\n"},
                    bad_map_row{"overlap", "0 ? 1\n0 0x800 +\n0x700 0x900 +\n"},
                    bad_map_row{"past the end", "0 ? 1\n0 0x2000 +\n"},
                    bad_map_row{"short of the end", "0 ? 1\n0 0x800 +\n"},
                    bad_map_row{"unknown status", "0 ? 1\n0 0x1000 x\n"},
                    bad_map_row{"zero size", "0 ? 1\n0 0 +\n0 0x1000 +\n"},
                    bad_map_row{"negative", "0 ? 1\n-1 0x1000 +\n"},
                    bad_map_row{"overflow", "0 ? 1\n0 0xFFFFFFFFFFFFFFFFFF +\n"},
                    bad_map_row{"bad status line", "zero ? 1\n0 0x1000 +\n"}),
    [](const auto& info) {
        std::string n = info.param.what;
        for (auto& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(RescueMap, ReadsAMapWrittenByHandInDdrescuesForm) {
    const char* text =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# current_pos  current_status  current_pass\n"
        "0x00000800     *               1\n"
        "#      pos        size  status\n"
        "0x00000000  0x00000400  +\n"
        "0x00000400  0x00000400  *\n"
        "0x00000800  0x00000800  ?\n";
    std::string error;
    auto m = rescue_map::parse(text, 0x1000, &error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(blocks_text(*m), "0+1024+ 1024+1024* 2048+2048? ");
}

// ---- on the faulty disk ----

constexpr size_t source_bytes = 4 << 20;

struct bad_area {
    uint64_t offset, length;
};
// A 4 KiB area, a lone sector, two areas close together, the very last sector.
const bad_area bad_areas[] = {{0x21000, 0x1000}, {0x100200, 0x200}, {0x200000, 0x1000},
                              {0x203000, 0x2000}, {source_bytes - 0x200, 0x200}};

qv::test::faulty_options faulty_with_bad_areas() {
    qv::test::faulty_options o;
    for (const auto& b : bad_areas) o.bad.push_back({b.offset, b.length, 0});
    return o;
}

bool in_bad_area(uint64_t pos) {
    for (const auto& b : bad_areas)
        if (pos >= b.offset && pos < b.offset + b.length) return true;
    return false;
}

// The image holds the source outside the bad areas and zeros inside them.
void expect_image(const std::vector<uint8_t>& source, const std::vector<uint8_t>& image) {
    ASSERT_EQ(image.size(), source.size());
    size_t wrong = 0;
    for (size_t i = 0; i < source.size(); i += 512) {
        bool bad = in_bad_area(i);
        bool same = std::memcmp(&source[i], &image[i], 512) == 0;
        bool zero = std::all_of(&image[i], &image[i] + 512, [](uint8_t b) { return b == 0; });
        if (bad ? !zero : !same) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "sectors that differ from what they should be";
}

// The map's areas: exactly the bad ones '-', everything else '+'.
std::string expected_blocks() {
    rescue_map m(source_bytes);
    m.set(0, source_bytes, area::finished);
    for (const auto& b : bad_areas) m.set(b.offset, b.length, area::bad_sector);
    return blocks_text(m);
}

std::string map_blocks_of(const std::string& path) {
    auto bytes = qv::test::read_file(path);
    std::string error;
    auto m = rescue_map::parse(std::string(bytes.begin(), bytes.end()), source_bytes, &error);
    EXPECT_TRUE(m) << error;
    return m ? blocks_text(*m) : std::string();
}

class ImagingFaultyDisk : public testing::Test {
protected:
    void SetUp() override {
        source = qv::test::pseudo_random_bytes(source_bytes, 42);
        // Some zeros, which the image need not write.
        std::fill(source.begin() + 0x300000, source.begin() + 0x340000, 0);
        qv::test::write_file(dir / "source.img", source);
    }
    qv::test::temp_dir dir;
    std::vector<uint8_t> source;
};

TEST_F(ImagingFaultyDisk, CopiesAroundEveryBadAreaAndMapsExactlyThem) {
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "source.img", dir / "mnt", faulty_with_bad_areas());
    auto dev = qv::file_device::open(disk.path(), 0, 0, true, qv::access_mode::read_only, nullptr);
    ASSERT_TRUE(dev);
    qv::imaging::imaging_options options;
    options.retry_passes = 1;
    int progress_calls = 0;
    qv::imaging::imaging_hooks hooks;
    hooks.progress = [&](const qv::imaging::imaging_progress&) { ++progress_calls; };
    auto out = qv::imaging::copy_to_image(*dev, dir / "copy.img", dir / "copy.map", options, hooks);
    ASSERT_EQ(out.result, qv::imaging::imaging_result::finished) << out.message;
    EXPECT_FALSE(out.resumed);
    EXPECT_GT(progress_calls, 0);
    uint64_t bad_total = 0;
    for (const auto& b : bad_areas) bad_total += b.length;
    EXPECT_EQ(out.last.bad_bytes, bad_total);
    EXPECT_EQ(out.last.rescued, source_bytes - bad_total);
    EXPECT_EQ(out.last.error_areas, 5u) << "each bad area is one area of the map";
    expect_image(source, qv::test::read_file(dir / "copy.img"));
    EXPECT_EQ(map_blocks_of(dir / "copy.map"), expected_blocks());
    auto text = qv::test::read_file(dir / "copy.map");
    EXPECT_NE(std::string(text.begin(), text.end()).find("\n0x00400000     +               "), std::string::npos)
        << "the status line says finished at the end";

    if (qv::test::have_tool("ddrescuelog")) {  // GNU's own reader agrees
        std::string listed;
        ASSERT_EQ(qv::test::run("ddrescuelog -b 512 -l- " + shell_quote(dir / "copy.map"), &listed), 0) << listed;
        size_t sectors = 0;
        std::istringstream in(listed);
        for (std::string line; std::getline(in, line);) ++sectors;
        EXPECT_EQ(sectors, bad_total / 512) << listed;
    }

    // Running again over a finished map reads nothing and changes nothing.
    auto again = qv::imaging::copy_to_image(*dev, dir / "copy.img", dir / "copy.map", options, {});
    EXPECT_EQ(again.result, qv::imaging::imaging_result::finished);
    EXPECT_TRUE(again.resumed);
    expect_image(source, qv::test::read_file(dir / "copy.img"));
}

TEST_F(ImagingFaultyDisk, AVanishedSourceKeepsTheMapAndContinuesWhenBack) {
    qv::imaging::imaging_options options;
    options.retry_passes = 0;
    {
        auto faulty = faulty_with_bad_areas();
        faulty.vanish_after = 0x180000;
        qv::test::faulty_disk disk;
        QV_MOUNT_FAULTY(disk, dir / "source.img", dir / "mnt", faulty);
        auto dev = qv::file_device::open(disk.path(), 0, 0, true, qv::access_mode::read_only, nullptr);
        ASSERT_TRUE(dev);
        auto out = qv::imaging::copy_to_image(*dev, dir / "copy.img", dir / "copy.map", options, {});
        ASSERT_EQ(out.result, qv::imaging::imaging_result::source_gone) << out.message;
        EXPECT_NE(out.message.find("source has gone"), std::string::npos);
        EXPECT_GT(out.last.rescued, 0u);
        EXPECT_LT(out.last.rescued, source_bytes / 2);
    }
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "source.img", dir / "mnt2", faulty_with_bad_areas());
    auto dev = qv::file_device::open(disk.path(), 0, 0, true, qv::access_mode::read_only, nullptr);
    ASSERT_TRUE(dev);
    auto out = qv::imaging::copy_to_image(*dev, dir / "copy.img", dir / "copy.map", options, {});
    ASSERT_EQ(out.result, qv::imaging::imaging_result::finished) << out.message;
    EXPECT_TRUE(out.resumed);
    expect_image(source, qv::test::read_file(dir / "copy.img"));
    EXPECT_EQ(map_blocks_of(dir / "copy.map"), expected_blocks());
}

TEST_F(ImagingFaultyDisk, AKilledCopyResumesToTheSameImageAndMap) {
    auto faulty = faulty_with_bad_areas();
    faulty.slow.push_back({0, source_bytes, 20});  // every read waits, so the copy can be caught midway
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "source.img", dir / "mnt", faulty);
    const std::string image = dir / "copy.img", map = dir / "copy.map";
    const std::string command = std::string("env QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " image " +
                                shell_quote(disk.path()) + " --to " + shell_quote(image) + " --map " +
                                shell_quote(map) + " --save-every 0.05 --retries 1";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", ("exec " + command + " >/dev/null 2>&1").c_str(), (char*)nullptr);
        ::_exit(127);
    }
    // Wait for a map that shows part of the copy done, then pull the plug.
    bool midway = false;
    for (int i = 0; i < 2000 && !midway; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto bytes = qv::test::read_file(map);
        std::string text(bytes.begin(), bytes.end());
        // Some of it copied, and the status line not yet "finished".
        midway = text.find("  +\n") != std::string::npos && text.find("\n0x00400000     +") == std::string::npos;
        if (::waitpid(child, nullptr, WNOHANG) == child) {
            child = -1;
            break;
        }
    }
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(midway) << "the copy ended before it could be interrupted";

    std::string out;
    EXPECT_EQ(qv::test::run(command, &out), 1) << out << "\n(1: complete but some sectors unreadable)";
    EXPECT_NE(out.find("continued "), std::string::npos) << out;
    expect_image(source, qv::test::read_file(image));
    EXPECT_EQ(map_blocks_of(map), expected_blocks());
}

TEST(ImagingCli, RefusesToWriteTheImageOverItsSource) {
    qv::test::temp_dir dir;
    qv::test::write_file(dir / "a.img", qv::test::pseudo_random_bytes(4096, 1));
    std::string out;
    EXPECT_EQ(qv::test::run(std::string(QUORVANE_CLI) + " image " + shell_quote(dir / "a.img") + " --to " +
                                shell_quote(dir / "a.img"),
                            &out),
              2)
        << out;
    EXPECT_EQ(qv::test::read_file(dir / "a.img"), qv::test::pseudo_random_bytes(4096, 1));
}

TEST(ImagingCli, ACleanSourceIsCopiedExactlyWithAFinishedMap) {
    qv::test::temp_dir dir;
    auto bytes = qv::test::pseudo_random_bytes(3 << 20 | 0x600, 5);  // not a whole number of blocks
    qv::test::write_file(dir / "a.img", bytes);
    std::string out;
    ASSERT_EQ(qv::test::run(std::string(QUORVANE_CLI) + " image " + shell_quote(dir / "a.img") + " --to " +
                                shell_quote(dir / "b.img"),
                            &out),
              0)
        << out;
    EXPECT_EQ(qv::test::read_file(dir / "b.img"), bytes);
    auto map = qv::test::read_file(dir / "b.img.map");
    std::string text(map.begin(), map.end());
    EXPECT_NE(text.find("0x00000000  0x00300600  +\n"), std::string::npos) << text;
}

}  // namespace
