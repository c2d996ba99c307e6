// PNG files stored in two pieces: the pieces found again byte for byte across
// gaps of other data and of zeros, wrong continuations never accepted.

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "devices/device_handle.hpp"
#include "sigscan/fragment_join.hpp"
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

struct split_image {
    bytes image;
    qv::sig::file_piece first, second;
};

// The file at cluster 4, cut after `first_clusters` clusters, the rest after
// `gap_clusters` clusters of filler, random data around it all.
split_image split(const bytes& file, uint64_t first_clusters, uint64_t gap_clusters, gap_kind gap) {
    split_image s;
    const uint64_t first_at = 4 * cluster, cut = first_clusters * cluster;
    const uint64_t second_at = first_at + cut + gap_clusters * cluster;
    const uint64_t end = (second_at + (file.size() - cut) + 3 * cluster) / cluster * cluster;
    s.image = qv::test::pseudo_random_bytes(size_t(end), 99);
    if (gap == gap_kind::zeros) std::fill(s.image.begin() + std::ptrdiff_t(first_at + cut), s.image.begin() + std::ptrdiff_t(second_at), 0);
    std::copy(file.begin(), file.begin() + std::ptrdiff_t(cut), s.image.begin() + std::ptrdiff_t(first_at));
    std::copy(file.begin() + std::ptrdiff_t(cut), file.end(), s.image.begin() + std::ptrdiff_t(second_at));
    s.first = {first_at, cut};
    s.second = {second_at, file.size() - cut};
    return s;
}

std::optional<qv::sig::joined_file> join(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    qv::memory_device device(image);
    qv::sig::carve_input in(device, nullptr);
    return qv::sig::join_png(in, start, image.size() - start, {cluster, 0, max_gap});
}

bytes assembled(const bytes& image, const qv::sig::joined_file& j) {
    bytes out(image.begin() + std::ptrdiff_t(j.first.offset), image.begin() + std::ptrdiff_t(j.first.offset + j.first.size));
    out.insert(out.end(), image.begin() + std::ptrdiff_t(j.second.offset),
               image.begin() + std::ptrdiff_t(j.second.offset + j.second.size));
    return out;
}

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

}  // namespace
