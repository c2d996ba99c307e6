// Carving the files of cameras, phones and everyday programs out of images
// with random, zero and text filler: exact offsets, types and sizes, capture
// times on the records and on recovered files, cut copies never reaching into
// the filler, damaged photos, pictures and archives marked as such.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QFile>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "devices/device_handle.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/sc_api.hpp"
#include "tests/sigscan/camera_samples.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/test_support.hpp"
#include "ui/raw_recovery.hpp"

namespace {

using qv::test::bytes;
using qv::test::found_item;

std::string describe(const std::vector<found_item>& items) {
    std::string s;
    for (const auto& i : items)
        s += "  " + i.type + " @" + std::to_string(i.offset) + " +" + std::to_string(i.size) + "\n";
    return s;
}

std::vector<found_item> expected(const qv::test::laid_image& laid) {
    std::vector<found_item> out;
    for (const auto& f : laid.files) out.push_back({f.type, f.offset, f.data.size()});
    return out;
}

class CameraTypes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = new qv::test::temp_dir;
        dated_ = new std::vector<qv::test::dated_sample>(qv::test::camera_samples(work_->path().string()));
        samples_ = new std::vector<qv::test::sample>;
        for (const auto& d : *dated_) samples_->push_back(d.file);
        sc_load_config("./Quorvane.conf");
    }
    static void TearDownTestSuite() {
        delete samples_;
        delete dated_;
        delete work_;
    }
    static qv::test::temp_dir* work_;
    static std::vector<qv::test::dated_sample>* dated_;
    static std::vector<qv::test::sample>* samples_;
};
qv::test::temp_dir* CameraTypes::work_ = nullptr;
std::vector<qv::test::dated_sample>* CameraTypes::dated_ = nullptr;
std::vector<qv::test::sample>* CameraTypes::samples_ = nullptr;

TEST_F(CameraTypes, EveryFileExactAtSectorStartsWithItsCaptureTime) {
    // The formats written in code are always there.
    std::set<std::string> types;
    for (const auto& s : *samples_) types.insert(s.type);
    for (const char* t : {"dng", "cr2", "nef", "arw", "pef", "orf", "rw2", "raf", "cr3", "ttf", "mid", "djvu", "amr"})
        EXPECT_TRUE(types.count(t)) << t;

    auto laid = qv::test::lay_out_mixed(*samples_, 17, true);
    qv::test::temp_dir dir;
    std::string image = dir / "card.img";
    qv::test::write_file(image, laid.image);
    raw_recovery_c engine;
    qv::test::run_engine(engine, image, false);
    auto found = qv::test::engine_items(engine);
    ASSERT_EQ(found, expected(laid)) << "found:\n" << describe(found) << "expected:\n" << describe(expected(laid));
    ASSERT_EQ(engine.facts().size(), laid.files.size());
    size_t dated = 0;
    for (size_t i = 0; i < laid.files.size(); ++i) {
        const auto& want = (*dated_)[i];
        EXPECT_EQ(engine.facts()[i].taken, want.taken) << want.file.label;
        EXPECT_EQ(raw_recovery_c::row(engine.records()[i], i, engine.facts()[i].taken).date1, want.taken);
        std::string out = dir / ("out" + std::to_string(i));
        ASSERT_EQ(engine.recover_file(i, QString::fromStdString(out)), 0) << want.file.label;
        EXPECT_EQ(qv::test::read_file(out), want.file.data) << want.file.label;
        if (want.taken != 0) {
            struct stat st {};
            ASSERT_EQ(::stat(out.c_str(), &st), 0);
            EXPECT_EQ(int64_t(st.st_mtime), want.taken) << want.file.label;
            ++dated;
        }
    }
    EXPECT_GE(dated, 7u);  // the RAW files at least
}

TEST_F(CameraTypes, EveryByteFindsUnalignedFiles) {
    auto laid = qv::test::lay_out_mixed(*samples_, 29, false);
    size_t unaligned = 0;
    for (const auto& f : laid.files) unaligned += f.offset % 512 != 0;
    ASSERT_GT(unaligned, laid.files.size() / 2);
    auto found = qv::test::scan_memory(laid.image, true);
    EXPECT_EQ(found, expected(laid)) << "found:\n" << describe(found) << "expected:\n" << describe(expected(laid));
}

