// PNG, JPEG, ZIP and MP3 files stored in two pieces: the pieces found again byte for
// byte across gaps of other data and of zeros, wrong continuations never accepted.

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <fstream>
#include <iterator>
#include <string>

#include "devices/device_handle.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/deep_core.hpp"
#include "engine/deep_scanner.hpp"
#include "engine/scan_result_file.hpp"
#include "engine/volume_cluster.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/fragment_join.hpp"
#include "tests/sigscan/pieces.hpp"
#include "tests/support/test_support.hpp"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint64_t cluster = 4096;

void put_be32(bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

void png_chunk(bytes& out, const char* type, const bytes& data) {
    put_be32(out, uint32_t(data.size()));
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, uint32_t(crc32(0, out.data() + at, uInt(4 + data.size()))));
}

// A PNG of IDAT chunks of the given size, each with its CRC.
bytes make_png(size_t chunks, size_t chunk_size, uint32_t seed) {
    bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    png_chunk(out, "IHDR", {0, 0, 1, 0, 0, 0, 1, 0, 8, 2, 0, 0, 0});
    for (size_t i = 0; i < chunks; ++i) png_chunk(out, "IDAT", qv::test::pseudo_random_bytes(chunk_size, seed + uint32_t(i)));
    png_chunk(out, "IEND", {});
    return out;
}

