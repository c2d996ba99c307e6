// The FAT, NTFS and exFAT walks over the FUSE faulty disk: 100 unreadable 4 KiB
// areas inside deleted files (every other file comes back exact, the touched
// ones with zeros there and the right unreadable count), and a disk that
// vanishes midway (the walk ends, what it found stays).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <map>
#include <optional>
#include <sstream>

#include "devices/device_handle.hpp"
#include "tests/support/test_devices.hpp"
#include "tests/failing/walk_images.hpp"
#include "tests/support/faulty_disk.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::files_by_size;
using qv::test::walk_image;

std::unique_ptr<qv::device_handle> open_path(const std::string& path) {
    std::string error;
    auto device = qv::file_device::open(path, 0, 0, true, qv::access_mode::read_only, &error);
    EXPECT_TRUE(device) << path << ": " << error;
    return device;
}

// Counts the bytes read through it, to find a place midway through a walk.
class counting_device final : public qv::device_handle {
public:
    explicit counting_device(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override {
        int64_t got = inner_.read_at(offset, buffer, len);
        if (got > 0) *served += uint64_t(got);
        return got;
    }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }
    std::shared_ptr<std::atomic<uint64_t>> served = std::make_shared<std::atomic<uint64_t>>(0);

private:
    qv::memory_device inner_;
};

// The number right after key in a JSON line; empty when key is not there.
std::optional<uint64_t> number_after(const std::string& line, const std::string& key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    size_t end = at + key.size();
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    if (end == at + key.size()) return std::nullopt;
    return std::stoull(line.substr(at + key.size(), end - at - key.size()));
}

class WalkFaultyDisk : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        std::string why;
        if (!qv::test::make_walk_image(GetParam(), dir / "volume.img", dir / "work", 45, 20000, &image, &why)) {
            if (why.rfind("skip: ", 0) == 0) GTEST_SKIP() << why.substr(6);
            FAIL() << why;
        }
    }
    qv::test::temp_dir dir;
    walk_image image;
};

TEST_P(WalkFaultyDisk, FilesClearOfBadAreasComeBackExactAndTouchedOnesAreZeroFilledAndCounted) {
    const auto bad = qv::test::areas_in_files(image, 100, 16);
    ASSERT_EQ(bad.size(), 100u);
    qv::test::faulty_options options;
    for (const auto& [at, length] : bad) options.bad.push_back({at, length, 0});
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, image.path, dir / "mnt", options);

    qv::test::walk_engine engine(GetParam());
    const auto found = files_by_size(engine.scan(open_path(disk.path())));
    EXPECT_FALSE(engine.vanished());
    EXPECT_EQ(engine.unreadable_bytes(), 0u) << "the bad areas lie in file data, which the walk does not read";

    size_t touched = 0;
    uint64_t lost_in_all = 0;
    for (size_t i = 0; i < image.files.size(); ++i) {
        const auto& f = image.files[i];
        auto it = found.find(f.size);
        ASSERT_NE(it, found.end()) << "file " << i << " (" << f.size << " bytes) was not found";
        const std::string out = dir / ("out" + std::to_string(i));
        uint64_t unreadable = ~uint64_t(0);
        ASSERT_EQ(engine.recover(it->second, out, &unreadable), 0) << "file " << i;
        const uint64_t expected = qv::test::overlap(bad, f.offset, f.size);
        EXPECT_EQ(unreadable, expected) << "file " << i;
        EXPECT_EQ(qv::test::read_file(out), qv::test::with_zeros(f, bad)) << "file " << i;
        touched += expected > 0 ? 1 : 0;
        lost_in_all += unreadable;
    }
    EXPECT_EQ(touched, 15u) << "every third file holds bad areas";
    EXPECT_EQ(lost_in_all, 100u * 4096) << "each area lies wholly in one file";
}

TEST_P(WalkFaultyDisk, AVanishedDiskEndsTheWalkAndKeepsWhatWasFound) {
    // How much a whole walk reads, from memory; the disk goes at half of it.
    auto counting = std::make_unique<counting_device>(qv::test::read_file(image.path));
    auto served = counting->served;
    qv::test::walk_engine whole(GetParam());
    const auto clean = whole.scan(std::move(counting));
    ASSERT_GT(served->load(), 0u);

    qv::test::faulty_options options;
    options.vanish_after = served->load() / 2;
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, image.path, dir / "mnt", options);
    qv::test::walk_engine engine(GetParam());
    const auto found = engine.scan(open_path(disk.path()));
    EXPECT_TRUE(engine.vanished());
    EXPECT_EQ(engine.unreadable_bytes(), 0u) << "a vanished disk is not a pile of bad sectors";
    EXPECT_LT(found.size(), clean.size());
    for (const auto& f : found) {
        bool in_clean = false;
        for (const auto& c : clean) in_clean |= c.id == f.id && c.name == f.name && c.size == f.size;
        EXPECT_TRUE(in_clean) << f.name << " was found only on the vanishing disk";
    }
}

TEST_P(WalkFaultyDisk, TheCommandLineReportsEachDamagedFileWithItsUnreadableBytes) {
    const auto bad = qv::test::areas_in_files(image, 100, 16);
    qv::test::faulty_options options;
    for (const auto& [at, length] : bad) options.bad.push_back({at, length, 0});
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, image.path, dir / "mnt", options);
    std::string output;
    // Standard output only: one JSON object per recovered file. Files that came
    // back with zeros in them are not a success: the exit code says so.
    EXPECT_EQ(qv::test::run(std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " recover " +
                                qv::test::shell_quote(disk.path()) + " --to " + qv::test::shell_quote(dir / "out") +
                                " --json 2>" + qv::test::shell_quote(dir / "err"),
                            &output),
              1)
        << output << qv::test::read_file(dir / "err").size();
    std::map<uint64_t, uint64_t> expected;  // size -> unreadable bytes, for the touched files
    for (const auto& f : image.files)
        if (uint64_t n = qv::test::overlap(bad, f.offset, f.size)) expected[f.size] = n;
    size_t lines = 0;
    std::map<uint64_t, uint64_t> reported;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        const auto size = number_after(line, "\"size\":");
        ASSERT_TRUE(size) << line;
        ++lines;
        if (auto lost = number_after(line, "\"state\":\"damaged\",\"unreadable\":")) reported[*size] = *lost;
    }
    EXPECT_EQ(lines, image.files.size());
    EXPECT_EQ(reported, expected);
    const auto err = qv::test::read_file(dir / "err");
    const std::string messages(err.begin(), err.end());
    EXPECT_EQ(messages.find("failed:"), std::string::npos) << messages;
    EXPECT_NE(messages.find("(15 damaged: parts could not be read)"), std::string::npos) << messages;
    EXPECT_NE(messages.find("not everything came back as it was"), std::string::npos) << messages;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, WalkFaultyDisk, testing::Values("fat", "ntfs", "exfat"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