TEST_F(CameraTypes, CutCopiesNeverReachIntoTheFiller) {
    // Streams without an end mark may be found as a shorter stream (its last
    // frame may take in filler: frames carry no checksum); formats measured
    // from a header keep too little of it to be measured; the rest keep half
    // and must be dropped.
    const std::set<std::string> streams{"aac", "amr", "ts", "m2ts", "mpg", "flv"};
    const std::map<std::string, size_t> header_kept{
        {"iso", 34816}, {"qcow2", 72}, {"vdi", 64},  {"vmdk", 4},  {"woff", 44},  {"ttf", 12},
        {"aiff", 12},   {"wmv", 30},   {"wma", 30},  {"psd", 26},  {"raf", 100},  {"mid", 14},
        {"djvu", 16},   {"ico", 6},    {"heic", 40}, {"avif", 40}, {"woff2", 48}, {"cr3", 24}};
    constexpr size_t longest_frame = 8192;
    std::vector<qv::test::sample> cut;
    for (const auto& s : *samples_) {
        auto h = header_kept.find(s.type);
        size_t keep = h != header_kept.end() ? std::min(h->second, s.data.size() / 2) : s.data.size() / 2;
        qv::test::sample c = s;
        c.data.resize(keep);
        c.label += " (cut)";
        cut.push_back(std::move(c));
    }
    auto laid = qv::test::lay_out(cut, 41, true);
    std::map<uint64_t, size_t> at;
    for (size_t i = 0; i < laid.files.size(); ++i) at[laid.files[i].offset] = i;
    for (const auto& f : qv::test::scan_memory(laid.image, false)) {
        auto it = at.find(f.offset);
        ASSERT_NE(it, at.end()) << "found in the filler: " << f.type << " @" << f.offset;
        const auto& placed = laid.files[it->second];
        const auto& whole = (*samples_)[it->second];
        EXPECT_TRUE(streams.count(placed.type)) << placed.label << " found as " << f.type << " +" << f.size;
        EXPECT_LT(f.size, whole.data.size()) << placed.label;
        EXPECT_LT(f.size, placed.data.size() + longest_frame) << placed.label;
    }
}

// Intact and damaged copies of real JPEG, PNG and ZIP files.
TEST_F(CameraTypes, DamagedFilesAreListedAndMarked) {
    QV_REQUIRE_TOOL("convert");
    QV_REQUIRE_TOOL("zip");
    qv::test::temp_dir dir;
    bytes jpg = qv::test::make_with_convert(dir.path().string(), "jpg", 160, 21);
    bytes png = qv::test::make_with_convert(dir.path().string(), "png", 96, 22);
    bytes zip = qv::test::make_zip_tool(dir.path().string(), false, qv::test::pseudo_random_bytes(20000, 23));
    ASSERT_FALSE(jpg.empty() || png.empty() || zip.empty());
    // A JPEG whose coded data stops early (its tail overwritten, an end marker
    // in the right place by chance): its structure holds, its picture does not.
    bytes jpg_cut(jpg.begin(), jpg.begin() + std::ptrdiff_t(jpg.size() * 6 / 10));
    if (jpg_cut.back() == 0xFF) jpg_cut.back() = 0x00;
    jpg_cut.insert(jpg_cut.end(), {0xFF, 0xD9});
    // A PNG and a ZIP with one byte of their compressed data changed.
    bytes png_bad = png;
    png_bad[png.size() / 2] ^= 0x55;
    bytes zip_bad = zip;
    zip_bad[60] ^= 0x55;  // inside the first member's data
    struct row {
        std::string label, type;
        bytes data;
        qv::sig::content_state state;
    };
    const std::vector<row> rows{{"jpg", "jpg", jpg, qv::sig::content_state::intact},
                                {"jpg cut", "jpg", jpg_cut, qv::sig::content_state::damaged},
                                {"png", "png", png, qv::sig::content_state::intact},
                                {"png changed", "png", png_bad, qv::sig::content_state::damaged},
                                {"zip", "zip", zip, qv::sig::content_state::intact},
                                {"zip changed", "zip", zip_bad, qv::sig::content_state::damaged}};
    std::vector<qv::test::sample> files;
    for (const auto& r : rows) files.push_back({r.label, r.type, r.data});
    auto laid = qv::test::lay_out_mixed(files, 5, true);
    std::string image = dir / "damaged.img";
    qv::test::write_file(image, laid.image);
    raw_recovery_c engine;
    qv::test::run_engine(engine, image, false);
    ASSERT_EQ(qv::test::engine_items(engine), expected(laid));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(int(engine.facts()[i].state), int(rows[i].state)) << rows[i].label;
        // Still recoverable, byte for byte.
        std::string out = dir / ("out" + std::to_string(i));
        ASSERT_EQ(engine.recover_file(i, QString::fromStdString(out)), 0);
        EXPECT_EQ(qv::test::read_file(out), rows[i].data);
    }
}

