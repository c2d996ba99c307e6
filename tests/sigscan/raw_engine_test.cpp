// The deep-scan engine's records, type index, rows, copy-out and the saved
// result file, including files that are cut short or hostile.

#include <gtest/gtest.h>

#include <QFile>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "devices/le_bytes.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/scan_result_file.hpp"
#include "tests/sigscan/sample_files.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/test_support.hpp"
#include "ui/raw_recovery.hpp"

namespace {

using bytes = std::vector<uint8_t>;

void found(raw_recovery_c& engine, const char* type, uint64_t offset, uint64_t size) {
    raw_recovery_c::raw_found_callback(&engine, type, offset, size);
}

TEST(SigscanEngine, RecordsTypeIndexRowsAndReset) {
    raw_recovery_c engine;
    volume_item_s volume;
    volume.volume_name = "\\\\?\\Volume{x}\\\\";
    engine.set_volume(volume);
    EXPECT_EQ(engine.device_path(), "\\\\?\\Volume{x}\\");  // exactly one backslash less
    volume.volume_name = "/data/card.img#1";
    engine.set_volume(volume);
    EXPECT_EQ(engine.device_path(), "/data/card.img#1");

    const char* types[] = {"png", "gif", "jpg", "png", "typename10", "gif", "jpg"};
    for (uint64_t i = 0; i < 7; ++i) found(engine, types[i], i * 4096, 100 + i);
    ASSERT_EQ(engine.records().size(), 7u);
    const raw_item_s& r4 = engine.records()[4];
    EXPECT_EQ(r4.index, 4u);
    EXPECT_EQ(r4.offset, 4u * 4096);
    EXPECT_EQ(r4.size, 104u);
    EXPECT_EQ(std::memcmp(r4.type, "typename", 8), 0);  // cut to 8 bytes, no terminator
    EXPECT_EQ(qv::record_type(engine.records()[0]), "png");
    EXPECT_EQ(engine.type_index().at("jpg"), (std::vector<uint64_t>{2, 6}));
    EXPECT_EQ(engine.type_index().at("typename10"), (std::vector<uint64_t>{4}));
    EXPECT_EQ(engine.type_index().size(), 4u);

    recovery_item_s row = raw_recovery_c::row(engine.records()[6], 6);
    EXPECT_EQ(row.name, "00000006.jpg");
    EXPECT_EQ(row.size, 106u);
    EXPECT_EQ(row.id, 6u);
    EXPECT_EQ(row.date1, 0);
    EXPECT_EQ(row.date2, 0);
    EXPECT_EQ(row.ticked, 0u);
    EXPECT_EQ(row.attributes, 0);
    EXPECT_EQ(raw_recovery_c::row(r4, 4).name, "00000004.typename");

    EXPECT_EQ(engine.entries_read(), 0u);
    EXPECT_EQ(engine.items_found(), 0u);
    QString untouched = "keep";
    EXPECT_EQ(engine.build_item_path(2, &untouched), 0);
    EXPECT_EQ(untouched, "keep");

    engine.set_paused(1);
    engine.set_stop(qv::stop_reason::user_stopped);
    engine.set_progress(0.5);
    EXPECT_EQ(engine.is_paused(), 1);
    EXPECT_EQ(engine.stop_state(), qv::stop_reason::user_stopped);
    EXPECT_EQ(engine.progress(), 0.5);
    engine.reset();
    EXPECT_TRUE(engine.records().empty());
    EXPECT_TRUE(engine.type_index().empty());
    EXPECT_EQ(engine.progress(), 0.0);
    EXPECT_EQ(engine.is_paused(), 0);
    EXPECT_EQ(engine.stop_state(), qv::stop_reason::running);
    EXPECT_EQ(engine.device_path(), "/data/card.img#1");
}

class SigscanRecover : public ::testing::Test {
protected:
    void SetUp() override {
        device_bytes_ = qv::test::pseudo_random_bytes(64 * 1024, 99);
        image_ = dir_ / "device.img";
        qv::test::write_file(image_, device_bytes_);
        volume_item_s volume;
        volume.volume_name = QString::fromStdString(image_);
        engine_.set_volume(volume);
    }
    bytes slice(uint64_t offset, uint64_t size) const {
        return bytes(device_bytes_.begin() + std::ptrdiff_t(offset),
                     device_bytes_.begin() + std::ptrdiff_t(offset + size));
    }
    qv::test::temp_dir dir_;
    bytes device_bytes_;
    std::string image_;
    raw_recovery_c engine_;
};

TEST_F(SigscanRecover, CopiesExactlyTheFoundBytes) {
    struct row {
        uint64_t offset, size;
    };
    // Sector starts, an unaligned start (copied from there, not from its sector),
    // sizes that are no multiple of the read size, an empty file, the device's last byte.
    const row rows[] = {{0, 512}, {1000, 3000}, {4096, 1 << 15}, {777, 0}, {65535, 1}, {0, 65536}};
    for (const auto& r : rows) found(engine_, "bin", r.offset, r.size);
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string out = dir_ / ("out" + std::to_string(i));
        ASSERT_EQ(engine_.recover_file(i, QString::fromStdString(out)), 0) << i;
        EXPECT_EQ(qv::test::read_file(out), slice(rows[i].offset, rows[i].size)) << i;
    }
}

