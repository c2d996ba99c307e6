// A real FAT volume: files copied in with mtools, the volume formatted again;
// the deep scan must still find every file, byte for byte.

#include <gtest/gtest.h>

#include <map>

#include "tests/sigscan/sample_files.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/test_support.hpp"
#include "ui/raw_recovery.hpp"

namespace {

TEST(SigscanFat, FindsFilesAfterReformat) {
    QV_REQUIRE_TOOL("mkfs.fat");
    QV_REQUIRE_TOOL("mcopy");
    qv::test::temp_dir dir;
    auto samples = qv::test::all_samples(dir.path().string());
    std::string image = dir / "card.img";
    using qv::test::run;
    using qv::test::shell_quote;
    ASSERT_EQ(run("mkfs.fat -C -F 16 -n CARD " + shell_quote(image) + " 32768"), 0);
    std::map<std::string, const qv::test::sample*> copied;
    int n = 0;
    for (const auto& s : samples) {
        if (s.label == "jpg with thumbnail" || s.label == "zip storing a png") continue;
        std::string name = "f" + std::to_string(n++) + ".bin";
        std::string local = dir / name;
        qv::test::write_file(local, s.data);
        ASSERT_EQ(run("mcopy -i " + shell_quote(image) + " " + shell_quote(local) + " ::/" + name), 0);
        copied[name] = &s;
    }
    ASSERT_GT(copied.size(), 15u);
    // Formatting again leaves the data area as it was; only the FAT and root are new.
    std::string out;
    ASSERT_EQ(run("mkfs.fat -F 16 -n BLANK " + shell_quote(image), &out), 0) << out;
    run("mdir -i " + shell_quote(image) + " ::/", &out);
    EXPECT_EQ(out.find("F0 "), std::string::npos) << out;  // the files are gone from the directory

    raw_recovery_c engine;
    qv::test::run_engine(engine, image);
    const auto& records = engine.records();
    EXPECT_EQ(records.size(), copied.size());
    std::map<std::string, int> matched;
    for (size_t i = 0; i < records.size(); ++i) {
        std::string file = dir / ("found" + std::to_string(i));
        ASSERT_EQ(engine.recover_file(i, QString::fromStdString(file)), 0);
        auto data = qv::test::read_file(file);
        const qv::test::sample* match = nullptr;
        for (const auto& [name, s] : copied)
            if (s->data == data) match = s;
        ASSERT_TRUE(match) << "record " << i << " (" << qv::record_type(records[i]) << " at "
                           << records[i].offset << ", " << records[i].size << " bytes) is no copied file";
        EXPECT_EQ(qv::record_type(records[i]), match->type);
        EXPECT_EQ(records[i].offset % 512, 0u);
        ++matched[match->label];
    }
    for (const auto& [name, s] : copied) EXPECT_EQ(matched[s->label], 1) << s->label;
}

TEST(SigscanFat, PartitionOffsetsAreRelativeToTheVolume) {
    QV_REQUIRE_TOOL("sfdisk");
    qv::test::temp_dir dir;
    std::vector<qv::test::sample> samples{{"pdf", "pdf", qv::test::make_pdf(3, true)},
                                          {"ogg", "ogg", qv::test::make_ogg(4)},
                                          {"doc", "doc", qv::test::make_ole("WordDocument", 5)}};
    auto laid = qv::test::lay_out(samples, 9, true);
    constexpr uint64_t partition_start = 2048 * 512;
    std::string image = dir / "disk.img";
    std::vector<uint8_t> disk(partition_start + laid.image.size() + 1024 * 1024, 0);
    std::copy(laid.image.begin(), laid.image.end(), disk.begin() + std::ptrdiff_t(partition_start));
    qv::test::write_file(image, disk);
    std::string script = dir / "table";
    std::string table = "label: dos\nstart=2048, size=" + std::to_string(laid.image.size() / 512) + ", type=83\n";
    qv::test::write_file(script, std::vector<uint8_t>(table.begin(), table.end()));
    std::string out;
    ASSERT_EQ(qv::test::run("sfdisk -q " + qv::test::shell_quote(image) + " < " + qv::test::shell_quote(script), &out), 0)
        << out;
    raw_recovery_c engine;
    qv::test::run_engine(engine, image + "#1");
    std::vector<qv::test::found_item> want;
    for (const auto& f : laid.files) want.push_back({f.type, f.offset, f.data.size()});
    EXPECT_EQ(qv::test::engine_items(engine), want);
    for (size_t i = 0; i < laid.files.size(); ++i) {
        std::string copy = dir / ("copy" + std::to_string(i));
        ASSERT_EQ(engine.recover_file(i, QString::fromStdString(copy)), 0);
        EXPECT_EQ(qv::test::read_file(copy), laid.files[i].data);
    }
}

}  // namespace
