// A deep scan that finds nothing still saves its (empty) result and succeeds;
// only a result file that cannot be written is an error.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_support.hpp"

namespace {

using qv::test::run;
using qv::test::shell_quote;

std::string cli(const std::string& args) { return std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " " + args; }

TEST(EmptyDeepResult, IsSavedAndResumesToNothing) {
    qv::test::temp_dir dir;
    const std::string img = dir / "blank.img";
    qv::test::write_file(img, std::vector<uint8_t>(1 << 20, 0));
    const std::string sav = dir / "blank.sav";
    std::string out;
    ASSERT_EQ(run(cli("scan --deep --save " + shell_quote(sav) + " " + shell_quote(img)), &out), 0) << out;
    EXPECT_NE(out.find("saved the scan result (0 files)"), std::string::npos) << out;
    auto bytes = qv::test::read_file(sav);
    ASSERT_EQ(bytes.size(), 256u) << "a header and no records";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data())), img);

    ASSERT_EQ(run(cli("resume " + shell_quote(sav) + " --to " + shell_quote(dir / "out")), &out), 0) << out;
    EXPECT_NE(out.find("recovered 0 of 0 files"), std::string::npos) << out;
}

TEST(EmptyDeepResult, AFileThatCannotBeWrittenIsStillAnError) {
    qv::test::temp_dir dir;
    const std::string img = dir / "blank.img";
    qv::test::write_file(img, std::vector<uint8_t>(1 << 20, 0));
    const std::string sav = dir / "no-such-folder/blank.sav";
    std::string out;
    EXPECT_EQ(run(cli("scan --deep --save " + shell_quote(sav) + " " + shell_quote(img)), &out), 2) << out;
    EXPECT_NE(out.find("cannot save the scan result"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(sav));
    // Nothing is left behind in the folder a result is written to.
    std::filesystem::create_directory(dir / "ro");
    ASSERT_EQ(run(cli("scan --deep --save " + shell_quote(dir / "ro/x.sav") + " " + shell_quote(img)), &out), 0);
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir / "ro")) entries += e.path().filename() == "x.sav" ? 0 : 1;
    EXPECT_EQ(entries, 0u) << "no temporary file stays next to the result";
}

}  // namespace