TEST_F(SigscanRecover, RefusesWhatCannotBeCopiedWhole) {
    found(engine_, "bin", 60000, 10000);         // runs past the end of the device
    found(engine_, "bin", 70000, 10);            // starts past the end
    found(engine_, "bin", ~uint64_t(0) - 4, 16);  // offset + size overflows
    found(engine_, "bin", 0, 10);
    for (uint64_t id : {0, 1, 2}) {
        std::string out = dir_ / ("bad" + std::to_string(id));
        EXPECT_EQ(engine_.recover_file(id, QString::fromStdString(out)), -1) << id;
        EXPECT_FALSE(std::filesystem::exists(out)) << "no partial file for " << id;
    }
    EXPECT_EQ(engine_.recover_file(4, QString::fromStdString(dir_ / "x")), -1);  // no such record
    EXPECT_EQ(engine_.recover_file(3, QString::fromStdString(dir_ / "no-folder/x")), -1);
    volume_item_s gone;
    gone.volume_name = QString::fromStdString(dir_ / "missing.img");
    engine_.set_volume(gone);
    EXPECT_EQ(engine_.recover_file(3, QString::fromStdString(dir_ / "y")), -1);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "y"));
}

TEST_F(SigscanRecover, ResultFileRoundTrip) {
    found(engine_, "jpg", 512, 1000);
    found(engine_, "pdf", 4096, 2000);
    found(engine_, "typename10", 8192, 300);
    found(engine_, "jpg", 10240, 5);
    std::string sav = dir_ / "result.sav";
    ASSERT_EQ(engine_.write_result_file(QByteArray::fromStdString(sav)), 0);
    EXPECT_EQ(std::filesystem::file_size(sav), 256u + 4 * 32);
    bytes file = qv::test::read_file(sav);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(file.data())), image_);
    qv::byte_view v(file.data(), file.size());
    EXPECT_EQ(v.le64(256 + 32 + 8), 4096u);  // record 1's offset, little-endian
    EXPECT_EQ(v.le64(256 + 96), 3u);

    raw_recovery_c loaded;
    EXPECT_EQ(loaded.read_result_file(QByteArray::fromStdString(sav)), QString::fromStdString(image_));
    ASSERT_EQ(loaded.records().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(std::memcmp(&loaded.records()[i], &engine_.records()[i], sizeof(raw_item_s)), 0) << i;
    }
    EXPECT_EQ(loaded.type_index().at("jpg"), (std::vector<uint64_t>{0, 3}));
    EXPECT_EQ(loaded.type_index().at("typename"), (std::vector<uint64_t>{2}));  // keyed by the 8 stored bytes
    // The loaded result copies files out like a finished scan.
    std::string out = dir_ / "from-loaded";
    ASSERT_EQ(loaded.recover_file(1, QString::fromStdString(out)), 0);
    EXPECT_EQ(qv::test::read_file(out), slice(4096, 2000));

    // Resuming finds the volume again by its path; a prefix is not enough.
    QList<volume_item_s> volumes(3);
    volumes[1].volume_name = QString::fromStdString(image_ + "0");
    volumes[2].volume_name = QString::fromStdString(image_);
    EXPECT_EQ(qv::find_result_volume(volumes, loaded.device_path()), 2);
    volumes[2].volume_name += "\\";
    EXPECT_EQ(qv::find_result_volume(volumes, loaded.device_path()), 2);
    volumes.removeLast();
    EXPECT_EQ(qv::find_result_volume(volumes, loaded.device_path()), -1);
}

