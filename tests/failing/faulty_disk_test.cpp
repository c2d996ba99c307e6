// The faulty disk itself: good ranges read exactly, bad ranges fail with EIO,
// and after the vanish point every read fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devices/device_handle.hpp"
#include "tests/support/faulty_disk.hpp"
#include "tests/support/test_support.hpp"

namespace {

constexpr size_t image_bytes = 1 << 20;

struct read_case {
    uint64_t offset;
    size_t length;
    bool readable;
};

TEST(FaultyDisk, BadRangesFailAndTheRestReadsExactly) {
    qv::test::temp_dir dir;
    auto bytes = qv::test::pseudo_random_bytes(image_bytes, 7);
    qv::test::write_file(dir / "src.img", bytes);
    qv::test::faulty_options options;
    options.bad = {{0x10000, 0x1000, 0}, {0x80200, 0x200, 0}};
    options.slow = {{0x40000, 0x1000, 5}};
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "src.img", dir / "mnt", options);

    const read_case cases[] = {
        {0, 0x10000, true},          // right up to the first bad range
        {0xFE00, 0x400, false},      // straddles its start
        {0x10000, 0x200, false},     // inside it
        {0x10FFF, 1, false},         // its last byte
        {0x11000, 0x1000, true},     // right after it
        {0x40000, 0x2000, true},     // slow but readable
        {0x80000, 0x200, true},      // sector before the second bad sector
        {0x80000, 0x400, false},     // a read that runs into it
        {0x80400, 0x7FC00, true},    // the rest of the image
    };
    auto dev = qv::file_device::open(disk.path(), 0, 0, true, qv::access_mode::read_only, nullptr);
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->length(), image_bytes);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        std::vector<uint8_t> got(c.length);
        int64_t n = dev->read_at(c.offset, got.data(), got.size());
        if (c.readable) {
            ASSERT_EQ(n, int64_t(c.length));
            EXPECT_EQ(0, std::memcmp(got.data(), bytes.data() + c.offset, c.length));
        } else {
            EXPECT_EQ(n, -1);
        }
    }
    int fd = ::open(disk.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char sector[512];
    errno = 0;
    EXPECT_EQ(::pread(fd, sector, sizeof sector, 0x10000), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::open(disk.path().c_str(), O_RDWR), -1);  // the source can never be written
    ::close(fd);
}

TEST(FaultyDisk, EveryReadFailsOnceTheDiskHasVanished) {
    qv::test::temp_dir dir;
    auto bytes = qv::test::pseudo_random_bytes(image_bytes, 8);
    qv::test::write_file(dir / "src.img", bytes);
    qv::test::faulty_options options;
    options.vanish_after = 0x28000;
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, dir / "src.img", dir / "mnt", options);
    auto dev = qv::file_device::open(disk.path(), 0, 0, true, qv::access_mode::read_only, nullptr);
    ASSERT_TRUE(dev);
    std::vector<uint8_t> got(0x10000);
    ASSERT_EQ(dev->read_at(0, got.data(), got.size()), int64_t(got.size()));
    EXPECT_EQ(got, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 0x10000));
    ASSERT_EQ(dev->read_at(0x10000, got.data(), got.size()), int64_t(got.size()));
    EXPECT_EQ(dev->read_at(0x20000, got.data(), got.size()), -1);  // crosses the vanish point
    EXPECT_EQ(dev->read_at(0, got.data(), 512), -1);               // and nothing comes back
}

}  // namespace
