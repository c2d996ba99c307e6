// The FAT, NTFS and exFAT walks over in-process failing and vanishing devices:
// an unreadable folder sector or MFT record is skipped, counted and named, the
// walk goes on; a file over unreadable sectors is written with zeros there;
// a device that goes away ends the walk with what was found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "tests/support/test_devices.hpp"
#include "tests/failing/walk_images.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::files_by_size;
using qv::test::walk_image;

std::string name_of(int i) { return "f" + std::to_string(100 + i); }

std::vector<size_t> find_all(const std::vector<uint8_t>& image, const std::vector<uint8_t>& pattern) {
    std::vector<size_t> out;
    for (auto it = image.begin();;) {
        it = std::search(it, image.end(), pattern.begin(), pattern.end());
        if (it == image.end()) return out;
        out.push_back(size_t(it - image.begin()));
        ++it;
    }
}

std::vector<uint8_t> utf16(const std::string& ascii) {
    std::vector<uint8_t> out;
    for (char c : ascii) {
        out.push_back(uint8_t(c));
        out.push_back(0);
    }
    return out;
}

// Where file i's own directory entry (FAT), entry set name (exFAT) or MFT
// record (NTFS) lies: the byte range to make unreadable so only the walk loses it.
std::pair<uint64_t, uint64_t> entry_place(const std::string& kind, const std::vector<uint8_t>& image, int i) {
    if (kind == "fat") {
        // The deleted short entry: 0xE5, then the rest of the 8.3 name.
        const std::string tail = name_of(i).substr(1);
        std::string entry = tail + std::string(8 - 1 - tail.size(), ' ');
        for (size_t at : find_all(image, std::vector<uint8_t>(entry.begin(), entry.end())))
            if (at > 0 && image[at - 1] == 0xE5 && std::memcmp(&image[at + entry.size()], "BIN", 3) == 0)
                return {(at - 1) / 512 * 512, 512};
    } else if (kind == "ntfs") {
        for (size_t at : find_all(image, utf16(name_of(i) + ".bin"))) {
            const size_t record = at / 1024 * 1024;
            if (std::memcmp(&image[record], "FILE", 4) == 0) return {record, 1024};
        }
    } else {
        for (size_t at : find_all(image, utf16(name_of(i) + ".bin"))) return {at / 512 * 512, 512};
    }
    return {0, 0};
}

class WalkReadErrors : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        std::string why;
        if (!qv::test::make_walk_image(GetParam(), dir / "volume.img", dir / "work", 45, 20000, &image, &why)) {
            if (why.rfind("skip: ", 0) == 0) GTEST_SKIP() << why.substr(6);
            FAIL() << why;
        }
        bytes = qv::test::read_file(image.path);
    }
    qv::test::temp_dir dir;
    walk_image image;
    std::vector<uint8_t> bytes;
};

TEST_P(WalkReadErrors, AnUnreadableEntryPlaceIsSkippedCountedAndNamedAndTheWalkGoesOn) {
    const auto [at, length] = entry_place(GetParam(), bytes, 20);
    ASSERT_GT(length, 0u) << "the entry of file 20 was not found on the image";
    // Every file whose entry shares the unreadable place is lost with it.
    std::set<int> lost;
    for (int i = 0; i < int(image.files.size()); ++i)
        if (entry_place(GetParam(), bytes, i).first == at) lost.insert(i);
    ASSERT_TRUE(lost.count(20));

    auto device = std::make_unique<qv::failing_device>(bytes, std::vector<qv::failing_device::range>{{at, at + length}});
    qv::test::walk_engine engine(GetParam());
    const auto found = files_by_size(engine.scan(std::move(device)));
    EXPECT_FALSE(engine.vanished());
    EXPECT_EQ(engine.unreadable_bytes(), length);
    const auto places = engine.places();
    ASSERT_EQ(places.size(), 1u);
    const std::string named = std::string(GetParam()) == "ntfs" ? "MFT record" : "folder";
    EXPECT_NE(places[0].find(named), std::string::npos) << places[0];

    for (int i = 0; i < int(image.files.size()); ++i) {
        const auto& f = image.files[size_t(i)];
        auto it = found.find(f.size);
        if (lost.count(i)) {
            EXPECT_EQ(it, found.end()) << "file " << i << " lay in the unreadable place";
            continue;
        }
        // exFAT entry sets may straddle the lost sector: only those next to it may go too.
        if (it == found.end() && std::string(GetParam()) == "exfat" && (lost.count(i - 1) || lost.count(i + 1)))
            continue;
        ASSERT_NE(it, found.end()) << "file " << i << " lies clear of the unreadable place";
        const std::string out = dir / ("out" + std::to_string(i));
        uint64_t unreadable = 1;
        ASSERT_EQ(engine.recover(it->second, out, &unreadable), 0) << "file " << i;
        EXPECT_EQ(unreadable, 0u);
        EXPECT_EQ(qv::test::read_file(out), f.bytes) << "file " << i;
    }
}