TEST_F(SigscanRecover, WritingNeedsRecordsAndAPathThatFits) {
    std::string sav = dir_ / "empty.sav";
    EXPECT_EQ(engine_.write_result_file(QByteArray::fromStdString(sav)), -1);
    EXPECT_FALSE(std::filesystem::exists(sav));
    found(engine_, "jpg", 0, 1);
    EXPECT_EQ(engine_.write_result_file(QByteArray::fromStdString(dir_ / "no-folder/x.sav")), -1);
    volume_item_s longer;
    longer.volume_name = QString(256, 'a');
    engine_.set_volume(longer);
    EXPECT_EQ(engine_.write_result_file(QByteArray::fromStdString(sav)), -1);
    EXPECT_FALSE(std::filesystem::exists(sav));
    longer.volume_name = QString(255, 'a');
    engine_.set_volume(longer);
    EXPECT_EQ(engine_.write_result_file(QByteArray::fromStdString(sav)), 0);
    EXPECT_EQ(qv::read_scan_result_path(sav), std::string(255, 'a'));
}

bytes sav_bytes(const std::string& device, const std::vector<raw_item_s>& records) {
    bytes b(256, 0);
    std::memcpy(b.data(), device.data(), device.size());
    for (const auto& r : records) {
        uint8_t rec[32] = {};
        qv::put_le64(rec, r.index);
        qv::put_le64(rec + 8, r.offset);
        qv::put_le64(rec + 16, r.size);
        std::memcpy(rec + 24, r.type, 8);
        b.insert(b.end(), rec, rec + 32);
    }
    return b;
}

raw_item_s record(uint64_t index, uint64_t offset, uint64_t size, const char* type, size_t type_len = 0) {
    raw_item_s r;
    r.index = index;
    r.offset = offset;
    r.size = size;
    std::memcpy(r.type, type, type_len ? type_len : std::strlen(type));
    return r;
}

TEST_F(SigscanRecover, HostileResultFilesAreRefused) {
    const raw_item_s good = record(0, 512, 100, "jpg");
    struct row {
        const char* what;
        bytes file;
    };
    bytes no_nul(256 + 32, 'x');
    bytes ragged = sav_bytes(image_, {good});
    ragged.resize(300);
    bytes header_only = sav_bytes(image_, {});
    std::vector<row> rows{
        {"empty file", {}},
        {"shorter than the header", bytes(100, 0)},
        {"header only", header_only},
        {"300 bytes", ragged},
        {"path not terminated", no_nul},
        {"empty path", sav_bytes("", {good})},
        {"index not its position", sav_bytes(image_, {good, record(5, 0, 1, "jpg")})},
        {"type with a space", sav_bytes(image_, {record(0, 0, 1, "jp g")})},
        {"type with a control byte", sav_bytes(image_, {record(0, 0, 1, "jp\x01")})},
        {"type not zero-filled", sav_bytes(image_, {record(0, 0, 1, "jpg\0x", 5)})},
        {"empty type", sav_bytes(image_, {record(0, 0, 1, "")})},
        {"offset past the device", sav_bytes(image_, {record(0, 70000, 1, "jpg")})},
        {"size past the device", sav_bytes(image_, {record(0, 65000, 1000, "jpg")})},
        {"offset + size overflows", sav_bytes(image_, {record(0, ~uint64_t(0) - 2, 8, "jpg")})},
        {"device not present", sav_bytes(dir_ / "gone.img", {good})},
    };
    for (const auto& r : rows) {
        std::string sav = dir_ / "hostile.sav";
        qv::test::write_file(sav, r.file);
        raw_recovery_c engine;
        found(engine, "keep", 0, 1);  // a refused file leaves the records alone
        EXPECT_TRUE(engine.read_result_file(QByteArray::fromStdString(sav)).isEmpty()) << r.what;
        EXPECT_EQ(engine.records().size(), 1u) << r.what;
        EXPECT_EQ(engine.type_index().count("keep"), 1u) << r.what;
    }
    // A refused file whose header was readable still names its device.
    qv::test::write_file(dir_ / "gone.sav", sav_bytes(dir_ / "gone.img", {good}));
    raw_recovery_c engine;
    EXPECT_TRUE(engine.read_result_file(QByteArray::fromStdString(dir_ / "gone.sav")).isEmpty());
    EXPECT_EQ(engine.device_path(), QString::fromStdString(dir_ / "gone.img"));
    EXPECT_TRUE(engine.read_result_file(QByteArray::fromStdString(dir_ / "no-such.sav")).isEmpty());
    // An 8-byte type name is read back without a terminator.
    qv::test::write_file(dir_ / "full.sav", sav_bytes(image_, {record(0, 0, 1, "abcdefgh", 8)}));
    ASSERT_FALSE(engine.read_result_file(QByteArray::fromStdString(dir_ / "full.sav")).isEmpty());
    EXPECT_EQ(engine.type_index().begin()->first, "abcdefgh");
}

