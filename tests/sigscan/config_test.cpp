// The configuration format, the built-in defaults, where Quorvane.conf is
// looked for, and the checksums the rules rely on.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>

#include "devices/data_places.hpp"
#include "devices/device_handle.hpp"
#include "engine/deep_core.hpp"
#include "sigscan/config.hpp"
#include "sigscan/crc.hpp"
#include "sigscan/sc_api.hpp"
#include "tests/sigscan/sample_files.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::sig::parse_config;

TEST(SigscanConfig, ShippedFileIsTheBuiltInDefault) {
    // Tests run in the build's bin folder, where the shipped file is copied.
    std::string why;
    auto shipped = qv::sig::load_config_file("Quorvane.conf", &why);
    ASSERT_TRUE(shipped) << why;
    EXPECT_EQ(*shipped, qv::sig::default_config());
    ASSERT_GE(qv::sig::default_config().types.size(), 25u);
    std::vector<std::string> names;
    for (const auto& t : qv::sig::default_config().types) names.push_back(t.name);
    for (const char* type : {"jpg", "png", "gif", "bmp", "tif", "pdf", "zip", "7z", "rar", "gz", "bz2",
                             "xz", "mp3", "wav", "avi", "mp4", "flac", "ogg", "ole", "rtf", "html", "xml",
                             "sqlite", "elf", "exe"})
        EXPECT_NE(std::find(names.begin(), names.end(), type), names.end()) << type;
}

TEST(SigscanConfig, ParsesEntries) {
    auto c = parse_config(
        "# comment\n"
        "[mine]\n"
        "header = \"AB\" ?? 0d 0A \"q\\\"\\\\\"\n"
        "header = FF\n"
        "footer = \"END\"\n"
        "max = 3K\n"
        "\n"
        "[other]\r\n"
        "header = 01 02\r\n"
        "max = 100\r\n",
        nullptr);
    ASSERT_TRUE(c);
    ASSERT_EQ(c->types.size(), 2u);
    const auto& t = c->types[0];
    EXPECT_EQ(t.name, "mine");
    ASSERT_EQ(t.headers.size(), 2u);
    EXPECT_EQ(t.headers[0].text(), "41 42 ?? 0D 0A 71 22 5C");
    EXPECT_EQ(t.headers[0].anchor(), 0u);
    EXPECT_EQ(t.max_size, 3072u);
    EXPECT_EQ(t.rule, qv::sig::size_rule::footer);  // a footer without a rule line
    EXPECT_EQ(c->types[1].rule, qv::sig::size_rule::max);
    EXPECT_EQ(c->types[1].max_size, 100u);

    auto wild = qv::sig::byte_pattern::parse("?? ?? \"ftyp\"", nullptr);
    ASSERT_TRUE(wild);
    EXPECT_EQ(wild->anchor(), 2u);
}

struct bad_config {
    const char* text;
    const char* message;
};

class SigscanBadConfig : public ::testing::TestWithParam<bad_config> {};

