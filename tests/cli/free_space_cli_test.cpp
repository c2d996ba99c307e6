// quorvane-cli scan --deep --free-space on FAT, exFAT, NTFS and ext4 images made
// by the file systems' own tools: live files, deleted ones, and a photo written
// straight into free space that no entry points to.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "engine/deep_checkpoint.hpp"
#include "engine/scan_result_file.hpp"
#include "tests/exfat/exfat_test_image.hpp"
#include "tests/ext4/ext4_test_image.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"
#include "tests/support/test_support.hpp"

namespace fs = std::filesystem;
using qv::test::run;
using qv::test::shell_quote;
using qv::test::temp_dir;

namespace {

std::string cli(const std::string& args) { return std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " " + args; }

struct carved_file {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// The photos and pictures a test puts on its volume, made by ImageMagick.
struct samples {
    std::string live_jpg, live_png, gone_jpg, free_jpg;
    uint64_t live_jpg_size = 0, live_png_size = 0, gone_jpg_size = 0, free_jpg_size = 0;
};

bool make_samples(const temp_dir& dir, samples* s, std::string* why) {
    if (!qv::test::have_tool("convert")) return *why = "convert (ImageMagick) is not installed", false;
    s->live_jpg = dir / "live.jpg";
    s->live_png = dir / "live.png";
    s->gone_jpg = dir / "gone.jpg";
    s->free_jpg = dir / "free.jpg";
    const std::pair<std::string, std::string> made[] = {
        {"-size 640x480 plasma:fractal -quality 90", s->live_jpg},
        {"-size 300x200 gradient:red-blue", s->live_png},
        {"-size 500x400 plasma:fractal -quality 80", s->gone_jpg},
        {"-size 400x300 plasma:fractal -quality 85", s->free_jpg},
    };
    for (const auto& [how, path] : made)
        if (run("convert " + how + " " + shell_quote(path) + " 2>/dev/null") != 0)
            return *why = "convert could not make " + path, false;
    s->live_jpg_size = fs::file_size(s->live_jpg);
    s->live_png_size = fs::file_size(s->live_png);
    s->gone_jpg_size = fs::file_size(s->gone_jpg);
    s->free_jpg_size = fs::file_size(s->free_jpg);
    std::set<uint64_t> sizes{s->live_jpg_size, s->live_png_size, s->gone_jpg_size, s->free_jpg_size};
    if (sizes.size() != 4) return *why = "two samples came out the same size", false;
    return true;
}

// The carved files of a deep scan (--json), with its standard error in *err.
std::vector<carved_file> deep_scan(const temp_dir& dir, const std::string& args, std::string* err, int* rc = nullptr) {
    const std::string err_file = dir / "stderr.txt";
    std::string out;
    const int status = run(cli("scan --json --deep " + args) + " 2>" + shell_quote(err_file), &out);
    if (rc) *rc = status;
    auto bytes = qv::test::read_file(err_file);
    *err = std::string(bytes.begin(), bytes.end());
    std::vector<carved_file> found;
    static const std::regex item(R"re("size":(\d+).*"offset":(\d+))re");
    std::smatch m;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, item)) found.push_back({std::stoull(m[2]), std::stoull(m[1])});
    return found;
}

bool has_size(const std::vector<carved_file>& files, uint64_t size) {
    for (const auto& f : files)
        if (f.size == size) return true;
    return false;
}

bool has_at(const std::vector<carved_file>& files, uint64_t offset, uint64_t size) {
    for (const auto& f : files)
        if (f.offset == offset && f.size == size) return true;
    return false;
}

// Whether the file-system scan (no --deep) lists a deleted file of that size.
bool lists_deleted_of_size(const std::string& image, uint64_t size) {
    std::string out;
    run(cli("scan --json " + shell_quote(image)) + " 2>/dev/null", &out);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.find("\"size\":" + std::to_string(size) + ",") != std::string::npos &&
            line.find("\"deleted\":true") != std::string::npos)
            return true;
    return false;
}

void put_at(const std::string& image, const std::string& file, uint64_t offset) {
    ASSERT_EQ(run("dd if=" + shell_quote(file) + " of=" + shell_quote(image) + " bs=512 seek=" +
                  std::to_string(offset / 512) + " conv=notrunc status=none"),
              0);
}