TEST(SigscanEngineScan, SaveAfterAScanAndResume) {
    qv::test::temp_dir dir;
    std::vector<qv::test::sample> samples{{"pdf", "pdf", qv::test::make_pdf(1, false)},
                                          {"wav", "wav", qv::test::make_wav(2)},
                                          {"rtf", "rtf", qv::test::make_rtf()}};
    auto laid = qv::test::lay_out(samples, 5, true);
    std::string image = dir / "disk.img";
    qv::test::write_file(image, laid.image);
    raw_recovery_c engine;
    qv::test::run_engine(engine, image);
    ASSERT_EQ(engine.records().size(), 3u);
    std::string sav = dir / "scan.sav";
    ASSERT_EQ(engine.write_result_file(QByteArray::fromStdString(sav)), 0);

    raw_recovery_c resumed;
    QString path = resumed.read_result_file(QByteArray::fromStdString(sav));
    ASSERT_EQ(path, QString::fromStdString(image));
    volume_item_s volume;
    volume.volume_name = path;
    resumed.set_volume(volume);
    for (size_t i = 0; i < 3; ++i) {
        std::string out = dir / ("resumed" + std::to_string(i));
        ASSERT_EQ(resumed.recover_file(i, QString::fromStdString(out)), 0);
        EXPECT_EQ(qv::test::read_file(out), laid.files[i].data) << laid.files[i].label;
    }
}

// The window's engine names found files after their content when asked, after
// a scan and after loading a saved result; two with the same title are told apart.
TEST(SigscanEngineScan, NamesFromContent) {
    qv::test::temp_dir dir;
    const std::string pdf = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                            "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
                            "3 0 obj\n<< /Title (Plan) >>\nendobj\n"
                            "trailer\n<< /Size 4 /Root 1 0 R /Info 3 0 R >>\n%%EOF\n";
    bytes image(16 * 4096, 0);
    for (size_t at : {4 * 4096, 8 * 4096}) std::copy(pdf.begin(), pdf.end(), image.begin() + std::ptrdiff_t(at));
    const std::string path = dir / "disk.img", sav = dir / "scan.sav";
    qv::test::write_file(path, image);
    auto names_of = [](raw_recovery_c& engine) {
        std::set<std::string> names;
        for (const qv::found_item& item : engine.found_items()) names.insert(item.name);
        return names;
    };

    raw_recovery_c numbered;
    qv::test::run_engine(numbered, path);
    EXPECT_EQ(names_of(numbered), (std::set<std::string>{"00000000.pdf", "00000001.pdf"}));

    raw_recovery_c named;
    named.set_name_from_content(true);
    qv::test::run_engine(named, path);
    EXPECT_EQ(names_of(named), (std::set<std::string>{"Plan.pdf", "Plan (2).pdf"}));
    ASSERT_EQ(named.write_result_file(QByteArray::fromStdString(sav)), 0);

    raw_recovery_c loaded;
    loaded.set_name_from_content(true);
    ASSERT_EQ(loaded.read_result_file(QByteArray::fromStdString(sav)), QString::fromStdString(path));
    EXPECT_EQ(names_of(loaded), (std::set<std::string>{"Plan.pdf", "Plan (2).pdf"}));
}