TEST_P(WalkReadErrors, AFileOverUnreadableSectorsIsWrittenWithZerosThereAndCounted) {
    // Two sectors in the middle of file 4, and one that covers its last bytes.
    const auto& f = image.files[4];
    const uint64_t mid = (f.offset + f.size / 2) / 512 * 512;
    const uint64_t tail = (f.offset + f.size - 1) / 512 * 512;
    std::vector<std::pair<uint64_t, uint64_t>> bad = {{mid, 1024}, {tail, 512}};
    auto device = std::make_unique<qv::failing_device>(
        bytes, std::vector<qv::failing_device::range>{{mid, mid + 1024}, {tail, tail + 512}});
    qv::test::walk_engine engine(GetParam());
    const auto found = files_by_size(engine.scan(std::move(device)));
    ASSERT_TRUE(found.count(f.size));
    const std::string out = dir / "out";
    uint64_t unreadable = 0;
    ASSERT_EQ(engine.recover(found.at(f.size), out, &unreadable), 0) << "a damaged file is still written whole";
    EXPECT_EQ(unreadable, qv::test::overlap(bad, f.offset, f.size));
    EXPECT_EQ(qv::test::read_file(out), qv::test::with_zeros(f, bad));
    // The file after it is not touched.
    const auto& next = image.files[5];
    ASSERT_TRUE(found.count(next.size));
    ASSERT_EQ(engine.recover(found.at(next.size), out, &unreadable), 0);
    EXPECT_EQ(unreadable, 0u);
    EXPECT_EQ(qv::test::read_file(out), next.bytes);
}

TEST_P(WalkReadErrors, ADeviceThatGoesAwayEndsTheWalkAndWhatWasFoundStays) {
    // A whole walk's reads, counted through a device that never goes.
    auto whole_device = std::make_unique<qv::vanishing_device>(bytes, ~uint64_t(0));
    qv::test::walk_engine whole(GetParam());
    const auto clean = whole.scan(std::move(whole_device));
    ASSERT_FALSE(whole.vanished());
    ASSERT_FALSE(clean.empty());

    // Budgets from nothing at all up to nearly a whole walk: never a crash,
    // never an item the whole walk did not find, and the vanishing is told.
    for (uint64_t budget : {uint64_t(0), uint64_t(4096), uint64_t(100000), uint64_t(400000), uint64_t(1500000)}) {
        auto device = std::make_unique<qv::vanishing_device>(bytes, budget);
        qv::test::walk_engine engine(GetParam());
        const auto found = engine.scan(std::move(device));
        for (const auto& f : found) {
            bool in_clean = false;
            for (const auto& c : clean) in_clean |= c.id == f.id && c.name == f.name && c.size == f.size;
            EXPECT_TRUE(in_clean) << f.name << " at budget " << budget;
        }
        EXPECT_EQ(engine.unreadable_bytes(), 0u) << "budget " << budget;
        if (found.size() < clean.size()) {
            EXPECT_TRUE(engine.vanished()) << "budget " << budget;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, WalkReadErrors, testing::Values("fat", "ntfs", "exfat"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