// A real PNG from ImageMagick, when it is installed.
bytes tool_png(const std::string& dir) {
    if (!qv::test::have_tool("convert")) return {};
    const std::string out = dir + "/real.png";
    const std::string cmd = "convert -size 300x200 -seed 3 plasma:fractal '" + out + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return {};
    std::ifstream f(out, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

enum class gap_kind { noise, zeros };

using qv::test::split_image;

// The file at cluster 4, cut after `first_clusters` clusters, the rest after
// `gap_clusters` clusters of filler, random data around it all.
split_image split(const bytes& file, uint64_t first_clusters, uint64_t gap_clusters, gap_kind gap) {
    return qv::test::lay_in_two(file, first_clusters * cluster, gap_clusters, gap == gap_kind::zeros, cluster);
}

std::optional<qv::sig::joined_file> join(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    return qv::test::join_in(qv::sig::join_png, image, start, {cluster, 0, max_gap});
}

using qv::test::assembled;

struct split_row {
    const char* name;
    size_t chunk_size;     // 0: the real PNG
    uint64_t first_clusters;
    uint64_t gap_clusters;
    gap_kind gap;
};

class PngInTwoPieces : public ::testing::TestWithParam<split_row> {};

TEST_P(PngInTwoPieces, ComesBackByteForByte) {
    const split_row row = GetParam();
    qv::test::temp_dir dir;
    const bytes file = row.chunk_size ? make_png(40, row.chunk_size, 5) : tool_png(dir.path().string());
    if (file.empty()) GTEST_SKIP() << "convert (ImageMagick) is not installed";
    ASSERT_GT(file.size(), (row.first_clusters + 1) * cluster);
    const split_image s = split(file, row.first_clusters, row.gap_clusters, row.gap);
    // Whole where it lies, the file is no fragment.
    bytes whole = qv::test::pseudo_random_bytes(file.size() + 3 * cluster, 1);
    std::copy(file.begin(), file.end(), whole.begin() + cluster);
    EXPECT_FALSE(join(whole, cluster));

    const auto j = join(s.image, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->first, s.first);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(s.image, *j), file);
    // Beyond the largest gap looked at, nothing is joined.
    if (row.gap_clusters > 1) {
        EXPECT_FALSE(join(s.image, s.first.offset, row.gap_clusters - 1));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Splits, PngInTwoPieces,
    ::testing::Values(split_row{"NoiseGap", 8192, 10, 7, gap_kind::noise},
                      split_row{"ZeroGap", 8192, 10, 7, gap_kind::zeros},
                      split_row{"BreakOnAChunkBoundary", 4096 - 12, 5, 3, gap_kind::noise},
                      split_row{"LargeChunks", 65536, 20, 100, gap_kind::zeros},
                      split_row{"BreakInTheHeader", 8192 - 4, 2, 1, gap_kind::noise},
                      split_row{"RealPng", 0, 6, 12, gap_kind::noise}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PngInTwoPieces, AWrongContinuationIsNeverAccepted) {
    const bytes file = make_png(30, 8192, 9);
    split_image s = split(file, 8, 70, gap_kind::noise);
    // A copy of the true continuation with one byte changed, nearer than the
    // true one: its CRC fails, the true one is found.
    bytes decoy(file.begin() + 8 * cluster, file.end());
    decoy[decoy.size() / 2] ^= 0x40;
    const uint64_t decoy_at = s.first.offset + s.first.size + 2 * cluster;
    ASSERT_LE(decoy_at + decoy.size(), s.second.offset);
    bytes with_decoy = s.image;
    std::copy(decoy.begin(), decoy.end(), with_decoy.begin() + std::ptrdiff_t(decoy_at));
    auto j = join(with_decoy, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(with_decoy, *j), file);
    // Another PNG's middle is no continuation either; without the true one, nothing.
    bytes other = make_png(30, 8192, 500);
    bytes no_true = s.image;
    std::copy(other.begin() + 8 * cluster, other.end() - 1000, no_true.begin() + std::ptrdiff_t(s.second.offset));
    std::copy(decoy.begin(), decoy.begin() + 4 * cluster, no_true.begin() + std::ptrdiff_t(decoy_at));
    EXPECT_FALSE(join(no_true, s.first.offset));
}

TEST(PngInTwoPieces, WorkOnLookAlikeGapsIsBounded) {
    // A gap of letters looks like chunk headers at every cluster: each is
    // tried, within the bound on checksummed bytes, and the true one is found.
    const bytes file = make_png(16, 65536, 41);
    split_image s = split(file, 6, 40, gap_kind::noise);
    for (uint64_t at = s.first.offset + s.first.size; at < s.second.offset; ++at) s.image[at] = uint8_t('a' + at % 26);
    qv::memory_device device(s.image);
    qv::sig::carve_input in(device, nullptr);
    const auto j = qv::sig::join_png(in, s.first.offset, s.image.size() - s.first.offset, {cluster, 0, 4096});
    ASSERT_TRUE(j);
    EXPECT_EQ(j->second, s.second);
    // With too small a bound it gives up: nothing, never a wrong join.
    qv::sig::carve_input in2(device, nullptr);
    qv::sig::join_limits tight{cluster, 0, 4096};
    tight.max_checked_bytes = 100000;
    EXPECT_FALSE(qv::sig::join_png(in2, s.first.offset, s.image.size() - s.first.offset, tight));
}

TEST(PngInTwoPieces, HostileInputGivesNothing) {
    const bytes file = make_png(12, 8192, 21);
    std::vector<bytes> cases;
    cases.push_back(bytes(file.begin(), file.begin() + 7));                   // cut inside the signature
    cases.push_back(bytes(file.begin(), file.begin() + 20));                  // cut inside IHDR
    cases.push_back(bytes(file.begin(), file.begin() + 5 * cluster));         // first piece only, then the end
    bytes garbage = file;
    for (size_t i = 8; i < garbage.size(); ++i) garbage[i] = 0xFF;           // lengths far beyond everything
    cases.push_back(garbage);
    bytes zero_lengths = file;
    for (size_t i = 33; i < zero_lengths.size(); ++i) zero_lengths[i] = 0;
    cases.push_back(zero_lengths);
    for (size_t i = 0; i < cases.size(); ++i) {
        bytes image = qv::test::pseudo_random_bytes(cases[i].size() + 2 * cluster, uint32_t(i));
        std::copy(cases[i].begin(), cases[i].end(), image.begin());
        EXPECT_FALSE(join(image, 0, 64)) << "case " << i;
        EXPECT_FALSE(join(cases[i], 0, 64)) << "case " << i << " at the very end";
    }
}

// The deep scan's found PNG items of an image, with their pieces.
struct deep_png_scan {
    std::vector<qv::found_item> pngs;
    qv::deep_scan_result result;
};

deep_png_scan deep_scan(const bytes& image, bool every_byte, uint64_t known_cluster = 0, const std::string& type = "png") {
    qv::memory_device device(image);
    qv::deep_core core;
    core.set_every_byte(every_byte);
    core.set_cluster(known_cluster);
    qv::scan_hooks hooks;
    std::vector<qv::found_item> announced;
    hooks.found = [&](const qv::found_item& f) { announced.push_back(f); };
    deep_png_scan out;
    out.result = core.scan(device, hooks);
    for (const qv::found_item& f : qv::deep_found_items(out.result.records, out.result.type_index, out.result.facts,
                                                        out.result.joins))
        if (f.type == type) out.pngs.push_back(f);
    // What the scan announced as it went is what it lists at the end (whole
    // files' checks follow later; joined ones are "assembled" from the start).
    size_t announced_pngs = 0;
    for (const qv::found_item& f : announced)
        if (f.type == type) {
            ++announced_pngs;
            EXPECT_TRUE(std::any_of(out.pngs.begin(), out.pngs.end(), [&](const qv::found_item& g) {
                return g.offset == f.offset && g.size == f.size && g.pieces == f.pieces &&
                       (g.state == qv::item_state::assembled) == (f.state == qv::item_state::assembled);
            })) << "announced at " << f.offset;
        }
    EXPECT_EQ(announced_pngs, out.pngs.size());
    return out;
}

bytes recovered(const bytes& image, const qv::found_item& item, const std::string& dir) {
    qv::memory_device device(image);
    const std::string to = dir + "/out.png";
    EXPECT_EQ(qv::deep_core::recover(device, item, to), 0);
    return qv::test::read_file(to);
}

struct deep_row {
    const char* name;
    size_t chunk_size;  // 0: the real PNG
    uint64_t first_clusters, gap_clusters;
    gap_kind gap;
    bool every_byte;
    uint64_t known_cluster;  // the volume's cluster size, 0 when the scan does not know it
};

class DeepScanOfPngInTwoPieces : public ::testing::TestWithParam<deep_row> {};

TEST_P(DeepScanOfPngInTwoPieces, IsAssembledAndRecoveredByteForByte) {
    const deep_row row = GetParam();
    qv::test::temp_dir dir;
    const bytes file = row.chunk_size ? make_png(40, row.chunk_size, 7) : tool_png(dir.path().string());
    if (file.empty()) GTEST_SKIP() << "convert (ImageMagick) is not installed";
    const split_image s = split(file, row.first_clusters, row.gap_clusters, row.gap);
    const deep_png_scan scan = deep_scan(s.image, row.every_byte, row.known_cluster);
    ASSERT_EQ(scan.pngs.size(), 1u);
    const qv::found_item& png = scan.pngs[0];
    EXPECT_EQ(png.offset, s.first.offset);
    EXPECT_EQ(png.size, file.size()) << "the size is both pieces'";
    EXPECT_EQ(png.state, qv::item_state::assembled);
    const std::vector<qv::item_piece> want{{s.first.offset, s.first.size}, {s.second.offset, s.second.size}};
    EXPECT_EQ(png.pieces, want);
    EXPECT_EQ(recovered(s.image, png, dir.path().string()), file);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, DeepScanOfPngInTwoPieces,
    ::testing::Values(deep_row{"NoiseGapSectorStarts", 8192, 10, 7, gap_kind::noise, false, 0},
                      deep_row{"ZeroGapSectorStarts", 8192, 10, 7, gap_kind::zeros, false, 0},
                      deep_row{"NoiseGapEveryByte", 8192, 10, 7, gap_kind::noise, true, 0},
                      deep_row{"ZeroGapEveryByte", 8192, 10, 7, gap_kind::zeros, true, 0},
                      deep_row{"KnownLargeClusters", 8192, 12, 8, gap_kind::noise, false, 16384},
                      deep_row{"FarGap", 65536, 20, 2000, gap_kind::zeros, false, 0},
                      deep_row{"RealPngSectorStarts", 0, 6, 12, gap_kind::noise, false, 0},
                      deep_row{"RealPngEveryByte", 0, 6, 12, gap_kind::zeros, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeepScanOfPngInTwoPieces, AWrongContinuationIsNeverAcceptedOrWritten) {
    const bytes file = make_png(30, 8192, 9);
    const split_image s = split(file, 8, 70, gap_kind::noise);
    // Where the continuation lay, another PNG's middle, cut at the same place:
    // its chunk headers lie where the true ones would.
    const bytes other = make_png(30, 8192, 500);
    bytes image = s.image;
    std::copy(other.begin() + std::ptrdiff_t(s.first.size), other.end(), image.begin() + std::ptrdiff_t(s.second.offset));
    for (bool every_byte : {false, true}) {
        const deep_png_scan scan = deep_scan(image, every_byte);
        for (const qv::found_item& f : scan.pngs) {
            EXPECT_NE(f.state, qv::item_state::assembled) << f.offset;
            EXPECT_TRUE(f.pieces.empty()) << f.offset;
        }
        EXPECT_TRUE(scan.result.joins.empty());
    }
    // Beyond the reach the scan looks at, the true continuation is not joined either.
    qv::memory_device device(s.image);
    qv::sig::scan_options options;
    options.join_reach = 60 * cluster;
    size_t joined = 0;
    options.joined = [&](const char*, uint64_t, uint64_t, uint64_t, uint64_t) { ++joined; };
    qv::sig::scan_device(device, *qv::sig::current_config(), options, nullptr, [](const char*, uint64_t, uint64_t) {});
    EXPECT_EQ(joined, 0u);
    options.join_reach = 80 * cluster;
    qv::sig::scan_device(device, *qv::sig::current_config(), options, nullptr, [](const char*, uint64_t, uint64_t) {});
    EXPECT_EQ(joined, 1u);
}

TEST(DeepScanOfPngInTwoPieces, WholeFilesAroundTheBrokenOneStayAsTheyAre) {
    // A whole PNG in the gap and one after the continuation: each found once,
    // whole, and the broken one joined across the one in its gap.
    const bytes file = make_png(24, 8192, 31), inside = make_png(3, 3000, 77), after = make_png(2, 5000, 78);
    split_image s = split(file, 9, 12, gap_kind::zeros);
    const auto [inside_at, after_at] = qv::test::put_beside(s, inside, after, cluster);
    for (bool every_byte : {false, true}) {
        const deep_png_scan scan = deep_scan(s.image, every_byte);
        ASSERT_EQ(scan.pngs.size(), 3u) << every_byte;
        std::map<uint64_t, qv::found_item> by_offset;
        for (const qv::found_item& f : scan.pngs) by_offset[f.offset] = f;
        ASSERT_EQ(by_offset.count(s.first.offset), 1u);
        EXPECT_EQ(by_offset[s.first.offset].state, qv::item_state::assembled);
        ASSERT_EQ(by_offset.count(inside_at), 1u);
        EXPECT_EQ(by_offset[inside_at].size, inside.size());
        EXPECT_TRUE(by_offset[inside_at].pieces.empty());
        ASSERT_EQ(by_offset.count(after_at), 1u);
        EXPECT_EQ(by_offset[after_at].size, after.size());
    }
}

// ---- JPEG ----

struct jpeg_make {
    uint32_t seed = 5;
    bool restart = false;  // a restart marker after every MCU row
    bool gray = false;
    int width = 640, height = 480;
};

// A real JPEG of plasma and noise (large entropy-coded data) made by
// ImageMagick, with restart markers put in by jpegtran; empty, with why in
// *missing, when a tool is not installed.
bytes tool_jpeg(const std::string& dir, const jpeg_make& m, std::string* missing) {
    if (!qv::test::have_tool("convert")) {
        *missing = "convert (ImageMagick) is not installed";
        return {};
    }
    if (m.restart && !qv::test::have_tool("jpegtran")) {
        *missing = "jpegtran (libjpeg-turbo-progs) is not installed";
        return {};
    }
    const std::string name = dir + "/j" + std::to_string(m.seed) + (m.gray ? "g" : "c") + std::to_string(m.width);
    const std::string plain = name + ".jpg", out = name + (m.restart ? "-rst.jpg" : ".jpg");
    const std::string cmd = "convert -size " + std::to_string(m.width) + "x" + std::to_string(m.height) + " -seed " +
                            std::to_string(m.seed) + " plasma:fractal -attenuate 0.6 +noise Gaussian " +
                            (m.gray ? "-colorspace Gray " : "") + "-quality 90 '" + plain + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        *missing = "convert could not make a JPEG";
        return {};
    }
    if (m.restart && std::system(("jpegtran -restart 1 '" + plain + "' > '" + out + "'").c_str()) != 0) {
        *missing = "jpegtran failed";
        return {};
    }
    return qv::test::read_file(out);
}

enum class jpeg_gap { noise, zeros, other_jpeg, other_photo_whole };

// The JPEG cut after first_clusters clusters, its rest after gap_clusters of
// filler; the other JPEG's gap is entropy-coded data of a different picture.
split_image split_jpeg(const bytes& file, uint64_t first_clusters, uint64_t gap_clusters, jpeg_gap gap,
                       const bytes& other) {
    split_image s = split(file, first_clusters, gap_clusters, gap == jpeg_gap::zeros ? gap_kind::zeros : gap_kind::noise);
    if (gap == jpeg_gap::other_photo_whole) {
        // Another photo written between the pieces, from the gap's start.
        const uint64_t from = s.first.offset + s.first.size;
        EXPECT_LE(from + other.size(), s.second.offset);
        std::copy(other.begin(), other.end(), s.image.begin() + std::ptrdiff_t(from));
    }
    if (gap == jpeg_gap::other_jpeg) {
        const uint64_t from = s.first.offset + s.first.size;
        for (uint64_t at = from; at < s.second.offset; ++at)
            s.image[at] = other[size_t(2 * cluster + (at - from) % (other.size() - 3 * cluster))];
    }
    return s;
}

std::optional<qv::sig::joined_file> join_jpeg(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    return qv::test::join_in(qv::sig::join_jpeg, image, start, {cluster, 0, max_gap});
}

bool decodes_intact(const bytes& file) {
    qv::memory_device device(file);
    return qv::sig::check_content(device, 0, file.size(), "jpg") == qv::sig::content_state::intact;
}

struct jpeg_row {
    const char* name;
    bool restart, gray;
    uint64_t first_clusters, gap_clusters;
    jpeg_gap gap;
};

class JpegInTwoPieces : public ::testing::TestWithParam<jpeg_row> {};

TEST_P(JpegInTwoPieces, ComesBackByteForByte) {
    const jpeg_row row = GetParam();
    qv::test::temp_dir dir;
    std::string missing;
    const bytes file = tool_jpeg(dir.path().string(), {5, row.restart, row.gray}, &missing);
    const bytes other = tool_jpeg(dir.path().string(), {8, row.restart, row.gray, 800, 500}, &missing);
    if (file.empty() || other.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(decodes_intact(file));
    ASSERT_GT(file.size(), (row.first_clusters + 2) * cluster);
    // Whole where it lies, the file is no fragment.
    bytes whole = qv::test::pseudo_random_bytes(file.size() + 3 * cluster, 1);
    std::copy(file.begin(), file.end(), whole.begin() + cluster);
    EXPECT_FALSE(join_jpeg(whole, cluster));

    const split_image s = split_jpeg(file, row.first_clusters, row.gap_clusters, row.gap, other);
    const auto j = join_jpeg(s.image, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->first, s.first);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(s.image, *j), file);
    // Beyond the largest gap looked at, nothing is joined.
    EXPECT_FALSE(join_jpeg(s.image, s.first.offset, row.gap_clusters - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Splits, JpegInTwoPieces,
    ::testing::Values(jpeg_row{"NoiseGap", false, false, 20, 7, jpeg_gap::noise},
                      jpeg_row{"ZeroGap", false, false, 20, 7, jpeg_gap::zeros},
                      jpeg_row{"OtherJpegGap", false, false, 20, 9, jpeg_gap::other_jpeg},
                      jpeg_row{"RestartsNoiseGap", true, false, 20, 7, jpeg_gap::noise},
                      jpeg_row{"RestartsZeroGap", true, false, 20, 7, jpeg_gap::zeros},
                      jpeg_row{"RestartsOtherJpegGap", true, false, 20, 9, jpeg_gap::other_jpeg},
                      jpeg_row{"EarlyBreak", false, false, 1, 3, jpeg_gap::noise},
                      jpeg_row{"LateBreak", true, false, 48, 30, jpeg_gap::other_jpeg},
                      jpeg_row{"GrayZeroGap", false, true, 11, 5, jpeg_gap::zeros},
                      jpeg_row{"GrayRestartsOtherJpegGap", true, true, 11, 5, jpeg_gap::other_jpeg}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegInTwoPieces, EveryBreakOfAPhotoComesBackWhole) {
    // Cut at each cluster boundary in turn, the gap of another photo's data:
    // each join is the original file, never a near miss.
    qv::test::temp_dir dir;
    std::string missing;
    for (bool restart : {false, true}) {
        const bytes file = tool_jpeg(dir.path().string(), {11, restart}, &missing);
        const bytes other = tool_jpeg(dir.path().string(), {12, restart}, &missing);
        if (file.empty() || other.empty()) GTEST_SKIP() << missing;
        size_t joined = 0, cuts = 0;
        for (uint64_t first = 1; (first + 1) * cluster < file.size(); first += 3, ++cuts) {
            const split_image s = split_jpeg(file, first, 2 + first % 5, jpeg_gap::other_jpeg, other);
            const auto j = join_jpeg(s.image, s.first.offset);
            if (!j) continue;
            ++joined;
            EXPECT_EQ(assembled(s.image, *j), file) << "restart " << restart << ", cut after " << first;
        }
        EXPECT_EQ(joined, cuts) << "restart " << restart;
    }
}

TEST(JpegInTwoPieces, AWrongContinuationIsNeverAccepted) {
    // A look-alike photo (same size, tables and camera settings) cut at the
    // same place, its second half nearer than the true one.
    qv::test::temp_dir dir;
    std::string missing;
    for (bool restart : {false, true}) {
        const bytes file = tool_jpeg(dir.path().string(), {21, restart}, &missing);
        const bytes twin = tool_jpeg(dir.path().string(), {22, restart}, &missing);
        if (file.empty() || twin.empty()) GTEST_SKIP() << missing;
        for (uint64_t first : {10u, 25u, 40u}) {
            const uint64_t rest = (file.size() - first * cluster + cluster - 1) / cluster;
            split_image s = split(file, first, rest + 12, gap_kind::noise);
            const uint64_t decoy_at = s.first.offset + s.first.size + 3 * cluster;
            const bytes decoy(twin.begin() + std::ptrdiff_t(first * cluster), twin.end());
            ASSERT_LE(decoy_at + decoy.size(), s.second.offset);
            std::copy(decoy.begin(), decoy.end(), s.image.begin() + std::ptrdiff_t(decoy_at));
            const auto j = join_jpeg(s.image, s.first.offset);
            ASSERT_TRUE(j) << "restart " << restart << ", cut after " << first;
            EXPECT_EQ(j->second, s.second) << "restart " << restart << ", cut after " << first;
            EXPECT_EQ(assembled(s.image, *j), file);
            // Without the true continuation: the look-alike is not taken.
            std::fill(s.image.begin() + std::ptrdiff_t(s.second.offset),
                      s.image.begin() + std::ptrdiff_t(s.second.offset + s.second.size), 0x5A);
            const auto wrong = join_jpeg(s.image, s.first.offset);
            EXPECT_FALSE(wrong) << "restart " << restart << ", cut after " << first;
            if (wrong) {
                EXPECT_TRUE(decodes_intact(assembled(s.image, *wrong)));
            }
        }
    }
}

TEST(JpegInTwoPieces, HostileInputEndsQuicklyWithNothing) {
    qv::test::temp_dir dir;
    std::string missing;
    const bytes file = tool_jpeg(dir.path().string(), {31, true}, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    // The scan's header: everything up to the first entropy-coded byte.
    size_t scan = 2;
    while (scan + 4 < file.size() && file[scan + 1] != 0xDA) scan += 2 + (size_t(file[scan + 2]) << 8 | file[scan + 3]);
    scan += 2 + (size_t(file[scan + 2]) << 8 | file[scan + 3]);
    ASSERT_LT(scan, 4096u);
    const bytes head(file.begin(), file.begin() + std::ptrdiff_t(scan));
    std::vector<std::pair<std::string, bytes>> cases;
    cases.emplace_back("cut in the header", bytes(file.begin(), file.begin() + 300));
    cases.emplace_back("first piece only", bytes(file.begin(), file.begin() + 10 * cluster));
    bytes ff = head;
    ff.resize(64 * cluster, 0xFF);
    cases.emplace_back("all 0xFF", ff);
    bytes rst = head;
    for (size_t i = 0; rst.size() < 64 * cluster; ++i) rst.insert(rst.end(), {0xFF, uint8_t(0xD0 + i % 8)});
    cases.emplace_back("endless restart markers", rst);
    bytes stuffed = head;
    for (size_t i = 0; stuffed.size() < 64 * cluster; ++i) stuffed.insert(stuffed.end(), {0xFF, 0x00});
    cases.emplace_back("endless stuffed bytes", stuffed);
    bytes huge = file;
    huge[scan - 200] ^= 0xFF;  // somewhere in the tables or the frame
    cases.emplace_back("a table or frame field changed", huge);
    for (const auto& [what, data] : cases) {
        for (bool at_end : {false, true}) {
            bytes image = data;
            if (!at_end) {
                image = qv::test::pseudo_random_bytes(data.size() + 40 * cluster, 3);
                std::copy(data.begin(), data.end(), image.begin());
            }
            const auto t0 = std::chrono::steady_clock::now();
            const auto j = join_jpeg(image, 0, 64);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (j) {
                EXPECT_TRUE(decodes_intact(assembled(image, *j))) << what;
            }
            if (what != "a table or frame field changed") {
                EXPECT_FALSE(j) << what;
            }
            EXPECT_LT(seconds, 5.0) << what;
        }
    }
}

TEST(JpegInTwoPieces, DamagedPiecesNeverGiveAJoinThatDoesNotDecode) {
    // Small photos in sector-sized clusters, bytes changed, markers put in
    // and the image cut short at random: a join, when one is reported, is
    // always a file libjpeg decodes whole.
    qv::test::temp_dir dir;
    std::string missing;
    constexpr uint64_t small_cluster = 512;
    std::vector<bytes> images;
    for (bool restart : {false, true}) {
        jpeg_make m{61, restart};
        m.width = 160;
        m.height = 120;
        const bytes file = tool_jpeg(dir.path().string(), m, &missing);
        if (file.empty()) GTEST_SKIP() << missing;
        const uint64_t cut = file.size() / small_cluster / 2 * small_cluster;
        bytes image = qv::test::pseudo_random_bytes(small_cluster, 5);
        image.insert(image.end(), file.begin(), file.begin() + std::ptrdiff_t(cut));
        const bytes gap = qv::test::pseudo_random_bytes(3 * small_cluster, 6);
        image.insert(image.end(), gap.begin(), gap.end());
        image.insert(image.end(), file.begin() + std::ptrdiff_t(cut), file.end());
        images.push_back(image);
    }
    std::mt19937 rng(7);
    size_t joins = 0, runs = 0;
    for (int n = 0; n < 400; ++n, ++runs) {
        bytes d = images[size_t(n) % images.size()];
        for (int k = int(rng() % 6); k > 0; --k) {
            const size_t at = small_cluster + 2 + rng() % (d.size() - small_cluster - 2);
            switch (rng() % 3) {
                case 0: d[at] = uint8_t(rng()); break;
                case 1: d[at - 1] = 0xFF, d[at] = uint8_t(0xD0 + rng() % 10); break;
                default: d.resize(at); break;
            }
        }
        qv::memory_device device(d);
        qv::sig::carve_input in(device, nullptr);
        const auto j = qv::sig::join_jpeg(in, small_cluster, d.size() - small_cluster, {small_cluster, 0, 16});
        if (!j) continue;
        ++joins;
        EXPECT_TRUE(decodes_intact(assembled(d, *j))) << "run " << n;
    }
    EXPECT_GT(joins, runs / 10) << "the lightly changed images are still joined";
}

struct deep_jpeg_row {
    const char* name;
    bool restart;
    jpeg_gap gap;
    bool every_byte;
};

class DeepScanOfJpegInTwoPieces : public ::testing::TestWithParam<deep_jpeg_row> {};

TEST_P(DeepScanOfJpegInTwoPieces, IsAssembledAndRecoveredByteForByte) {
    const deep_jpeg_row row = GetParam();
    qv::test::temp_dir dir;
    std::string missing;
    const bytes file = tool_jpeg(dir.path().string(), {41, row.restart}, &missing);
    const bytes other = tool_jpeg(dir.path().string(), {42, row.restart}, &missing);
    if (file.empty() || other.empty()) GTEST_SKIP() << missing;
    const uint64_t gap_clusters = row.gap == jpeg_gap::other_photo_whole ? other.size() / cluster + 3 : 9;
    split_image s = split_jpeg(file, 17, gap_clusters, row.gap, other);
    // A whole photo after the continuation stays as it is.
    const uint64_t after_at = (s.second.offset + s.second.size + cluster) / cluster * cluster;
    s.image.resize(after_at + other.size() + cluster, 0);
    std::copy(other.begin(), other.end(), s.image.begin() + std::ptrdiff_t(after_at));
    const deep_png_scan scan = deep_scan(s.image, row.every_byte, 0, "jpg");
    std::map<uint64_t, qv::found_item> by_offset;
    for (const qv::found_item& f : scan.pngs) by_offset[f.offset] = f;
    ASSERT_EQ(by_offset.count(s.first.offset), 1u);
    const qv::found_item& jpg = by_offset[s.first.offset];
    EXPECT_EQ(jpg.size, file.size()) << "the size is both pieces'";
    EXPECT_EQ(jpg.state, qv::item_state::assembled);
    const std::vector<qv::item_piece> want{{s.first.offset, s.first.size}, {s.second.offset, s.second.size}};
    EXPECT_EQ(jpg.pieces, want);
    EXPECT_EQ(recovered(s.image, jpg, dir.path().string()), file);
    ASSERT_EQ(by_offset.count(after_at), 1u);
    EXPECT_EQ(by_offset[after_at].size, other.size());
    EXPECT_TRUE(by_offset[after_at].pieces.empty());
    if (row.gap == jpeg_gap::other_photo_whole) {
        const uint64_t inside_at = s.first.offset + s.first.size;
        ASSERT_EQ(by_offset.count(inside_at), 1u) << "the photo in the gap is found whole too";
        EXPECT_EQ(by_offset[inside_at].size, other.size());
    }
    EXPECT_EQ(scan.result.joins.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, DeepScanOfJpegInTwoPieces,
    ::testing::Values(deep_jpeg_row{"NoiseGapSectorStarts", false, jpeg_gap::noise, false},
                      deep_jpeg_row{"ZeroGapSectorStarts", false, jpeg_gap::zeros, false},
                      deep_jpeg_row{"AnotherPhotoInTheGapSectorStarts", false, jpeg_gap::other_photo_whole, false},
                      deep_jpeg_row{"AnotherPhotoInTheGapEveryByte", false, jpeg_gap::other_photo_whole, true},
                      deep_jpeg_row{"NoiseGapEveryByte", false, jpeg_gap::noise, true},
                      deep_jpeg_row{"ZeroGapEveryByte", false, jpeg_gap::zeros, true},
                      deep_jpeg_row{"RestartsNoiseGapSectorStarts", true, jpeg_gap::noise, false},
                      deep_jpeg_row{"RestartsZeroGapSectorStarts", true, jpeg_gap::zeros, false},
                      deep_jpeg_row{"RestartsOtherJpegGapEveryByte", true, jpeg_gap::other_jpeg, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeepScanOfJpegInTwoPieces, WholePhotosAreNotJoined) {
    qv::test::temp_dir dir;
    std::string missing;
    std::vector<bytes> photos;
    for (uint32_t seed : {51u, 52u, 53u}) photos.push_back(tool_jpeg(dir.path().string(), {seed, seed == 52}, &missing));
    if (std::any_of(photos.begin(), photos.end(), [](const bytes& p) { return p.empty(); })) GTEST_SKIP() << missing;
    bytes image(4 * cluster, 0);
    std::vector<uint64_t> at;
    for (const bytes& p : photos) {
        at.push_back(image.size());
        image.insert(image.end(), p.begin(), p.end());
        image.resize((image.size() + 3 * cluster) / cluster * cluster, 0);
    }
    for (bool every_byte : {false, true}) {
        const deep_png_scan scan = deep_scan(image, every_byte, 0, "jpg");
        EXPECT_TRUE(scan.result.joins.empty());
        ASSERT_EQ(scan.pngs.size(), photos.size()) << every_byte;
        for (size_t i = 0; i < photos.size(); ++i) {
            EXPECT_EQ(scan.pngs[i].offset, at[i]);
            EXPECT_EQ(scan.pngs[i].size, photos[i].size());
            EXPECT_NE(scan.pngs[i].state, qv::item_state::assembled);
        }
    }
}

// Saved and loaded again: the two pieces come back, and so does the file.
TEST(SavedResultWithPieces, ResumedScanRecoversTheAssembledFileByteForByte) {
    qv::test::temp_dir dir;
    const bytes file = make_png(30, 8192, 12);
    const split_image s = split(file, 7, 33, gap_kind::noise);
    qv::memory_device device(s.image);
    qv::deep_scanner scanner;
    scanner.scan(device, qv::scan_hooks{});
    ASSERT_EQ(scanner.joins().size(), 1u);
    const std::string sav = dir / "scan.sav";
    ASSERT_EQ(qv::write_scan_result(sav, "/dev/sdz1", scanner.records(), false, scanner.joins()), 0);

    std::string why;
    auto loaded = qv::read_scan_result(sav, device.length(), &why);
    ASSERT_TRUE(loaded) << why;
    EXPECT_EQ(loaded->records.size(), scanner.records().size());
    EXPECT_EQ(loaded->joins, scanner.joins());
    qv::deep_scanner resumed;
    const qv::scan_report report = resumed.adopt(device, loaded->records, loaded->joins);
    auto png = std::find_if(report.items.begin(), report.items.end(), [](const qv::found_item& f) { return f.type == "png"; });
    ASSERT_NE(png, report.items.end());
    EXPECT_EQ(png->state, qv::item_state::assembled);
    const std::string to = dir / "back.png";
    ASSERT_TRUE(resumed.recover(*png, to).written());
    EXPECT_EQ(qv::test::read_file(to), file);

    // A file written without pieces (as before them) loads, each file its first piece.
    ASSERT_EQ(qv::write_scan_result(sav, "/dev/sdz1", scanner.records()), 0);
    loaded = qv::read_scan_result(sav, device.length(), &why);
    ASSERT_TRUE(loaded) << why;
    EXPECT_TRUE(loaded->joins.empty());
    EXPECT_EQ(loaded->records.size(), scanner.records().size());
    // With pieces, a path too long to leave room for their count is refused, not cut.
    EXPECT_EQ(qv::write_scan_result(sav, "/" + std::string(245, 'd'), scanner.records(), false, scanner.joins()), -1);
}

TEST(SavedResultWithPieces, DamagedPieceRecordsAreRefused) {
    std::vector<raw_item_s> records(2);
    for (uint64_t i = 0; i < 2; ++i) {
        records[i].index = i;
        records[i].offset = 4096 * (i + 1);
        records[i].size = 1000;
        std::memcpy(records[i].type, "png", 3);
    }
    const qv::record_joins joins{{1, {20000, 500}}};
    qv::test::temp_dir dir;
    const std::string sav = dir / "r.sav";
    ASSERT_EQ(qv::write_scan_result(sav, "/dev/x", records, false, joins), 0);
    const bytes good = qv::test::read_file(sav);
    ASSERT_EQ(good.size(), 256u + 3 * 32);
    ASSERT_TRUE(qv::parse_scan_result(good.data(), good.size(), "r", 1 << 20));
    struct damage {
        const char* what;
        size_t at;
        uint8_t value;
    };
    const damage rows[] = {
        {"count past the records", 248, 9},   {"count of none", 248, 0},
        {"piece of no record", 256 + 64, 7},  {"piece of the first record twice", 256 + 64, 0},
        {"piece past the device", 256 + 64 + 15, 0x40}, {"piece type changed", 256 + 64 + 24, 'p'},
    };
    for (const damage& d : rows) {
        bytes b = good;
        if (d.at == 256 + 64 && d.value == 0) {
            // Two pieces, both of record 0: the second is refused.
            b.insert(b.end(), b.end() - 32, b.end());
            b[248] = 2;
            b[256 + 64] = 0;
            b[256 + 96] = 0;
        } else {
            b[d.at] = d.value;
        }
        std::string why;
        EXPECT_FALSE(qv::parse_scan_result(b.data(), b.size(), "r", 1 << 20, &why)) << d.what;
        EXPECT_FALSE(why.empty()) << d.what;
    }
    // Cut anywhere, never a crash.
    for (size_t n = 0; n < good.size(); n += 7) qv::parse_scan_result(good.data(), n, "r", 1 << 20);
}

// An interrupted scan's checkpoint keeps the second pieces found before it,
// and a scan gone on from it lists the assembled file and writes it whole.
TEST(SavedResultWithPieces, CheckpointKeepsTheSecondPieces) {
    qv::test::temp_dir dir;
    const bytes file = make_png(30, 8192, 14);
    const split_image s = split(file, 7, 21, gap_kind::zeros);
    qv::memory_device device(s.image);
    qv::deep_core core;
    const qv::deep_scan_result whole = core.scan(device, qv::scan_hooks{});
    ASSERT_EQ(whole.joins.size(), 1u);

    qv::deep_checkpoint c;
    c.device_path = "/dev/sdz1";
    c.device_length = device.length();
    c.position = c.search_from = c.reported_end = s.second.offset + s.second.size;
    c.position = c.position / 512 * 512;
    c.search_from = c.reported_end = std::max(c.position, c.reported_end);
    c.records = whole.records;
    c.joins = whole.joins;
    const std::string path = dir / "scan.checkpoint";
    ASSERT_EQ(qv::write_deep_checkpoint(path, c), 0);
    std::string why;
    auto back = qv::read_deep_checkpoint(path, &why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->joins, whole.joins);

    qv::deep_scan_extras extras;
    extras.start = {back->position, back->search_from, back->reported_end};
    extras.records = back->records;
    extras.joins = back->joins;
    const qv::deep_scan_result resumed = core.scan(device, qv::scan_hooks{}, &extras);
    EXPECT_EQ(resumed.joins, whole.joins);
    const auto items = qv::deep_found_items(resumed.records, resumed.type_index, resumed.facts, resumed.joins);
    auto png = std::find_if(items.begin(), items.end(), [](const qv::found_item& f) { return f.type == "png"; });
    ASSERT_NE(png, items.end());
    EXPECT_EQ(png->state, qv::item_state::assembled);
    EXPECT_EQ(recovered(s.image, *png, dir.path().string()), file);

    // Cut short inside the second pieces: refused, not loaded without them.
    bytes cut = qv::test::read_file(path);
    cut.resize(cut.size() - 16);
    qv::test::write_file(path, cut);
    EXPECT_FALSE(qv::read_deep_checkpoint(path, &why));
}

// The cluster size the scan steps by, read from volumes the file systems' own tools made.
TEST(VolumeClusterSize, ComesFromTheFileSystemsOwnFields) {
    struct row {
        const char* tool;
        const char* command;  // %s: the image
        uint64_t cluster;
    };
    const row rows[] = {
        {"mkfs.fat", "mkfs.fat -C -F 16 -s 4 %s 20000", 2048},
        {"mkfs.fat", "mkfs.fat -C -F 32 -s 8 %s 70000", 4096},
        {"mkfs.exfat", "truncate -s 40M %s && mkfs.exfat -c 32K %s", 32768},
        {"mkfs.ntfs", "truncate -s 40M %s && mkfs.ntfs -F -q -Q -c 8192 %s", 8192},
        {"mkfs.ext4", "truncate -s 40M %s && mkfs.ext4 -q -F -b 2048 %s", 2048},
    };
    qv::test::temp_dir dir;
    size_t checked = 0;
    for (const row& r : rows) {
        if (!qv::test::have_tool(r.tool)) continue;
        const std::string img = dir / (std::to_string(checked) + ".img");
        std::string cmd = r.command;
        for (size_t at; (at = cmd.find("%s")) != std::string::npos;) cmd.replace(at, 2, "'" + img + "'");
        ASSERT_EQ(std::system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;
        const bytes head = [&] {
            bytes b = qv::test::read_file(img);
            b.resize(std::min<size_t>(b.size(), 64 * 1024));
            return b;
        }();
        qv::memory_device device(head);
        EXPECT_EQ(qv::volume_cluster_size(device), r.cluster) << cmd;
        ++checked;
        // Cut short or with its fields broken, never a crash and never an odd size.
        for (size_t n : {size_t(0), size_t(100), size_t(600), size_t(1100)}) {
            qv::memory_device cut(bytes(head.begin(), head.begin() + std::ptrdiff_t(std::min(n, head.size()))));
            const uint64_t c = qv::volume_cluster_size(cut);
            EXPECT_TRUE(c == 0 || c == r.cluster) << cmd << " cut at " << n;
        }
        bytes broken = head;
        for (size_t at : {11, 12, 13, 108, 109, 1024 + 24, 1024 + 25}) broken[at] = 0xFF;
        qv::memory_device hostile(broken);
        const uint64_t c = qv::volume_cluster_size(hostile);
        EXPECT_TRUE(c == 0 || ((c & (c - 1)) == 0 && c >= 512 && c <= (32u << 20))) << cmd << ": " << c;
    }
    qv::memory_device noise(qv::test::pseudo_random_bytes(8192, 4));
    EXPECT_EQ(qv::volume_cluster_size(noise), 0u);
    if (checked == 0) GTEST_SKIP() << "no mkfs tool is installed";
}

// ---- ZIP ----

// A ZIP of the given kind made by Python's zipfile (deflated, stored,
// bigstored, streamed, many, docx) or by the zip tool (tool); empty, with the reason in missing, when the
// maker is not installed.
bytes make_zip(const std::string& dir, const std::string& kind, uint32_t seed, std::string* missing) {
    const std::string out = dir + "/" + kind + std::to_string(seed) + ".zip";
    if (kind == "tool") {
        if (!qv::test::have_tool("zip")) return *missing = "zip is not installed", bytes{};
        const std::string in = dir + "/tree" + std::to_string(seed);
        std::filesystem::create_directories(in + "/sub");
        std::string text;
        for (uint32_t i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i * 2654435761u % 9973) + " of the notes\n";
        qv::test::write_file(in + "/notes.txt", bytes(text.begin(), text.end()));
        qv::test::write_file(in + "/sub/noise.bin", qv::test::pseudo_random_bytes(40000, seed));
        for (int i = 0; i < 150; ++i)  // enough entries for a central directory over clusters
            qv::test::write_file(in + "/sub/small-file-number-" + std::to_string(i) + ".txt",
                                 bytes(text.begin() + i, text.begin() + 100 + i));
        if (qv::test::run("cd " + qv::test::shell_quote(in) + " && zip -q -r " + qv::test::shell_quote(out) +
                          " notes.txt sub") != 0)
            return *missing = "zip failed", bytes{};
        return qv::test::read_file(out);
    }
    if (!qv::test::have_tool("python3")) return *missing = "python3 is not installed", bytes{};
    static const char* script = R"(
import random, sys, zipfile
kind, out, r = sys.argv[1], sys.argv[2], random.Random(int(sys.argv[3]))
words = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda".split()
text = lambda n: " ".join(r.choice(words) for _ in range(n)).encode()
D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
class Stream:  # written as to a pipe: sizes and CRCs go to data descriptors
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with open(out, "wb") as f, zipfile.ZipFile(Stream(f) if kind == "streamed" else f, "w") as z:
    put = lambda name, data, method: z.writestr(zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6)), data, method)
    if kind == "bigstored":
        put("photo.jpg", r.randbytes(2000000), S)
        put("notes.txt", text(3000), D)
    elif kind == "many":
        for i in range(200): put("folder/%03d-%s.txt" % (i, "n" * 50), text(20), D)
    elif kind == "docx":
        put("word/document.xml", text(60000), D)
        put("[Content_Types].xml", b"<Types/>", D)
        put("word/media/image1.bin", r.randbytes(30000), S)
    else:
        method = S if kind == "stored" else D
        body = text if method == D else r.randbytes
        put("notes.txt", body(60000), method)
        put("noise.bin", r.randbytes(30000), method)
        put("tail.txt", body(3000), method)
)";
    const std::string py = dir + "/make_zip.py";
    qv::test::write_file(py, bytes(script, script + std::strlen(script)));
    const std::string cmd = "python3 " + qv::test::shell_quote(py) + " " + kind + " " + qv::test::shell_quote(out) + " " +
                            std::to_string(seed);
    if (qv::test::run(cmd) != 0) return *missing = "python3 could not make the ZIP", bytes{};
    return qv::test::read_file(out);
}

uint32_t le32_at(const bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

enum class zip_break { first_member, central };

// The number of whole clusters of the file before the break.
uint64_t zip_cut(const bytes& zip, zip_break where) {
    const size_t eocd = zip.size() - 22;
    EXPECT_EQ(le32_at(zip, eocd), 0x06054b50u);
    const uint64_t cd_size = le32_at(zip, eocd + 12), cd_offset = le32_at(zip, eocd + 16);
    if (where == zip_break::central) {
        const uint64_t cut = cd_offset / cluster + 1;
        EXPECT_LT(cut * cluster, cd_offset + cd_size) << "the central directory spans a cluster boundary";
        return cut;
    }
    // The first member's compressed size from the central directory: a local
    // header followed by a data descriptor leaves it zero.
    const uint64_t first_end = 30 + (le32_at(zip, 26) & 0xFFFF) + (le32_at(zip, 26) >> 16) + le32_at(zip, cd_offset + 20);
    EXPECT_GT(first_end, 3 * cluster) << "the first member spans clusters";
    return first_end / cluster - 1;
}

std::optional<qv::sig::joined_file> join_zip(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    return qv::test::join_in(qv::sig::join_zip, image, start, {cluster, 0, max_gap});
}

enum class zip_gap { noise, zeros, other_zip };

split_image split_zip(const bytes& file, zip_break where, uint64_t gap_clusters, zip_gap gap, const bytes& other) {
    split_image s = split(file, zip_cut(file, where), gap_clusters, gap == zip_gap::zeros ? gap_kind::zeros : gap_kind::noise);
    if (gap == zip_gap::other_zip) {
        const uint64_t at = s.first.offset + s.first.size;
        std::copy(other.begin(), other.begin() + std::ptrdiff_t(std::min<uint64_t>(other.size(), s.second.offset - at)),
                  s.image.begin() + std::ptrdiff_t(at));
    }
    return s;
}

struct zip_row {
    const char* name;
    const char* kind;
    zip_break where;
    uint64_t gap_clusters;
    zip_gap gap;
    const char* type;  // what the deep scan lists it as
};

class ZipInTwoPieces : public ::testing::TestWithParam<zip_row> {};

TEST_P(ZipInTwoPieces, ComesBackByteForByte) {
    const zip_row row = GetParam();
    qv::test::temp_dir dir;
    std::string missing;
    const bytes file = make_zip(dir.path().string(), row.kind, 1, &missing);
    const bytes other = make_zip(dir.path().string(), "many", 2, &missing);
    if (file.empty() || other.empty()) GTEST_SKIP() << missing;
    const split_image s = split_zip(file, row.where, row.gap_clusters, row.gap, other);
    // Whole where it lies, the file is no fragment.
    bytes whole = qv::test::pseudo_random_bytes(file.size() + 3 * cluster, 1);
    std::copy(file.begin(), file.end(), whole.begin() + cluster);
    EXPECT_FALSE(join_zip(whole, cluster));

    const auto j = join_zip(s.image, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->first, s.first);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(s.image, *j), file);
    EXPECT_EQ(std::string(j->type), std::string(row.type) == "zip" ? "" : row.type);
    EXPECT_FALSE(join_zip(s.image, s.first.offset, row.gap_clusters - 1)) << "beyond the reach looked at";

    // The deep scan lists it assembled, and recovers it byte for byte (a whole
    // ZIP in the gap is listed as well, whole); the whole one it lists as it is.
    for (bool every_byte : {false, true}) {
        const deep_png_scan scan = deep_scan(s.image, every_byte, 0, row.type);
        const auto it = std::find_if(scan.pngs.begin(), scan.pngs.end(),
                                     [&](const qv::found_item& f) { return f.offset == s.first.offset; });
        ASSERT_NE(it, scan.pngs.end()) << every_byte;
        EXPECT_EQ(scan.result.joins.size(), 1u);
        const qv::found_item& zip = *it;
        EXPECT_EQ(zip.state, qv::item_state::assembled);
        const std::vector<qv::item_piece> want{{s.first.offset, s.first.size}, {s.second.offset, s.second.size}};
        EXPECT_EQ(zip.pieces, want);
        EXPECT_EQ(recovered(s.image, zip, dir.path().string()), file);
    }
    const deep_png_scan scan = deep_scan(whole, false, 0, row.type);
    ASSERT_EQ(scan.pngs.size(), 1u);
    EXPECT_TRUE(scan.pngs[0].pieces.empty());
    EXPECT_EQ(scan.pngs[0].size, file.size());
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ZipInTwoPieces,
    ::testing::Values(zip_row{"DeflatedMemberNoiseGap", "deflated", zip_break::first_member, 5, zip_gap::noise, "zip"},
                      zip_row{"DeflatedMemberZeroGap", "deflated", zip_break::first_member, 9, zip_gap::zeros, "zip"},
                      zip_row{"DeflatedMemberFarGap", "deflated", zip_break::first_member, 2000, zip_gap::other_zip, "zip"},
                      zip_row{"StreamedMemberNoiseGap", "streamed", zip_break::first_member, 6, zip_gap::noise, "zip"},
                      zip_row{"StreamedMemberFarGap", "streamed", zip_break::first_member, 2000, zip_gap::zeros, "zip"},
                      zip_row{"StoredMemberOtherZipGap", "stored", zip_break::first_member, 7, zip_gap::other_zip, "zip"},
                      zip_row{"LargeStoredMember", "bigstored", zip_break::first_member, 40, zip_gap::noise, "zip"},
                      zip_row{"CentralDirectoryNoiseGap", "many", zip_break::central, 3, zip_gap::noise, "zip"},
                      zip_row{"CentralDirectoryZeroGap", "many", zip_break::central, 12, zip_gap::zeros, "zip"},
                      zip_row{"DocxMember", "docx", zip_break::first_member, 6, zip_gap::other_zip, "docx"},
                      zip_row{"ZipToolMember", "tool", zip_break::first_member, 4, zip_gap::noise, "zip"},
                      zip_row{"ZipToolCentralDirectory", "tool", zip_break::central, 2, zip_gap::zeros, "zip"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZipInTwoPieces, AWrongContinuationIsNeverAccepted) {
    qv::test::temp_dir dir;
    std::string missing;
    // Stored twins: the same members of the same sizes, so the twin's entries
    // line up where the true ones would; only the CRCs tell them apart.
    const bytes file = make_zip(dir.path().string(), "stored", 3, &missing);
    const bytes twin = make_zip(dir.path().string(), "stored", 4, &missing);
    if (file.empty() || twin.empty()) GTEST_SKIP() << missing;
    ASSERT_EQ(file.size(), twin.size());
    const split_image s = split_zip(file, zip_break::first_member, 30, zip_gap::noise, {});
    const bytes rest(twin.begin() + std::ptrdiff_t(s.first.size), twin.end());
    // The true rest with one byte of the member across the break changed,
    // nearer than the true one: only that member's CRC-32 tells, and the true one is found.
    bytes decoy(file.begin() + std::ptrdiff_t(s.first.size), file.end());
    decoy[100] ^= 0x40;
    bytes decoyed = s.image;
    const uint64_t decoy_at = s.first.offset + s.first.size + 2 * cluster;
    ASSERT_LE(decoy_at + decoy.size(), s.second.offset);
    std::copy(decoy.begin(), decoy.end(), decoyed.begin() + std::ptrdiff_t(decoy_at));
    const auto j = join_zip(decoyed, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(decoyed, *j), file);
    // In the true one's place, and with no continuation at all: nothing, no crash.
    bytes no_true = s.image;
    std::copy(rest.begin(), rest.end(), no_true.begin() + std::ptrdiff_t(s.second.offset));
    EXPECT_FALSE(join_zip(no_true, s.first.offset));
    bytes none = qv::test::pseudo_random_bytes(s.image.size(), 17);
    std::copy(file.begin(), file.begin() + std::ptrdiff_t(s.first.size), none.begin() + std::ptrdiff_t(s.first.offset));
    EXPECT_FALSE(join_zip(none, s.first.offset));
    for (const bytes* image : {&no_true, &none}) {
        const deep_png_scan scan = deep_scan(*image, false, 0, "zip");
        EXPECT_TRUE(scan.result.joins.empty());
        for (const qv::found_item& f : scan.pngs) EXPECT_TRUE(f.pieces.empty()) << f.offset;
    }
}

TEST(ZipInTwoPieces, HostileInputEndsQuicklyWithNothing) {
    qv::test::temp_dir dir;
    std::string missing;
    const bytes file = make_zip(dir.path().string(), "deflated", 5, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    std::vector<bytes> cases;
    for (size_t n : {size_t(3), size_t(29), size_t(100), size_t(5 * cluster), file.size() - 30, file.size() - 1})
        cases.push_back(bytes(file.begin(), file.begin() + std::ptrdiff_t(n)));  // cut short
    bytes sizes = file;  // a compressed size far beyond everything
    sizes[18] = sizes[19] = sizes[20] = 0xFF;
    sizes[21] = 0xF0;
    cases.push_back(sizes);
    bytes names = file;  // name and extra lengths far too long
    names[26] = names[27] = names[28] = names[29] = 0xFF;
    cases.push_back(names);
    bytes streamed = file;  // sizes left to a data descriptor that is not there
    streamed[6] |= 0x08;
    std::fill(streamed.begin() + 14, streamed.begin() + 26, 0);
    cases.push_back(streamed);
    bytes headers;  // local headers and nothing else, over and over
    while (headers.size() < 40 * cluster) headers.insert(headers.end(), file.begin(), file.begin() + 30 + 9);
    cases.push_back(headers);
    bytes zeros = file;  // every size zero
    for (size_t i = 30; i < zeros.size(); ++i) zeros[i] = 0;
    cases.push_back(zeros);
    for (size_t i = 0; i < cases.size(); ++i) {
        bytes image = qv::test::pseudo_random_bytes(cases[i].size() + 8 * cluster, uint32_t(i));
        std::copy(cases[i].begin(), cases[i].end(), image.begin());
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(join_zip(image, 0)) << "case " << i;
        EXPECT_FALSE(join_zip(cases[i], 0)) << "case " << i << " at the very end";
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << "case " << i;
    }
}

// ---- MP3 ----

struct mp3_make {
    bool vbr;
    int channels;
    double seconds;
    uint32_t seed;
};

// An MP3 made by FFmpeg's LAME encoder (an ID3v2 tag, an Info or Xing frame
// with a LAME tag, then the frames); empty with *missing set when it cannot be made.
bytes make_mp3(const std::string& dir, const mp3_make& m, std::string* missing) {
    const std::string out = dir + "/sound" + std::to_string(m.seed) + (m.vbr ? "v" : "c") + ".mp3";
    const std::string seconds = std::to_string(m.seconds);
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=" +
                            std::to_string(220 + m.seed * 37) + ":duration=" + seconds +
                            " -f lavfi -i anoisesrc=a=0.1:seed=" + std::to_string(m.seed) + ":d=" + seconds +
                            " -filter_complex amix=inputs=2 -ac " + std::to_string(m.channels) + " -ar 44100 " +
                            (m.vbr ? "-q:a 4" : "-b:a 128k") + " -c:a libmp3lame '" + out + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        *missing = "ffmpeg with the LAME encoder is not installed";
        return {};
    }
    return qv::test::read_file(out);
}

// The same file without its LAME tag (the encoder's name spoilt): no music CRC to check.
bytes without_lame_tag(bytes mp3) {
    const std::string info = "Info", xing = "Xing";
    auto at = std::search(mp3.begin(), mp3.end(), info.begin(), info.end());
    if (at == mp3.end()) at = std::search(mp3.begin(), mp3.end(), xing.begin(), xing.end());
    if (at == mp3.end()) return {};
    const size_t lame = size_t(at - mp3.begin()) + 120;  // Xing fields with TOC and quality
    for (size_t i = 0; i < 9; ++i) mp3[lame + i] = 0x01;
    return mp3;
}

std::optional<qv::sig::joined_file> join_mp3(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    return qv::test::join_in(qv::sig::join_mp3, image, start, {cluster, start, max_gap});
}

enum class mp3_gap { noise, zeros, other_mp3 };

split_image split_mp3(const bytes& file, uint64_t first_clusters, uint64_t gap_clusters, mp3_gap gap, const bytes& other) {
    split_image s = split(file, first_clusters, gap_clusters, gap == mp3_gap::zeros ? gap_kind::zeros : gap_kind::noise);
    if (gap == mp3_gap::other_mp3) {
        // The middle of another MP3 of the same kind fills the gap, frames and all.
        const uint64_t from = s.first.offset + s.first.size, n = std::min<uint64_t>(s.second.offset - from, other.size() / 2);
        std::copy(other.begin() + std::ptrdiff_t(other.size() / 4), other.begin() + std::ptrdiff_t(other.size() / 4 + n),
                  s.image.begin() + std::ptrdiff_t(from));
    }
    return s;
}

struct mp3_row {
    const char* name;
    mp3_make make;
    bool lame_tag;
    uint64_t first_clusters, gap_clusters;
    mp3_gap gap;
};

class Mp3InTwoPieces : public ::testing::TestWithParam<mp3_row> {};

TEST_P(Mp3InTwoPieces, ComesBackByteForByteAlsoFromTheDeepScan) {
    const mp3_row row = GetParam();
    qv::test::temp_dir dir;
    std::string missing;
    bytes file = make_mp3(dir.path().string(), row.make, &missing);
    const bytes other = make_mp3(dir.path().string(), {row.make.vbr, row.make.channels, 20, row.make.seed + 100}, &missing);
    if (file.empty() || other.empty()) GTEST_SKIP() << missing;
    if (!row.lame_tag) file = without_lame_tag(file);
    ASSERT_FALSE(file.empty());
    ASSERT_LT(row.first_clusters * cluster, file.size());
    const split_image s = split_mp3(file, row.first_clusters, row.gap_clusters, row.gap, other);
    const auto j = join_mp3(s.image, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->first, s.first);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(s.image, *j), file);
    for (bool every_byte : {false, true}) {
        const deep_png_scan scan = deep_scan(s.image, every_byte, 0, "mp3");
        const auto item = std::find_if(scan.pngs.begin(), scan.pngs.end(),
                                       [&](const qv::found_item& f) { return f.offset == s.first.offset; });
        ASSERT_NE(item, scan.pngs.end()) << (every_byte ? "every byte" : "sector starts");
        EXPECT_EQ(item->state, qv::item_state::assembled);
        EXPECT_EQ(recovered(s.image, *item, dir.path().string()), file);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mp3InTwoPieces,
    ::testing::Values(mp3_row{"ConstantRateAcrossNoise", {false, 2, 12, 1}, true, 20, 3, mp3_gap::noise},
                      mp3_row{"VariableRateAcrossZeros", {true, 2, 12, 2}, true, 17, 40, mp3_gap::zeros},
                      mp3_row{"MonoAcrossAnotherMp3", {false, 1, 12, 3}, true, 5, 2000, mp3_gap::other_mp3},
                      mp3_row{"NoLameTagAcrossAnotherMp3", {true, 2, 12, 4}, false, 14, 9, mp3_gap::other_mp3},
                      mp3_row{"NoLameTagVariableRate", {true, 2, 12, 5}, false, 11, 2, mp3_gap::noise}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Mp3InTwoPieces, AWrongContinuationIsNeverAccepted) {
    qv::test::temp_dir dir;
    std::string missing;
    // Constant-rate twins of one length: their frames lie exactly where the
    // true ones would, with the same count and length.
    const bytes file = make_mp3(dir.path().string(), {false, 2, 8, 7}, &missing);
    const bytes twin = make_mp3(dir.path().string(), {false, 2, 8, 8}, &missing);
    if (file.empty() || twin.empty()) GTEST_SKIP() << missing;
    ASSERT_EQ(file.size(), twin.size());
    for (bool lame_tag : {true, false}) {
        const bytes f = lame_tag ? file : without_lame_tag(file);
        const bytes t = lame_tag ? twin : without_lame_tag(twin);
        const split_image s = split_mp3(f, 9, 60, mp3_gap::noise, {});
        // The twin's rest, cut at the same place, nearer than the true rest.
        const bytes rest(t.begin() + std::ptrdiff_t(s.first.size), t.end());
        bytes decoyed = s.image;
        const uint64_t decoy_at = s.first.offset + s.first.size + 2 * cluster;
        ASSERT_LE(decoy_at + rest.size(), s.second.offset);
        std::copy(rest.begin(), rest.end(), decoyed.begin() + std::ptrdiff_t(decoy_at));
        const auto j = join_mp3(decoyed, s.first.offset);
        // With the music CRC the true rest is found; without it nothing tells
        // a constant-rate twin apart, so nothing is taken.
        if (lame_tag) {
            ASSERT_TRUE(j);
            EXPECT_EQ(j->second, s.second);
            EXPECT_EQ(assembled(decoyed, *j), f);
        } else {
            EXPECT_FALSE(j);
        }
        // Only the twin's rest: nothing.
        bytes no_true = s.image;
        std::copy(rest.begin(), rest.end(), no_true.begin() + std::ptrdiff_t(s.second.offset));
        EXPECT_FALSE(join_mp3(no_true, s.first.offset)) << (lame_tag ? "with" : "without") << " a LAME tag";
        const deep_png_scan scan = deep_scan(no_true, false, 0, "mp3");
        EXPECT_TRUE(scan.result.joins.empty());
    }
    // A whole MP3 is not joined, and one cut short with no rest anywhere gives nothing.
    bytes whole = qv::test::pseudo_random_bytes(file.size() + 16 * cluster, 3);
    std::copy(file.begin(), file.end(), whole.begin() + std::ptrdiff_t(4 * cluster));
    EXPECT_FALSE(join_mp3(whole, 4 * cluster));
    const deep_png_scan scan = deep_scan(whole, false, 0, "mp3");
    EXPECT_TRUE(scan.result.joins.empty());
    ASSERT_EQ(scan.pngs.size(), 1u);
    EXPECT_EQ(scan.pngs[0].size, file.size());
    bytes cut = qv::test::pseudo_random_bytes(file.size() + 16 * cluster, 4);
    std::copy(file.begin(), file.begin() + std::ptrdiff_t(12 * cluster), cut.begin());
    EXPECT_FALSE(join_mp3(cut, 0));
}

TEST(Mp3InTwoPieces, HostileInputEndsQuicklyWithNothing) {
    qv::test::temp_dir dir;
    std::string missing;
    const bytes file = make_mp3(dir.path().string(), {false, 2, 6, 9}, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    const std::string info = "Info";
    const size_t at = size_t(std::search(file.begin(), file.end(), info.begin(), info.end()) - file.begin());
    ASSERT_LT(at + 16, file.size());
    std::vector<bytes> cases;
    for (size_t n : {size_t(3), size_t(10), at + 10, size_t(5 * cluster), file.size() - 1})
        cases.push_back(bytes(file.begin(), file.begin() + std::ptrdiff_t(n)));  // cut short
    bytes huge = file;  // a length and frame count far beyond everything
    std::fill(huge.begin() + std::ptrdiff_t(at + 8), huge.begin() + std::ptrdiff_t(at + 16), 0xFF);
    cases.push_back(huge);
    bytes tag = file;  // an ID3v2 tag far longer than the file
    tag[6] = tag[7] = tag[8] = tag[9] = 0x7F;
    cases.push_back(tag);
    bytes headers;  // the first frame's header and side information, over and over
    while (headers.size() < 60 * cluster) headers.insert(headers.end(), file.begin() + std::ptrdiff_t(at - 36), file.begin() + std::ptrdiff_t(at + 40));
    cases.push_back(headers);
    for (size_t i = 0; i < cases.size(); ++i) {
        bytes image = qv::test::pseudo_random_bytes(cases[i].size() + 8 * cluster, uint32_t(i));
        std::copy(cases[i].begin(), cases[i].end(), image.begin());
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(join_mp3(image, 0)) << "case " << i;
        EXPECT_FALSE(join_mp3(cases[i], 0)) << "case " << i << " at the very end";
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << "case " << i;
    }
}

}  // namespace
