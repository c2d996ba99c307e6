// MP4, MOV and 3GP videos stored in two pieces: made by ffmpeg, cut inside
// their media data and put back byte for byte across gaps of noise, zeros and
// another video; wrong continuations and hostile sample tables give nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "devices/device_handle.hpp"
#include "engine/deep_core.hpp"
#include "sigscan/fragment_join.hpp"
#include "sigscan/video_decode.hpp"
#include "tests/sigscan/pieces.hpp"
#include "tests/support/test_support.hpp"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint64_t cluster = 4096;

struct video_make {
    const char* ext = "mp4";
    const char* source = "testsrc";  // another source makes a different video of the same layout
    const char* video = "libx264";  // empty: sound alone
    bool audio = true, faststart = false;
    bool sliced = false;  // H.264 slices of at most 1400 bytes, as streaming cameras write
    bool camera = false;  // 640x480 in the encoder's default settings: frames of one slice of about 45 KB
};

// A camera's H.264 video: B-frames, CABAC, every frame one NAL unit.
constexpr video_make camera{"mp4", "testsrc2", "libx264", true, false, false, true};

// A 3-second video with sound made by ffmpeg (noise keeps its media large:
// its frames are single NAL units of about 15 KB unless sliced);
// empty, with why in *missing, when ffmpeg or an encoder is not there. Made
// once per process for each recipe.
bytes make_video(const video_make& m, std::string* missing) {
    static std::map<std::string, bytes> made;
    static qv::test::temp_dir dir;
    const std::string key = std::string(m.ext) + m.source + m.video + (m.audio ? "a" : "") + (m.faststart ? "f" : "") +
                            (m.sliced ? "s" : "") + (m.camera ? "c" : "");
    if (auto it = made.find(key); it != made.end()) return it->second.empty() ? (*missing = "ffmpeg failed", bytes{}) : it->second;
    if (!qv::test::have_tool("ffmpeg")) return *missing = "ffmpeg is not installed", bytes{};
    const std::string out = dir / ("v-" + key + "." + m.ext);
    std::string cmd = "ffmpeg -v error -y";
    if (*m.video) cmd += " -f lavfi -i " + std::string(m.source) + (m.camera ? "=size=640x480" : "=size=320x240") + ":rate=25";
    if (m.audio) cmd += " -f lavfi -i sine=frequency=440:beep_factor=3";
    cmd += *m.video ? " -t 3 -vf noise=alls=12:allf=t -c:v " + std::string(m.video) : " -t 20";
    if (std::string(m.video).substr(0, 3) == "lib" && !m.camera) cmd += " -preset ultrafast";
    if (std::string(m.video) == "mjpeg") cmd += " -q:v 2";  // frames of about 40 KB, over several clusters
    if (std::string(m.video) == "libx265") cmd += " -x265-params log-level=error";
    if (m.sliced) cmd += " -x264-params slice-max-size=1400";
    if (m.audio) cmd += " -c:a aac";
    if (m.faststart) cmd += " -movflags +faststart";
    cmd += " " + qv::test::shell_quote(out) + " </dev/null 2>/dev/null";
    made[key] = qv::test::run(cmd) == 0 ? qv::test::read_file(out) : bytes{};
    if (made[key].empty()) *missing = std::string("ffmpeg could not encode with ") + m.video;
    return made[key];
}

