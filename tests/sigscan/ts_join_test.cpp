// MPEG transport streams and M2TS stored in two pieces: recordings made by
// ffmpeg, cut at a cluster boundary and put back byte for byte across gaps of
// noise and zeros; a piece of another recording with the same settings, from
// the same place on, is never taken for the rest.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "devices/device_handle.hpp"
#include "engine/deep_core.hpp"
#include "sigscan/fragment_join.hpp"
#include "sigscan/video_decode.hpp"
#include "tests/sigscan/pieces.hpp"
#include "tests/support/test_support.hpp"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint64_t cluster = 4096;

// A 6-second recording, 320x240 H.264 with AAC sound, a key frame a second;
// source and tone make another of the same settings. camera: the encoder's
// own settings, as a camera's (CABAC, B-frames: decode stamps apart from
// presentation stamps); else its fastest (CAVLC, no B-frames). Empty, with
// why in *missing, when ffmpeg or its H.264 encoder is not there.
bytes make_ts(const std::string& source, int tone, bool m2ts, std::string* missing, bool camera = false) {
    static std::map<std::string, bytes> made;
    static qv::test::temp_dir dir;
    const std::string key = source + std::to_string(tone) + (m2ts ? "m" : "t") + (camera ? "c" : "");
    if (auto it = made.find(key); it != made.end()) {
        if (it->second.empty()) *missing = "ffmpeg could not make a transport stream";
        return it->second;
    }
    if (!qv::test::have_tool("ffmpeg")) return *missing = "ffmpeg is not installed", bytes{};
    const std::string out = dir / ("r-" + key + ".ts");
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i " + source + "=size=320x240:rate=25 -f lavfi -i sine=frequency=" +
                            std::to_string(tone) +
                            " -t 6 -vf noise=alls=12:allf=t -c:v libx264" + (camera ? "" : " -preset ultrafast") +
                            " -g 25 -pix_fmt yuv420p -c:a aac -f mpegts" +
                            (m2ts ? " -mpegts_m2ts_mode 1" : "") + " " + qv::test::shell_quote(out) +
                            " </dev/null 2>/dev/null";
    made[key] = qv::test::run(cmd) == 0 ? qv::test::read_file(out) : bytes{};
    if (made[key].empty()) *missing = "ffmpeg could not make a transport stream";
    return made[key];
}

std::optional<qv::sig::joined_file> join(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    return qv::test::join_in(qv::sig::join_ts, image, start, {cluster, 0, max_gap});
}

struct ts_row {
    const char* name;
    bool m2ts;
    double at;  // where in the file the cut lies
    uint64_t gap_clusters;
    bool zero_gap;
    bool camera = false;
};

class TsInTwoPieces : public ::testing::TestWithParam<ts_row> {};

TEST_P(TsInTwoPieces, ComesBackByteForByte) {
    const ts_row row = GetParam();
    if (!qv::sig::video_decoding_available()) GTEST_SKIP() << "built without libavcodec";
    std::string missing;
    const bytes file = make_ts("testsrc", 440, row.m2ts, &missing, row.camera);
    if (file.empty()) GTEST_SKIP() << missing;
    const uint64_t cut = uint64_t(row.at * double(file.size())) / cluster * cluster;
    const qv::test::split_image s = qv::test::lay_in_two(file, cut, row.gap_clusters, row.zero_gap, cluster);

    const auto j = join(s.image, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->first, s.first);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(qv::test::assembled(s.image, *j), file);
    EXPECT_EQ(std::string(j->type), row.m2ts ? "m2ts" : "");
    EXPECT_FALSE(join(s.image, s.first.offset, row.gap_clusters - 1)) << "beyond the reach looked at";

    // Whole where it lies, it is no fragment, and it is listed whole: its
    // sound, which the encoder holds back for the first 800 packets, is one
    // of the streams its PMT lists.
    bytes whole = qv::test::pseudo_random_bytes(file.size() + 3 * cluster, 1);
    std::copy(file.begin(), file.end(), whole.begin() + cluster);
    EXPECT_FALSE(join(whole, cluster));
    {
        qv::memory_device device(whole);
        qv::deep_core core;
        const qv::deep_scan_result result = core.scan(device, {});
        EXPECT_TRUE(result.joins.empty());
        bool listed = false;
        for (const qv::found_item& f :
             qv::deep_found_items(result.records, result.type_index, result.facts, result.joins))
            listed = listed || (f.offset == cluster && f.size == file.size() && f.pieces.empty());
        EXPECT_TRUE(listed);
    }

    // The deep scan lists it assembled, and recovers it whole.
    qv::test::temp_dir dir;
    const char* type = row.m2ts ? "m2ts" : "ts";
    for (bool every_byte : {false, true}) {
        qv::memory_device device(s.image);
        qv::deep_core core;
        core.set_every_byte(every_byte);
        const qv::deep_scan_result result = core.scan(device, {});
        EXPECT_EQ(result.joins.size(), 1u) << every_byte;
        bool seen = false;
        for (const qv::found_item& f :
             qv::deep_found_items(result.records, result.type_index, result.facts, result.joins)) {
            if (f.type != type || f.offset != s.first.offset) continue;
            seen = true;
            EXPECT_EQ(f.state, qv::item_state::assembled);
            const std::vector<qv::item_piece> want{{s.first.offset, s.first.size}, {s.second.offset, s.second.size}};
            EXPECT_EQ(f.pieces, want);
            const std::string to = dir / "out.ts";
            ASSERT_EQ(qv::deep_core::recover(device, f, to), 0);
            EXPECT_EQ(qv::test::read_file(to), file);
        }
        EXPECT_TRUE(seen) << every_byte;
    }
}

