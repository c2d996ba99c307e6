// The undo of the partition-table repair through quorvane-cli: a wiped first
// sector comes back exactly, another drive or a changed sector is refused with
// the reason, --force overrides, and backups without an undo record still work.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_support.hpp"

namespace {

using qv::test::read_file;
using qv::test::run;
using qv::test::shell_quote;

std::vector<uint8_t> first_sector(const std::string& image) {
    auto bytes = read_file(image);
    bytes.resize(512);
    return bytes;
}

void put_first_sector(const std::string& image, const std::vector<uint8_t>& sector) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.write(reinterpret_cast<const char*>(sector.data()), std::streamsize(sector.size()));
}

class MbrUndo : public testing::Test {
protected:
    void SetUp() override {
        QV_REQUIRE_TOOL("mkntfs");
        img = dir / "disk.img";
        const std::string part = dir / "ntfs.part";
        ASSERT_EQ(run("truncate -s 32M " + shell_quote(img) + " && truncate -s 12M " + shell_quote(part)), 0);
        ASSERT_EQ(run("mkntfs -F -Q -q -p 2048 " + shell_quote(part) + " && dd if=" + shell_quote(part) +
                      " of=" + shell_quote(img) + " bs=512 seek=2048 conv=notrunc status=none"),
                  0);
        // The first sector was wiped: all zeros, no table, no signature.
        ASSERT_EQ(first_sector(img), std::vector<uint8_t>(512, 0));
        std::string out;
        ASSERT_EQ(run(cli("partitions --write-mbr --yes " + shell_quote(img)), &out), 0) << out;
        auto at = out.find(saved_text);
        ASSERT_NE(at, std::string::npos) << out;
        backup = out.substr(at + saved_text.size(), out.find('\n', at) - at - saved_text.size());
        repaired = first_sector(img);
        ASSERT_NE(repaired, std::vector<uint8_t>(512, 0));
    }
    std::string cli(const std::string& args) const {
        return "XDG_DATA_HOME=" + shell_quote(dir / "data") + " QUORVANE_IMAGES_ONLY=1 " + QUORVANE_CLI + " " + args;
    }
    int restore(const std::string& drive, const std::string& extra, std::string* out) const {
        return run(cli("partitions --restore-mbr " + shell_quote(backup) + " " + extra + shell_quote(drive)), out);
    }

    const std::string saved_text = "saved the replaced first sector to ";
    qv::test::temp_dir dir;
    std::string img, backup;
    std::vector<uint8_t> repaired;
};

TEST_F(MbrUndo, TheRecordNamesTheDriveAndTheSectorWritten) {
    std::string json;
    auto bytes = read_file(backup + ".json");
    json.assign(bytes.begin(), bytes.end());
    EXPECT_NE(json.find("\"drive\": " "\"" + img + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"sectors\": \"65536\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"time\": \"20"), std::string::npos) << json;
    std::string sha;
    ASSERT_EQ(run("head -c 512 " + shell_quote(img) + " | sha256sum | cut -c1-64", &sha), 0);
    sha.pop_back();
    EXPECT_NE(json.find("\"written_sha256\": \"" + sha + "\""), std::string::npos) << json << "\n" << sha;
}

TEST_F(MbrUndo, AWipedSectorIsPutBackAsItWas) {
    std::string out;
    ASSERT_EQ(restore(img, "", &out), 0) << out;
    EXPECT_EQ(first_sector(img), std::vector<uint8_t>(512, 0));
}

struct refusal_row {
    const char* name;
    const char* why;  // part of the message
};

class MbrUndoRefusal : public MbrUndo, public testing::WithParamInterface<refusal_row> {};

TEST_P(MbrUndoRefusal, IsRefusedWithTheReasonAndForced) {
    const std::string which = GetParam().name;
    std::string drive = img;
    std::vector<uint8_t> expected_after_force(512, 0);
    if (which == "other_drive") {
        drive = dir / "other.img";
        std::filesystem::copy_file(img, drive);
    } else if (which == "other_size") {
        drive = dir / "bigger.img";
        std::filesystem::copy_file(img, drive);
        ASSERT_EQ(run("truncate -s 33M " + shell_quote(drive)), 0);
    } else if (which == "sector_changed") {
        auto changed = repaired;
        changed[0x1BE] ^= 0x80;  // someone toggled the boot flag meanwhile
        put_first_sector(img, changed);
    }
    const auto before = read_file(drive);
    std::string out;
    EXPECT_EQ(restore(drive, "", &out), 1) << out;
    EXPECT_NE(out.find(GetParam().why), std::string::npos) << out;
    EXPECT_NE(out.find("--force"), std::string::npos) << out;
    EXPECT_EQ(read_file(drive), before) << "a refused restore writes nothing";

    ASSERT_EQ(restore(drive, "--force ", &out), 0) << out;
    EXPECT_EQ(first_sector(drive), expected_after_force);
}

INSTANTIATE_TEST_SUITE_P(Rows, MbrUndoRefusal,
                         testing::Values(refusal_row{"other_drive", "the backup came from"},
                                         refusal_row{"other_size", "sectors, the drive this backup came from had 65536"},
                                         refusal_row{"sector_changed", "changed since"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MbrUndo, BackupsWithoutARecordRestoreOnlyABootSector) {
    std::filesystem::remove(backup + ".json");
    std::string out;
    EXPECT_EQ(restore(img, "", &out), 1) << out;
    EXPECT_NE(out.find("55 AA"), std::string::npos) << out;
    EXPECT_EQ(first_sector(img), repaired);

    // An old backup of a real boot sector goes back as before.
    auto signed_sector = qv::test::pseudo_random_bytes(512, 3);
    signed_sector[510] = 0x55;
    signed_sector[511] = 0xAA;
    qv::test::write_file(backup, signed_sector);
    ASSERT_EQ(restore(img, "", &out), 0) << out;
    EXPECT_EQ(first_sector(img), signed_sector);
}

TEST_F(MbrUndo, ADamagedRecordIsRefusedUnlessForced) {
    qv::test::write_file(backup + ".json", {'{', '"', 'x'});
    std::string out;
    EXPECT_EQ(restore(img, "", &out), 1) << out;
    EXPECT_NE(out.find("not an undo record"), std::string::npos) << out;
    EXPECT_EQ(first_sector(img), repaired);
    ASSERT_EQ(restore(img, "--force ", &out), 0) << out;
    EXPECT_EQ(first_sector(img), std::vector<uint8_t>(512, 0));
}

}  // namespace