// Checkpoints of a scan of free space are kept apart from whole-volume ones:
// each is offered only to a scan of its own kind, and a scan handed the other
// kind begins afresh. Free space asked for on a volume without a file system
// read here means the whole volume: that scan says so and takes whole-volume
// checkpoints.
TEST(SigscanEngineScan, FreeSpaceCheckpointsGoOnlyToFreeSpaceScans) {
    QV_REQUIRE_TOOL("mkfs.fat");
    qv::test::temp_dir dir;
    const bytes pdf = qv::test::make_pdf(1, false);
    const std::string fat = dir / "fat.img", blank = dir / "blank.img";
    ASSERT_EQ(qv::test::run("mkfs.fat -C -F 16 " + qv::test::shell_quote(fat) + " 16384"), 0);
    {
        // Halfway in: clusters no file has.
        std::fstream image(fat, std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(8 << 20);
        image.write(reinterpret_cast<const char*>(pdf.data()), std::streamsize(pdf.size()));
        ASSERT_TRUE(image.good());
    }
    bytes zeros(1 << 20, 0);
    std::copy(pdf.begin(), pdf.end(), zeros.begin() + 65536);
    qv::test::write_file(blank, zeros);

    const std::string file = dir / "scan.checkpoint";
    // A scan interrupted at the volume's end, with nothing found before.
    auto write_at_end = [&](const std::string& path, bool free_space) {
        qv::deep_checkpoint c;
        c.device_path = path;
        c.device_length = std::filesystem::file_size(path);
        c.position = c.search_from = c.device_length;
        c.free_space = free_space;
        ASSERT_EQ(qv::write_deep_checkpoint(file, c), 0);
    };
    raw_recovery_c engine;
    volume_item_s volume;
    volume.volume_name = QString::fromStdString(fat);
    engine.set_volume(volume);
    engine.set_checkpoint(file);
    struct row {
        bool checkpoint_free, scan_free, offered;
    };
    for (const row& r : {row{true, true, true}, row{true, false, false}, row{false, true, false}, row{false, false, true}}) {
        SCOPED_TRACE(testing::Message() << "checkpoint of free space " << r.checkpoint_free << ", scan " << r.scan_free);
        ASSERT_NO_FATAL_FAILURE(write_at_end(fat, r.checkpoint_free));
        engine.set_free_space(r.scan_free, "");
        auto offered = engine.unfinished_scan();
        ASSERT_EQ(offered.has_value(), r.offered);
        if (offered) {
            EXPECT_EQ(offered->free_space, r.checkpoint_free);
        }

        // Handed to the scan anyway: one of the other kind is not gone on from.
        auto written = qv::read_deep_checkpoint(file);
        ASSERT_TRUE(written);
        engine.resume_from(*written);
        qv::test::run_engine(engine, fat);
        EXPECT_EQ(engine.records().size(), r.offered ? 0u : 1u) << "gone on from the end, or started afresh";
        ASSERT_EQ(engine.last_free_space().has_value(), r.scan_free);
        if (r.scan_free) {
            EXPECT_TRUE(engine.last_free_space()->known);
        }
    }

    volume.volume_name = QString::fromStdString(blank);
    engine.set_volume(volume);
    engine.set_free_space(true, "");
    write_at_end(blank, true);
    EXPECT_FALSE(engine.unfinished_scan()) << "this volume's scan cannot read free space only";
    write_at_end(blank, false);
    ASSERT_TRUE(engine.unfinished_scan());
    qv::test::run_engine(engine, blank);
    ASSERT_TRUE(engine.last_free_space());
    EXPECT_FALSE(engine.last_free_space()->known);
    EXPECT_FALSE(engine.last_free_space()->unknown_why.empty());
    ASSERT_EQ(engine.records().size(), 1u) << "the whole volume was read";
    EXPECT_EQ(engine.records()[0].offset, 65536u);
}

}  // namespace