uint32_t be32_at(const bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// Offset of the first box of this type found in the file (at any depth), or 0.
size_t box_at(const bytes& b, const char* type, size_t from = 0) {
    for (size_t i = std::max<size_t>(from, 4); i + 4 <= b.size(); ++i)
        if (std::memcmp(b.data() + i, type, 4) == 0) return i - 4;
    return 0;
}

enum class gap_kind { noise, zeros, other_video };

using qv::test::split_image;

// The file at cluster 4, cut at the cluster boundary `at` (0 to 1) of the way
// through its media data, the rest after `gap_clusters` clusters of filler.
split_image split(const bytes& file, double at, uint64_t gap_clusters, gap_kind gap, const bytes& other = {}) {
    const size_t mdat = box_at(file, "mdat");
    const uint64_t cut = uint64_t(double(mdat) + at * double(be32_at(file, mdat))) / cluster * cluster;
    EXPECT_GT(cut, mdat + 8);
    split_image s = qv::test::lay_in_two(file, cut, gap_clusters, gap == gap_kind::zeros, cluster);
    if (gap == gap_kind::other_video)
        std::copy(other.begin(), other.begin() + std::ptrdiff_t(std::min<uint64_t>(other.size(), gap_clusters * cluster)),
                  s.image.begin() + std::ptrdiff_t(s.first.offset + cut));
    return s;
}

std::optional<qv::sig::joined_file> join(const bytes& image, uint64_t start, uint64_t max_gap = 4096) {
    return qv::test::join_in(qv::sig::join_mp4, image, start, {cluster, 0, max_gap});
}

using qv::test::assembled;

// The deep scan's found items of one type, and how many joins it made.
struct deep_scan_of {
    std::vector<qv::found_item> items;
    size_t joins = 0;
};

deep_scan_of deep_scan(const bytes& image, bool every_byte, const std::string& type) {
    qv::memory_device device(image);
    qv::deep_core core;
    core.set_every_byte(every_byte);
    const qv::deep_scan_result result = core.scan(device, {});
    deep_scan_of out;
    out.joins = result.joins.size();
    for (const qv::found_item& f : qv::deep_found_items(result.records, result.type_index, result.facts, result.joins))
        if (f.type == type) out.items.push_back(f);
    return out;
}

struct split_row {
    const char* name;
    video_make make;
    double at;  // where in the media data the cut lies
    uint64_t gap_clusters;
    gap_kind gap;
    const char* type;  // what the deep scan lists it as
    bool decoded = false;  // only decoding the frames tells the break
};

class Mp4InTwoPieces : public ::testing::TestWithParam<split_row> {};

TEST_P(Mp4InTwoPieces, ComesBackByteForByte) {
    const split_row row = GetParam();
    std::string missing;
    const bytes file = make_video(row.make, &missing);
    const bytes other = make_video({"mp4", "testsrc2"}, &missing);
    if (file.empty() || other.empty()) GTEST_SKIP() << missing;
    if (row.decoded && !qv::sig::video_decoding_available()) GTEST_SKIP() << "built without libavcodec";
    const split_image s = split(file, row.at, row.gap_clusters, row.gap, other);
    // Whole where it lies, the file is no fragment.
    bytes whole = qv::test::pseudo_random_bytes(file.size() + 3 * cluster, 1);
    std::copy(file.begin(), file.end(), whole.begin() + cluster);
    EXPECT_FALSE(join(whole, cluster));
    {
        qv::memory_device device(whole);
        qv::sig::carve_input in(device, nullptr);
        EXPECT_FALSE(qv::sig::mp4_shows_break(in, cluster, file.size(), {cluster, 0, 4096}));
    }

    const auto j = join(s.image, s.first.offset);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->first, s.first);
    EXPECT_EQ(j->second, s.second);
    EXPECT_EQ(assembled(s.image, *j), file);
    EXPECT_EQ(std::string(j->type), std::string(row.type) == "mp4" ? "" : row.type);
    EXPECT_FALSE(join(s.image, s.first.offset, row.gap_clusters - 1)) << "beyond the reach looked at";

    qv::test::temp_dir dir;
    for (bool every_byte : {false, true}) {
        const deep_scan_of scan = deep_scan(s.image, every_byte, row.type);
        const auto it = std::find_if(scan.items.begin(), scan.items.end(),
                                     [&](const qv::found_item& f) { return f.offset == s.first.offset; });
        ASSERT_NE(it, scan.items.end()) << every_byte;
        EXPECT_EQ(scan.joins, 1u);
        EXPECT_EQ(it->state, qv::item_state::assembled);
        const std::vector<qv::item_piece> want{{s.first.offset, s.first.size}, {s.second.offset, s.second.size}};
        EXPECT_EQ(it->pieces, want);
        qv::memory_device device(s.image);
        const std::string to = dir / "out.video";
        ASSERT_EQ(qv::deep_core::recover(device, *it, to), 0);
        EXPECT_EQ(qv::test::read_file(to), file);
    }
    // The whole one is listed as it is.
    const deep_scan_of scan = deep_scan(whole, false, row.type);
    ASSERT_EQ(scan.items.size(), 1u);
    EXPECT_TRUE(scan.items[0].pieces.empty());
    EXPECT_EQ(scan.items[0].size, file.size());
    EXPECT_EQ(scan.joins, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, Mp4InTwoPieces,
    ::testing::Values(
        // A cut inside one large NAL unit is pinned by the zeros read as media where it is not...
        split_row{"MovieAfterMediaZeroGap", {}, 0.3, 12, gap_kind::zeros, "mp4"},
        split_row{"MovieAfterMediaFarGap", {}, 0.6, 3000, gap_kind::zeros, "mp4"},
        split_row{"ThreeGpp", {"3gp"}, 0.5, 6, gap_kind::zeros, "3gp"},
        split_row{"SilentVideo", {"mp4", "testsrc", "libx264", false}, 0.5, 4, gap_kind::zeros, "mp4"},
        split_row{"FastStartZeroGap", {"mp4", "testsrc", "libx264", true, true}, 0.2, 11, gap_kind::zeros, "mp4"},
        // ... and with small slices, by NAL units on both sides of every boundary near it.
        split_row{"MovieAfterMediaNoiseGap", {"mp4", "testsrc", "libx264", true, false, true}, 0.5, 7, gap_kind::noise, "mp4"},
        split_row{"MovieAfterMediaOtherVideoGap", {"mp4", "testsrc", "libx264", true, false, true}, 0.7, 40,
                  gap_kind::other_video, "mp4"},
        split_row{"MovieAfterMediaNearItsEnd", {"mp4", "testsrc", "libx264", true, false, true}, 0.995, 5, gap_kind::noise, "mp4"},
        split_row{"QuickTime", {"mov", "testsrc", "libx264", true, false, true}, 0.4, 9, gap_kind::other_video, "mov"},
        split_row{"MotionJpeg", {"mov", "testsrc", "mjpeg"}, 0.5, 6, gap_kind::noise, "mov"},
        split_row{"SoundAlone", {"m4a", "", ""}, 0.5, 5, gap_kind::noise, "m4a"},
        split_row{"Hevc", {"mp4", "testsrc", "libx265"}, 0.5, 8, gap_kind::other_video, "mp4"},
        split_row{"FastStartNoiseGap", {"mp4", "testsrc", "libx264", true, true, true}, 0.5, 7, gap_kind::noise, "mp4"},
        split_row{"FastStartOtherVideoGap", {"mov", "testsrc", "libx264", true, true, true}, 0.8, 30, gap_kind::other_video,
                  "mov"},
        // Frames of one slice over many clusters, noise or another video in
        // the gap: only decoding the frames tells the boundaries inside one.
        split_row{"OneSliceFramesNoiseGap", camera, 0.5, 7, gap_kind::noise, "mp4", true},
        split_row{"OneSliceFramesOtherVideoGap", camera, 0.35, 25, gap_kind::other_video, "mp4", true},
        split_row{"OneSliceFramesNearTheEnd", camera, 0.97, 3, gap_kind::noise, "mp4", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Mp4InTwoPieces, ABreakRightAfterTheMediaDataIsFoundByTheMovieBoxAlone) {
    // The media whole in the first piece, the movie box alone in the second:
    // the file placed so that its media data end on a cluster boundary.
    std::string missing;
    for (gap_kind gap : {gap_kind::zeros, gap_kind::noise}) {
        const bytes file = make_video({}, &missing);
        if (file.empty()) GTEST_SKIP() << missing;
        const size_t mdat = box_at(file, "mdat");
        const uint64_t media_end = mdat + be32_at(file, mdat);
        const uint64_t at = 8 * cluster - media_end % cluster, rest_at = at + media_end + 5 * cluster;
        bytes image = qv::test::pseudo_random_bytes(size_t(rest_at + file.size() + cluster), 4);
        if (gap == gap_kind::zeros) std::fill(image.begin() + std::ptrdiff_t(at + media_end), image.begin() + std::ptrdiff_t(rest_at), 0);
        std::copy(file.begin(), file.begin() + std::ptrdiff_t(media_end), image.begin() + std::ptrdiff_t(at));
        std::copy(file.begin() + std::ptrdiff_t(media_end), file.end(), image.begin() + std::ptrdiff_t(rest_at));
        const auto j = join(image, at);
        ASSERT_TRUE(j);
        EXPECT_EQ(j->first, (qv::sig::file_piece{at, media_end}));
        EXPECT_EQ(j->second, (qv::sig::file_piece{rest_at, file.size() - media_end}));
        EXPECT_EQ(assembled(image, *j), file);
    }
}

TEST(Mp4InTwoPieces, AWrongContinuationIsNeverAccepted) {
    std::string missing;
    // The camera's twin: the same settings, another picture; its rest's
    // frames, of one slice each, decode no better than noise.
    video_make camera_twin = camera;
    camera_twin.source = "testsrc";
    const std::pair<video_make, video_make> pairs[] = {
        {{"mp4", "testsrc", "libx264", true, false}, {"mp4", "testsrc2", "libx264", true, false}},
        {{"mp4", "testsrc", "libx264", true, true}, {"mp4", "testsrc2", "libx264", true, true}},
        {camera, camera_twin}};
    for (const auto& [make, twin_make] : pairs) {
        const bool faststart = make.faststart;
        const bytes file = make_video(make, &missing);
        const bytes twin = make_video(twin_make, &missing);
        if (file.empty() || twin.empty()) GTEST_SKIP() << missing;
        const split_image s = split(file, 0.5, std::max<uint64_t>(400, twin.size() / cluster + 4), gap_kind::zeros);
        // The twin's rest cut at the same place, nearer than the true rest:
        // passed over, the true one found.
        const bytes rest(twin.begin() + std::ptrdiff_t(std::min<uint64_t>(s.first.size, twin.size())), twin.end());
        bytes decoyed = s.image;
        const uint64_t decoy_at = s.first.offset + s.first.size + 3 * cluster;
        ASSERT_LE(decoy_at + rest.size(), s.second.offset);
        std::copy(rest.begin(), rest.end(), decoyed.begin() + std::ptrdiff_t(decoy_at));
        const auto j = join(decoyed, s.first.offset);
        ASSERT_TRUE(j) << faststart;
        EXPECT_EQ(j->second, s.second);
        EXPECT_EQ(assembled(decoyed, *j), file);
        // The true rest with one NAL length near the break broken: it does not
        // check, and nothing else does.
        bytes damaged = decoyed;
        std::fill(damaged.begin() + std::ptrdiff_t(s.second.offset), damaged.begin() + std::ptrdiff_t(s.second.offset + 2 * cluster), 0);
        const auto d = join(damaged, s.first.offset);
        EXPECT_FALSE(d) << faststart;
        // Only the twin's rest, or no rest at all: nothing, in the join and in the scan.
        bytes none = qv::test::pseudo_random_bytes(s.image.size(), 17);
        std::copy(file.begin(), file.begin() + std::ptrdiff_t(s.first.size), none.begin() + std::ptrdiff_t(s.first.offset));
        bytes twin_only = none;
        std::copy(rest.begin(), rest.end(), twin_only.begin() + std::ptrdiff_t(decoy_at));
        for (const bytes* image : {&none, &twin_only}) {
            EXPECT_FALSE(join(*image, s.first.offset)) << faststart;
            const deep_scan_of scan = deep_scan(*image, false, "mp4");
            EXPECT_EQ(scan.joins, 0u);
            for (const qv::found_item& f : scan.items) EXPECT_TRUE(f.pieces.empty()) << f.offset;
        }
    }
}

TEST(Mp4InTwoPieces, ACutInsideOneFrameIsPinnedOnlyByDecodingIt) {
    // One NAL unit of 15 to 50 KB across the cut and noise or another video
    // in the gap: every boundary inside it reads as well-formed media. Decoded,
    // only the right one gives whole frames; without a decoder no join is
    // made (or, should the noise show where the media are not, the right one).
    std::string missing;
    const bool decoding = qv::sig::video_decoding_available();
    const bytes other = make_video({"mp4", "testsrc2"}, &missing);
    for (const video_make& make : {video_make{"mp4", "testsrc", "libx264", true, false}, video_make{"mp4", "testsrc", "libx264", true, true}, camera}) {
        const bytes file = make_video(make, &missing);
        if (file.empty() || other.empty()) GTEST_SKIP() << missing;
        for (double at : {0.3, 0.5, 0.8}) {
            for (gap_kind gap : {gap_kind::noise, gap_kind::other_video}) {
                const std::string where = std::to_string(at) + (make.faststart ? " fast start" : "") + (make.camera ? " camera" : "") +
                                          (gap == gap_kind::noise ? " noise" : " other video");
                const split_image s = split(file, at, 7, gap, other);
                const auto j = join(s.image, s.first.offset);
                if (decoding) {
                    ASSERT_TRUE(j) << where;
                    EXPECT_EQ(j->second, s.second) << where;
                }
                if (j) {
                    EXPECT_EQ(assembled(s.image, *j), file) << where;
                }
                size_t joined = 0;
                for (const qv::found_item& f : deep_scan(s.image, false, "mp4").items) {
                    if (f.pieces.empty()) continue;
                    ++joined;
                    qv::memory_device device(s.image);
                    qv::test::temp_dir dir;
                    ASSERT_EQ(qv::deep_core::recover(device, f, dir / "out.mp4"), 0);
                    EXPECT_EQ(qv::test::read_file(dir / "out.mp4"), file) << where;
                }
                if (decoding) {
                    EXPECT_EQ(joined, 1u) << where;
                }
            }
        }
    }
}

TEST(Mp4InTwoPieces, AWholeVideoInTheGapIsListedWholeBesideTheJoinedOne) {
    std::string missing;
    const bytes file = make_video({}, &missing);
    const bytes inside = make_video({"mp4", "", "", true}, &missing);  // a sound file, whole
    const bytes after = make_video({"mov", "testsrc2"}, &missing);
    if (file.empty() || inside.empty() || after.empty()) GTEST_SKIP() << missing;
    const uint64_t inside_clusters = (inside.size() + cluster - 1) / cluster;
    split_image s = split(file, 0.4, inside_clusters + 4, gap_kind::zeros);
    const auto [inside_at, after_at] = qv::test::put_beside(s, inside, after, cluster);
    for (bool every_byte : {false, true}) {
        std::map<uint64_t, qv::found_item> found;
        for (const char* type : {"mp4", "m4a", "mov"})
            for (const qv::found_item& f : deep_scan(s.image, every_byte, type).items) found[f.offset] = f;
        ASSERT_EQ(found.size(), 3u) << every_byte;
        EXPECT_EQ(found[s.first.offset].state, qv::item_state::assembled);
        EXPECT_EQ(found[s.first.offset].size, file.size());
        EXPECT_TRUE(found[inside_at].pieces.empty());
        EXPECT_EQ(found[inside_at].size, inside.size());
        EXPECT_TRUE(found[after_at].pieces.empty());
        EXPECT_EQ(found[after_at].size, after.size());
    }
}

TEST(Mp4InTwoPieces, AnyByteOfTheMovieBoxChangedGivesTheTruePiecesOrNothing) {
    std::string missing;
    const bytes file = make_video({"mp4", "testsrc", "libx264", true, false, true}, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    const split_image s = split(file, 0.5, 6, gap_kind::noise);
    const size_t moov = box_at(file, "moov");
    const uint64_t moved = s.second.offset - s.first.size;
    std::mt19937 random(7);
    size_t joined = 0;
    for (int i = 0; i < 400; ++i) {
        bytes image = s.image;
        const size_t at = moov + random() % (file.size() - moov);
        image[moved + at] ^= uint8_t(1u << (random() % 8));
        if (i % 2) image[moved + at + (at + 1 < file.size() ? 1 : 0)] = uint8_t(random());
        const auto j = join(image, s.first.offset);
        if (!j) continue;
        ++joined;
        EXPECT_EQ(j->first, s.first) << at;
        EXPECT_EQ(j->second, s.second) << at;
    }
    EXPECT_GT(joined, 0u) << "changes outside the tables leave the file joinable";
}

TEST(Mp4InTwoPieces, HostileTablesEndQuicklyWithNothing) {
    std::string missing;
    const bytes file = make_video({}, &missing);
    if (file.empty()) GTEST_SKIP() << missing;
    const split_image s = split(file, 0.5, 6, gap_kind::zeros);
    ASSERT_TRUE(join(s.image, s.first.offset)) << "as it is, the file is joined";
    // Each case changes the moved movie box (file offsets past the cut lie at
    // second.offset - first.size + x in the image).
    const uint64_t moved = s.second.offset - s.first.size;
    const size_t moov = box_at(file, "moov"), stco = box_at(file, "stco", moov), stsz = box_at(file, "stsz", moov),
                 stsc = box_at(file, "stsc", moov), trak = box_at(file, "trak", moov);
    ASSERT_TRUE(moov && stco && stsz && stsc && trak);
    auto put32 = [&](bytes& image, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) image[moved + at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
    };
    using edit = std::function<void(bytes&)>;
    const std::vector<std::pair<const char*, edit>> cases{
        {"chunk count that lies", [&](bytes& b) { put32(b, stco + 12, 0xFFFFFFFF); }},
        {"sample count that lies", [&](bytes& b) { put32(b, stsz + 16, 0x7FFFFFFF); }},
        {"samples per chunk beyond all", [&](bytes& b) { put32(b, stsc + 20, 0xFFFFFFF0); }},
        {"chunk past the device", [&](bytes& b) { put32(b, stco + 16, 0xFFFFFF00); }},
        {"chunks on top of each other", [&](bytes& b) { for (size_t i = 0; i < 8; ++i) put32(b, stco + 16 + 4 * i, 48); }},
        {"no samples", [&](bytes& b) { put32(b, stsz + 12, 0); put32(b, stsz + 16, 0); }},
        {"movie box of size 0", [&](bytes& b) { put32(b, moov, 0); }},
        {"movie box of size 1, huge", [&](bytes& b) { put32(b, moov, 1); }},
        {"movie box past the device", [&](bytes& b) { put32(b, moov, 0xFFFFFFF0); }},
        {"track that does not tile", [&](bytes& b) { put32(b, trak, be32_at(file, trak) - 3); }},
        {"track as large as the movie", [&](bytes& b) { put32(b, trak, be32_at(file, moov) - 8); }},
    };
    for (const auto& [name, change] : cases) {
        bytes image = s.image;
        change(image);
        const auto t0 = std::chrono::steady_clock::now();
        const auto j = join(image, s.first.offset);
        EXPECT_FALSE(j) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << name;
    }
    // Boxes alone, over and over: a type box, empty free boxes, media data
    // up to a cluster boundary and then movie headers at every cluster.
    bytes boxes(file.begin(), file.begin() + std::ptrdiff_t(be32_at(file, 0)));
    while (boxes.size() < 3 * cluster - 8) boxes.insert(boxes.end(), {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
    boxes.insert(boxes.end(), {0, 0, 0x20, 0x08, 'm', 'd', 'a', 't'});
    boxes.resize(64 * cluster, 0);
    for (size_t at = 4 * cluster; at + 16 <= boxes.size(); at += cluster)
        std::copy(file.begin() + std::ptrdiff_t(moov), file.begin() + std::ptrdiff_t(moov + 16), boxes.begin() + std::ptrdiff_t(at));
    for (size_t cut : {size_t(7), size_t(40), boxes.size()}) {
        const bytes image(boxes.begin(), boxes.begin() + std::ptrdiff_t(cut));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(join(image, 0)) << cut;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << cut;
    }
}

}  // namespace