TEST_F(CameraTypes, LoadedResultReadsCaptureTimesAgain) {
    std::vector<qv::test::sample> files;
    std::vector<int64_t> taken;
    for (const auto& d : *dated_)
        if (d.taken != 0) {
            files.push_back(d.file);
            taken.push_back(d.taken);
        }
    auto laid = qv::test::lay_out_mixed(files, 7, true);
    qv::test::temp_dir dir;
    std::string image = dir / "dated.img";
    qv::test::write_file(image, laid.image);
    raw_recovery_c engine;
    qv::test::run_engine(engine, image, false);
    ASSERT_EQ(engine.records().size(), files.size());
    ASSERT_EQ(engine.write_result_file(QByteArray::fromStdString(dir / "dated.sav")), 0);
    raw_recovery_c loaded;
    ASSERT_EQ(loaded.read_result_file(QByteArray::fromStdString(dir / "dated.sav")).toStdString(), image);
    ASSERT_EQ(loaded.facts().size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(loaded.facts()[i].taken, taken[i]) << files[i].label;
}

TEST_F(CameraTypes, Woff2IsMeasuredOnlyWhenItsTableDirectoryHolds) {
    auto it = std::find_if(samples_->begin(), samples_->end(), [](const auto& s) { return s.type == "woff2"; });
    if (it == samples_->end()) GTEST_SKIP() << "no WOFF2 sample (python3 with fontTools and brotli)";
    const bytes& whole = it->data;
    ASSERT_GT(whole.size(), 60u);
    auto set_be32 = [](bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
    };
    bytes padded_number = whole;
    padded_number[49] = 0x80;  // the first table's length starts with a zero digit
    bytes too_much_data = whole;
    set_be32(too_much_data, 20,
             uint32_t(whole.size()));  // compressed tables as long as the whole file
    bytes more_tables = whole;
    more_tables[13] = uint8_t(whole[13] + 40);  // the directory runs on into the compressed data
    struct row {
        const char* label;
        const bytes& data;
        bool found;
    };
    for (const row& r : {row{"intact", whole, true}, row{"leading zero digit", padded_number, false},
                         row{"compressed size too large", too_much_data, false},
                         row{"more tables than written", more_tables, false}}) {
        auto laid = qv::test::lay_out({{r.label, "woff2", r.data}}, 3, true);
        auto found = qv::test::scan_memory(laid.image);
        const bool exact = found.size() == 1 && found[0].type == "woff2" && found[0].size == whole.size();
        EXPECT_EQ(exact, r.found) << r.label << ": " << describe(found);
        if (!r.found) {
            EXPECT_TRUE(found.empty()) << r.label << ": " << describe(found);
        }
    }
}

TEST_F(CameraTypes, ChangedCopiesNeverCrashOrLeaveTheDevice) {
    // Each sample with bytes changed, cut at random places and laid into
    // filler: whatever is reported lies inside the image, in order, once.
    std::mt19937 gen(99);
    for (const auto& s : *samples_) {
        for (int round = 0; round < 6; ++round) {
            bytes data = s.data;
            for (int k = 0; k < 8; ++k) data[gen() % data.size()] = uint8_t(gen());
            if (round % 2) data.resize(1 + gen() % data.size());
            auto laid = qv::test::lay_out_mixed({{s.label, s.type, data}}, uint32_t(gen()), round % 3 != 0);
            uint64_t next_free = 0;
            for (const auto& f : qv::test::scan_memory(laid.image, round % 3 == 0)) {
                ASSERT_GE(f.offset, next_free) << s.label;
                ASSERT_LE(f.offset + f.size, laid.image.size()) << s.label;
                next_free = f.offset + f.size;
            }
            qv::memory_device device(laid.image);
            std::vector<qv::sig::found_span> spans{{laid.files[0].offset, data.size(), s.type},
                                                   {laid.files[0].offset, laid.image.size(), s.type}};
            auto facts = qv::sig::examine_found_files(device, spans, 2);
            ASSERT_EQ(facts.size(), 2u);
            EXPECT_EQ(facts[1].taken, 0) << s.label;  // a span past the device is not read
        }
    }
}

}  // namespace