TEST_P(SigscanBadConfig, IsRefusedWithLine) {
    std::string why;
    EXPECT_FALSE(parse_config(GetParam().text, &why));
    EXPECT_NE(why.find(GetParam().message), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SigscanBadConfig,
    ::testing::Values(bad_config{"", "no file type"},
                      bad_config{"header = FF\n", "line 1: \"header\" comes before"},
                      bad_config{"[a]\nmax = 1K\n", "has no header"},
                      bad_config{"[a]\nheader = FF\n", "has no max"},
                      bad_config{"[a]\nheader = FG\nmax = 1\n", "line 2: expected a hex byte"},
                      bad_config{"[a]\nheader = ?? ??\nmax = 1\n", "not \"??\""},
                      bad_config{"[a]\nheader = \"open\nmax = 1\n", "not closed"},
                      bad_config{"[a]\nheader = FF\nmax = 0\n", "max is a size"},
                      bad_config{"[a]\nheader = FF\nmax = 5Q\n", "max is a size"},
                      bad_config{"[a]\nheader = FF\nmax = 99999999999T\n", "max is a size"},
                      bad_config{"[a]\nheader = FF\nmax = 1\nrule = guess\n", "unknown rule"},
                      bad_config{"[a]\nheader = FF\nmax = 1\nrule = footer\n", "has no footer"},
                      bad_config{"[a]\nheader = FF\nmax = 1\ncolour = red\n", "unknown key"},
                      bad_config{"[Big]\nheader = FF\nmax = 1\n", "type name"},
                      bad_config{"[a]\nheader = FF\nmax = 1\n[a]\nheader = FE\nmax = 1\n", "twice"},
                      bad_config{"[a\nheader = FF\nmax = 1\n", "[name]"},
                      bad_config{"[a]\nheader FF\nmax = 1\n", "key = value"}));

TEST(SigscanConfig, LoadFallsBackToTheBuiltInTypes) {
    qv::test::temp_dir dir;
    // A file with a mistake is refused whole.
    std::string broken = dir / "broken.conf";
    qv::test::write_file(broken, {'[', 'x', ']', '\n', 'm', 'a', 'x', '=', '1', '\n'});
    EXPECT_EQ(sc_load_config(broken.c_str()), -1);
    EXPECT_EQ(*qv::sig::current_config(), qv::sig::default_config());
    EXPECT_EQ(sc_load_config((dir / "missing.conf").c_str()), -1);
    EXPECT_EQ(*qv::sig::current_config(), qv::sig::default_config());

    std::string custom = dir / "custom.conf";
    std::string text = "[only]\nheader = \"ONLY\"\nmax = 1M\n";
    qv::test::write_file(custom, std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(sc_load_config(custom.c_str()), 0);
    ASSERT_EQ(qv::sig::current_config()->types.size(), 1u);
    EXPECT_EQ(qv::sig::current_config()->types[0].name, "only");
    EXPECT_EQ(sc_load_config("./Quorvane.conf"), 0);
    EXPECT_EQ(*qv::sig::current_config(), qv::sig::default_config());
}

TEST(SigscanConfig, TheDeepScanCarvesWithTheFileTypesItIsGivenNotTheLastLoaded) {
    qv::test::temp_dir dir;
    std::string custom = dir / "custom.conf";
    std::string text = "[only]\nheader = \"ONLY\"\nmax = 1K\n";
    qv::test::write_file(custom, std::vector<uint8_t>(text.begin(), text.end()));
    // A volume with one file of the custom type and one PDF, each at a sector start.
    std::vector<uint8_t> image(64 * 1024, 0);
    const std::string only = "ONLY and then some bytes";
    std::copy(only.begin(), only.end(), image.begin() + 4096);
    const std::vector<uint8_t> pdf = qv::test::make_pdf(3, false);
    ASSERT_LT(pdf.size(), 32u * 1024);
    std::copy(pdf.begin(), pdf.end(), image.begin() + 16384);
    qv::memory_device device(image);
    auto types_found = [&](std::shared_ptr<const qv::sig::signature_config> types) {
        qv::scan_hooks hooks;
        hooks.file_types = std::move(types);
        std::set<std::string> names;
        for (const auto& [type, records] : qv::deep_core().scan(device, hooks).type_index) names.insert(type);
        return names;
    };

    ASSERT_EQ(sc_load_config(custom.c_str()), 0);
    EXPECT_EQ(types_found(nullptr), std::set<std::string>{"pdf"}) << "no types given: the built-in ones";
    EXPECT_EQ(types_found(qv::sig::current_config()), std::set<std::string>{"only"});
    ASSERT_EQ(sc_load_config("./Quorvane.conf"), 0);
    auto types = qv::sig::load_config_file(custom, nullptr);
    ASSERT_TRUE(types);
    EXPECT_EQ(types_found(std::make_shared<const qv::sig::signature_config>(*types)), std::set<std::string>{"only"})
        << "the types given, whatever was loaded last";
}

TEST(SigscanConfig, LookupOrder) {
    qv::test::temp_dir cwd, data, exe;
    const std::vector<uint8_t> text{'#', '\n'};
    qv::test::write_file(exe / "Quorvane.conf", text);
    std::vector<std::string> places{data.path().string(), exe.path().string()};
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(cwd.path());
    auto beside_program = qv::sig::find_config_file("./Quorvane.conf", places);
    qv::test::write_file(data / "Quorvane.conf", text);
    auto installed = qv::sig::find_config_file("./Quorvane.conf", places);
    qv::test::write_file(cwd / "Quorvane.conf", text);
    auto current = qv::sig::find_config_file("./Quorvane.conf", places);
    auto absolute_missing = qv::sig::find_config_file(data / "other.conf", places);
    std::filesystem::current_path(old);
    EXPECT_EQ(beside_program, exe / "Quorvane.conf");
    EXPECT_EQ(installed, data / "Quorvane.conf");
    EXPECT_EQ(current, "./Quorvane.conf");
    EXPECT_FALSE(absolute_missing);
    // The program's own places: the installed data folder, then its folder.
    auto own = qv::data_places();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(std::filesystem::path(own.back()), std::filesystem::read_symlink("/proc/self/exe").parent_path());
}

TEST(SigscanConfig, CustomFooterAndMaxTypes) {
    auto c = parse_config(
        "[note]\nheader = \"NOTE:\"\nfooter = \"::END\"\nmax = 4K\n"
        "[blob]\nheader = \"BLOB\" 00\nmax = 1000\n",
        nullptr);
    ASSERT_TRUE(c);
    std::vector<uint8_t> image(64 * 1024, 0x20);
    std::string note = "NOTE: some words ::END";
    std::copy(note.begin(), note.end(), image.begin() + 1024);
    std::string blob("BLOB\0", 5);
    std::copy(blob.begin(), blob.end(), image.begin() + 8192);
    std::string lost = "NOTE: no end";  // footer further than max: dropped
    std::copy(lost.begin(), lost.end(), image.begin() + 16384);
    std::copy(blob.begin(), blob.end(), image.begin() + image.size() - 512);  // max cut at the end
    auto found = qv::test::scan_memory(image, false, &*c);
    std::vector<qv::test::found_item> want{{"note", 1024, note.size()},
                                           {"blob", 8192, 1000},
                                           {"blob", image.size() - 512, 512}};
    EXPECT_EQ(found, want);
}

TEST(SigscanCrc, KnownCheckValues) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(qv::sig::flac_crc8(0, check, 9), 0xF4);         // CRC-8/SMBUS
    EXPECT_EQ(qv::sig::flac_crc16(0, check, 9), 0xFEE8);      // CRC-16/UMTS
    EXPECT_EQ(qv::sig::ogg_crc(0, check, 9), 0x89A1897Fu);    // CRC-32/CKSUM without its final xor
}

}  // namespace