// What every file system must give: the whole volume's deep scan carves the
// live files and the photo in free space; the free-space scan only the latter,
// and never a deleted file the file-system scan lists.
void expect_free_space_scan(const temp_dir& dir, const std::string& image, const samples& s, uint64_t free_at) {
    std::string err;
    auto whole = deep_scan(dir, shell_quote(image), &err);
    EXPECT_TRUE(has_size(whole, s.live_jpg_size)) << "the whole-volume scan carves the live photo\n" << err;
    EXPECT_TRUE(has_size(whole, s.live_png_size)) << "the whole-volume scan carves the live picture";
    EXPECT_TRUE(has_at(whole, free_at, s.free_jpg_size)) << "the photo in free space, at byte " << free_at;

    int rc = -1;
    auto free = deep_scan(dir, shell_quote(image) + " --free-space", &err, &rc);
    EXPECT_EQ(rc, 0) << err;
    EXPECT_NE(err.find("bytes ("), std::string::npos) << err;
    EXPECT_NE(err.find("in use by the"), std::string::npos) << "how much was skipped is said: " << err;
    EXPECT_EQ(err.find("free space unknown"), std::string::npos) << err;
    EXPECT_FALSE(has_size(free, s.live_jpg_size)) << "a live file's space is not read";
    EXPECT_FALSE(has_size(free, s.live_png_size)) << "a live file's space is not read";
    EXPECT_TRUE(has_at(free, free_at, s.free_jpg_size)) << "the photo no entry points to is found\n" << err;
    if (lists_deleted_of_size(image, s.gone_jpg_size)) {
        EXPECT_FALSE(has_size(free, s.gone_jpg_size)) << "a deleted file the file-system scan lists is not listed again";
    }
    EXPECT_LT(free.size(), whole.size());
}

// Three quarters into the volume, on a 64 KiB boundary: past what a few small
// files take on a fresh volume of these sizes.
uint64_t far_offset(const std::string& image) { return fs::file_size(image) / 4 * 3 / 65536 * 65536; }

TEST(FreeSpaceCli, FatVolume) {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    temp_dir dir;
    samples s;
    std::string why;
    if (!make_samples(dir, &s, &why)) GTEST_SKIP() << why;
    const std::string image = dir / "fat.img";
    ASSERT_EQ(run("mkfs.fat -C -F 16 -n FREE " + shell_quote(image) + " 32768 >/dev/null"), 0);
    const std::string i = "mcopy -i " + shell_quote(image) + " ";
    ASSERT_EQ(run(i + shell_quote(s.live_jpg) + " ::/live.jpg"), 0);
    ASSERT_EQ(run(i + shell_quote(s.gone_jpg) + " ::/gone.jpg"), 0);
    ASSERT_EQ(run(i + shell_quote(s.live_png) + " ::/live.png"), 0);
    ASSERT_EQ(run("mdel -i " + shell_quote(image) + " ::/gone.jpg"), 0);
    const uint64_t at = far_offset(image);
    put_at(image, s.free_jpg, at);
    ASSERT_TRUE(lists_deleted_of_size(image, s.gone_jpg_size)) << "the FAT scan lists the deleted photo";
    expect_free_space_scan(dir, image, s, at);

    // recover takes the option the same way: only the photo in free space comes back, whole.
    const std::string to = dir / "out";
    std::string out;
    ASSERT_EQ(run(cli("recover " + shell_quote(image) + " --deep --free-space --to " + shell_quote(to)) + " 2>&1", &out), 0)
        << out;
    std::vector<std::string> written;
    for (const auto& entry : fs::recursive_directory_iterator(to))
        if (entry.is_regular_file()) written.push_back(entry.path());
    ASSERT_EQ(written.size(), 1u) << out;
    EXPECT_EQ(qv::test::read_file(written[0]), qv::test::read_file(s.free_jpg));
}