INSTANTIATE_TEST_SUITE_P(Splits, TsInTwoPieces,
                         ::testing::Values(ts_row{"NoiseGap", false, 0.4, 7, false},
                                           ts_row{"ZeroGap", false, 0.65, 30, true},
                                           ts_row{"NearTheStart", false, 0.1, 3, false},
                                           ts_row{"NearTheEnd", false, 0.97, 5, false},
                                           ts_row{"M2tsNoiseGap", true, 0.5, 9, false},
                                           ts_row{"M2tsFarGap", true, 0.3, 2000, true},
                                           ts_row{"CameraSettings", false, 0.45, 11, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Another recording with the same settings (same streams, clock and packets
// per second) put where the rest should be, cut at the same place: its
// packets follow on in step, yet its video does not decode on from the first
// piece's, and it is never taken.
TEST(TsInTwoPieces, AnotherRecordingsPieceIsNeverTaken) {
    if (!qv::sig::video_decoding_available()) GTEST_SKIP() << "built without libavcodec";
    std::string missing;
    const bytes file = make_ts("testsrc", 440, false, &missing);
    const bytes other = make_ts("testsrc2", 660, false, &missing);
    if (file.empty() || other.empty()) GTEST_SKIP() << missing;
    int cuts = 0;
    for (double at = 0.05; at < 0.95; at += 0.03) {
        const uint64_t cut = uint64_t(at * double(file.size())) / cluster * cluster;
        if (cut >= other.size()) continue;
        qv::test::split_image s = qv::test::lay_in_two(file, cut, 5, false, cluster);
        // The other recording's bytes from the same place, where the rest of this one lay.
        std::copy(other.begin() + std::ptrdiff_t(cut),
                  other.begin() + std::ptrdiff_t(std::min<uint64_t>(other.size(), cut + s.second.size)),
                  s.image.begin() + std::ptrdiff_t(s.second.offset));
        EXPECT_FALSE(join(s.image, s.first.offset)) << "cut at " << cut;
        ++cuts;
    }
    EXPECT_GT(cuts, 20);
}

// A stream cut off and followed by noise, or by nothing, gives nothing and ends.
TEST(TsInTwoPieces, NoContinuationGivesNothing) {
    if (!qv::sig::video_decoding_available()) GTEST_SKIP() << "built without libavcodec";
    std::string missing;
    const bytes file = make_ts("testsrc", 440, false, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    const uint64_t cut = file.size() / 2 / cluster * cluster;
    bytes image = qv::test::pseudo_random_bytes(size_t(cut + 64 * cluster), 3);
    std::copy(file.begin(), file.begin() + std::ptrdiff_t(cut), image.begin() + std::ptrdiff_t(cluster));
    EXPECT_FALSE(join(image, cluster));
    image.resize(size_t(cluster + cut));
    EXPECT_FALSE(join(image, cluster));
}

// Damaged copies of a two-piece stream (bytes changed in its tables, its
// packet headers and around the break) end with nothing or with pieces inside
// the image; never a crash or a read outside it.
TEST(TsInTwoPieces, DamagedCopiesNeverCrashOrReachOutside) {
    if (!qv::sig::video_decoding_available()) GTEST_SKIP() << "built without libavcodec";
    std::string missing;
    const bytes file = make_ts("testsrc", 440, false, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    const uint64_t cut = file.size() / 3 / cluster * cluster;
    const qv::test::split_image s = qv::test::lay_in_two(file, cut, 4, false, cluster);
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 60; ++round) {
        bytes image = s.image;
        for (int k = 0; k < 8; ++k) {
            // The tables at the start, the packets before the break, the continuation's first packets.
            const uint64_t areas[] = {s.first.offset, s.first.offset + cut - 4096, s.second.offset};
            const uint64_t at = areas[next() % 3] + next() % 4096;
            image[size_t(at)] = uint8_t(next() >> 8);
        }
        const auto j = join(image, s.first.offset);
        if (!j) continue;
        EXPECT_EQ(j->first.offset, s.first.offset);
        EXPECT_LE(j->second.offset + j->second.size, image.size());
        EXPECT_GT(j->second.offset, j->first.offset + j->first.size);
    }
}

}  // namespace
