// Recovering into a destination that fills up (a small tmpfs): recovery stops
// at the first file that does not fit, says how much more room is needed,
// leaves no partial file, and reports only complete files as recovered.
#include <gtest/gtest.h>

#include <QDir>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "engine/destination_failure.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/test_support.hpp"
#include "ui/recovery_worker.hpp"

using qv::classify_destination_failure;
using qv::destination_failure;
using qv::destination_failure_text;

namespace {

using qv::test::run;
using qv::test::shell_quote;

constexpr size_t file_bytes = 300 * 1024;
constexpr int file_count = 6;

// A tmpfs of 1 MiB: room for three of the six 300 KiB files, not four.
class small_tmpfs {
public:
    bool mount(const std::string& dir, std::string* why) {
        std::filesystem::create_directories(dir);
        if (::geteuid() != 0) return *why = "mounting a tmpfs needs root", false;
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0)
            return *why = std::string("cannot mount a tmpfs: ") + std::strerror(errno), false;
        dir_ = dir;
        return true;
    }
    ~small_tmpfs() {
        if (!dir_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
    }

private:
    std::string dir_;
};

class DestinationFull : public testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        img = dir / "card.img";
        ASSERT_EQ(run("mkfs.fat -C -F 16 " + shell_quote(img) + " 16384"), 0);
        std::string del = "mdel -i " + shell_quote(img);
        for (int i = 0; i < file_count; ++i) {
            const std::string name = "f" + std::to_string(i) + ".bin";
            contents[name] = qv::test::pseudo_random_bytes(file_bytes, uint32_t(i + 1));
            qv::test::write_file(dir / "local", contents[name]);
            ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(dir / "local") + " ::/" + name), 0);
            del += " ::/" + name;
        }
        ASSERT_EQ(run(del), 0);
        std::string why;
        if (!tmpfs.mount(dir / "full", &why)) GTEST_SKIP() << why;
        out = dir / "full";
    }

    // Every file in the destination is one of the originals, complete.
    size_t complete_files_in(const std::string& folder) {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(folder)) {
            auto bytes = qv::test::read_file(e.path().string());
            bool matches = false;
            for (const auto& [name, c] : contents) matches = matches || bytes == c;
            EXPECT_TRUE(matches) << e.path() << " is not a complete recovered file (" << bytes.size() << " bytes)";
            ++n;
        }
        return n;
    }

    qv::test::temp_dir dir;
    std::string img, out;
    std::map<std::string, std::vector<uint8_t>> contents;
    small_tmpfs tmpfs;
};

TEST_F(DestinationFull, TheCommandLineStopsAtOnceAndSaysHowMuchMoreIsNeeded) {
    std::string output;
    EXPECT_EQ(run(std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " recover " + shell_quote(img) + " --to " +
                      shell_quote(out),
                  &output),
              1)
        << output;
    EXPECT_NE(output.find("3 of 6 files recovered; the destination is full (about 900.00K more needed)"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("failed:"), std::string::npos) << "nothing more is tried once it is full\n" << output;
    EXPECT_EQ(complete_files_in(out), 3u);
}

TEST_F(DestinationFull, TheWindowsWorkerStopsWithTheSameCounts) {
    auto engine = qv::test::scan_fat_window(img);
    QList<recovery_item_s> rows;
    for (const qv::found_item& item : engine->found_items()) {
        if (item.directory) continue;
        recovery_item_s row;
        row.name = QString::fromStdString(item.name);
        row.size = item.size;
        row.id = item.id;
        row.attributes = item.attributes;
        row.ticked = 1;
        rows.append(row);
    }
    ASSERT_EQ(rows.size(), file_count);
    recovery_file_c worker;
    worker.set_job(engine.get(), QDir(QString::fromStdString(out)), rows);
    worker.start();
    ASSERT_TRUE(worker.wait(120000));
    EXPECT_EQ(worker.recovered(), 3);
    EXPECT_EQ(worker.failed(), 0) << "the files after the full one are not tried";
    const destination_failure& stop = worker.destination_stop();
    EXPECT_TRUE(stop.stopped);
    EXPECT_TRUE(stop.full);
    EXPECT_EQ(stop.more_needed, 3 * file_bytes);
    EXPECT_EQ(destination_failure_text(3, 6, stop),
              "3 of 6 files recovered; the destination is full (about 900.00K more needed)");
    EXPECT_EQ(complete_files_in(out), 3u);
}

TEST(DestinationFailure, OtherWriteErrorsNameTheirReason) {
    qv::test::temp_dir dir;
    destination_failure f = classify_destination_failure(EIO, QString::fromStdString(dir.path().string()), 1024);
    EXPECT_TRUE(f.stopped);
    EXPECT_FALSE(f.full);
    EXPECT_EQ(destination_failure_text(2, 5, f).toStdString(),
              "2 of 5 files recovered; the destination cannot be written (" + std::string(std::strerror(EIO)) + ")");
    EXPECT_TRUE(classify_destination_failure(EDQUOT, QString::fromStdString(dir.path().string()), 1).full);
}

}  // namespace