// A checkpoint of an interrupted scan is continued only by a scan of the same
// kind: free space by free space, whole volume by whole volume.
TEST(FreeSpaceCli, CheckpointsAreResumedOnlyInTheirOwnMode) {
    for (const char* tool : {"mkfs.fat", "mcopy"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    temp_dir dir;
    const std::string image = dir / "fat.img";
    ASSERT_EQ(run("mkfs.fat -C -F 16 " + shell_quote(image) + " 16384 >/dev/null"), 0);
    const std::string sav = dir / "scan.sav";
    std::string out;
    ASSERT_EQ(run(cli("scan --deep " + shell_quote(image) + " --save " + shell_quote(sav)) + " 2>&1", &out), 0) << out;
    auto device_path = qv::read_scan_result_path(sav);
    ASSERT_TRUE(device_path) << out;

    for (const bool written_free : {false, true}) {
        for (const bool asked_free : {false, true}) {
            SCOPED_TRACE(std::string(written_free ? "free-space" : "whole-volume") + " checkpoint, " +
                         (asked_free ? "free-space" : "whole-volume") + " scan");
            qv::deep_checkpoint c;
            c.device_path = *device_path;
            c.device_length = fs::file_size(image);
            c.position = c.search_from = c.reported_end = 1 << 20;
            c.free_space = written_free;
            ASSERT_EQ(qv::write_deep_checkpoint(sav + ".checkpoint", c), 0);
            const std::string args = "scan --deep --resume " + shell_quote(image) + " --save " + shell_quote(sav) +
                                     (asked_free ? " --free-space" : "");
            ASSERT_EQ(run(cli(args) + " 2>&1", &out), 0) << out;
            const bool resumed = out.find("going on from") != std::string::npos;
            const bool refused = out.find("belongs to another scan; starting afresh") != std::string::npos;
            EXPECT_EQ(resumed, written_free == asked_free) << out;
            EXPECT_EQ(refused, written_free != asked_free) << out;
        }
    }
}

TEST(FreeSpaceCli, Ext4Volume) {
    temp_dir dir;
    samples s;
    std::string why;
    if (!make_samples(dir, &s, &why)) GTEST_SKIP() << why;
    const std::string image = dir / "ext.img";
    if (!qv::test::make_ext_image(image, 64, "mkfs.ext4 -q -F -b 4096", &why)) GTEST_SKIP() << why;
    {
        qv::test::ext_mount m;
        if (!m.mount(image, dir / "mnt", "ext4", &why)) GTEST_SKIP() << why;
        fs::copy_file(s.live_jpg, m / "live.jpg");
        fs::copy_file(s.gone_jpg, m / "gone.jpg");
        fs::copy_file(s.live_png, m / "live.png");
        ASSERT_EQ(run("sync"), 0);
        fs::remove(m / "gone.jpg");
        ASSERT_TRUE(m.unmount());
    }
    const uint64_t at = far_offset(image);
    if (qv::test::have_tool("debugfs")) {
        std::string out;
        run("debugfs -R " + shell_quote("testb " + std::to_string(at / 4096)) + " " + shell_quote(image) + " 2>/dev/null", &out);
        ASSERT_NE(out.find("not in use"), std::string::npos) << "block " << at / 4096 << " is free: " << out;
    }
    put_at(image, s.free_jpg, at);
    expect_free_space_scan(dir, image, s, at);
}

TEST(FreeSpaceCli, NtfsVolume) {
    temp_dir dir;
    samples s;
    std::string why;
    if (!make_samples(dir, &s, &why)) GTEST_SKIP() << why;
    const std::string image = dir / "ntfs.img";
    if (!qv::test::make_ntfs_image(image, 64 << 20, &why)) GTEST_SKIP() << why;
    {
        qv::test::ntfs_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        fs::copy_file(s.live_jpg, m / "live.jpg");
        fs::copy_file(s.gone_jpg, m / "gone.jpg");
        fs::copy_file(s.live_png, m / "live.png");
        fs::remove(m / "gone.jpg");
        ASSERT_TRUE(m.unmount());
    }
    const uint64_t at = far_offset(image);
    put_at(image, s.free_jpg, at);
    EXPECT_TRUE(lists_deleted_of_size(image, s.gone_jpg_size)) << "the NTFS scan lists the deleted photo";
    expect_free_space_scan(dir, image, s, at);
}

TEST(FreeSpaceCli, ExfatVolume) {
    temp_dir dir;
    samples s;
    std::string why;
    if (!make_samples(dir, &s, &why)) GTEST_SKIP() << why;
    const std::string image = dir / "exfat.img";
    if (!qv::test::make_exfat_image(image, 64, 4096, &why)) GTEST_SKIP() << why;
    {
        qv::test::exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        fs::copy_file(s.live_jpg, m / "live.jpg");
        fs::copy_file(s.gone_jpg, m / "gone.jpg");
        fs::copy_file(s.live_png, m / "live.png");
        fs::remove(m / "gone.jpg");
        ASSERT_TRUE(m.unmount());
    }
    const uint64_t at = far_offset(image);
    put_at(image, s.free_jpg, at);
    EXPECT_TRUE(lists_deleted_of_size(image, s.gone_jpg_size)) << "the exFAT scan lists the deleted photo";
    expect_free_space_scan(dir, image, s, at);
}

TEST(FreeSpaceCli, VolumeWithoutAFileSystemIsScannedWhole) {
    temp_dir dir;
    samples s;
    std::string why;
    if (!make_samples(dir, &s, &why)) GTEST_SKIP() << why;
    const std::string image = dir / "blank.img";
    qv::test::write_file(image, std::vector<uint8_t>(8 << 20, 0));
    put_at(image, s.free_jpg, 1 << 20);
    std::string err;
    int rc = -1;
    auto found = deep_scan(dir, shell_quote(image) + " --free-space", &err, &rc);
    EXPECT_EQ(rc, 0) << err;
    EXPECT_NE(err.find("free space unknown (no file system this program reads); scanning the whole volume"),
              std::string::npos)
        << err;
    EXPECT_TRUE(has_at(found, 1 << 20, s.free_jpg_size)) << err;
}

TEST(FreeSpaceCli, FreeSpaceNeedsDeep) {
    temp_dir dir;
    const std::string image = dir / "blank.img";
    qv::test::write_file(image, std::vector<uint8_t>(1 << 20, 0));
    EXPECT_NE(run(cli("scan " + shell_quote(image) + " --free-space") + " 2>/dev/null"), 0);
}

// Damaged allocation records give "free space unknown" or a mask that still
// leaves the scan sane: never a crash, always a finished scan.
TEST(FreeSpaceCliHostile, DamagedAllocationRecords) {
    for (const char* tool : {"mkfs.fat", "mcopy"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    temp_dir dir;
    samples s;
    std::string why;
    if (!make_samples(dir, &s, &why)) GTEST_SKIP() << why;
    struct damage {
        const char* what;
        uint64_t offset;
        size_t bytes;
        uint8_t fill;  // 0xA5: pseudo-random bytes instead
    };
    // FAT16 of mkfs.fat -F 16 over 32768 KiB: 4 reserved sectors, then the tables.
    const damage fat_damage[] = {
        {"tables of random entries", 4 * 512, 128 * 512, 0xA5},
        {"tables all bad-cluster marks", 4 * 512, 128 * 512, 0xFF},
        {"sectors per table 0", 0x16, 2, 0x00},
        {"sectors per cluster 3", 0x0D, 1, 0x03},
        {"total sectors far past the image", 0x20, 4, 0xFF},
    };
    for (const damage& d : fat_damage) {
        SCOPED_TRACE(d.what);
        const std::string image = dir / "bad.img";
        fs::remove(image);
        ASSERT_EQ(run("mkfs.fat -C -F 16 " + shell_quote(image) + " 32768 >/dev/null"), 0);
        ASSERT_EQ(run("mcopy -i " + shell_quote(image) + " " + shell_quote(s.live_jpg) + " ::/live.jpg"), 0);
        std::vector<uint8_t> bytes = qv::test::read_file(image);
        auto noise = qv::test::pseudo_random_bytes(d.bytes, 7);
        for (size_t k = 0; k < d.bytes; ++k) bytes[d.offset + k] = d.fill == 0xA5 ? noise[k] : d.fill;
        qv::test::write_file(image, bytes);
        std::string err;
        int rc = -1;
        deep_scan(dir, shell_quote(image) + " --free-space", &err, &rc);
        EXPECT_EQ(rc, 0) << err;
        const bool unknown = err.find("free space unknown (") != std::string::npos;
        const bool masked = err.find("in use by the fat file system") != std::string::npos;
        EXPECT_TRUE(unknown != masked) << err;
    }

    // exFAT: the allocation bitmap (the first cluster of the heap on a fresh
    // volume) turned to noise, then the boot regions wiped.
    const std::string image = dir / "bad-exfat.img";
    if (!qv::test::make_exfat_image(image, 16, 4096, &why)) GTEST_SKIP() << why;
    std::vector<uint8_t> bytes = qv::test::read_file(image);
    const uint32_t heap_sector = uint32_t(bytes[0x58]) | uint32_t(bytes[0x59]) << 8 | uint32_t(bytes[0x5A]) << 16 |
                                 uint32_t(bytes[0x5B]) << 24;
    ASSERT_LT(uint64_t(heap_sector) * 512 + 4096, bytes.size());
    auto noise = qv::test::pseudo_random_bytes(4096, 9);
    std::copy(noise.begin(), noise.end(), bytes.begin() + ptrdiff_t(heap_sector) * 512);
    qv::test::write_file(image, bytes);
    std::string err;
    int rc = -1;
    deep_scan(dir, shell_quote(image) + " --free-space", &err, &rc);
    EXPECT_EQ(rc, 0) << err;
    EXPECT_TRUE(err.find("free space unknown (") != std::string::npos ||
                err.find("in use by the exfat file system") != std::string::npos)
        << err;
    std::fill(bytes.begin(), bytes.begin() + 24 * 512, uint8_t(0xFF));
    qv::test::write_file(image, bytes);
    deep_scan(dir, shell_quote(image) + " --free-space", &err, &rc);
    EXPECT_EQ(rc, 0) << err;
    EXPECT_NE(err.find("free space unknown ("), std::string::npos) << err;
}

}  // namespace
