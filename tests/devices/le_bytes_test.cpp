#include <gtest/gtest.h>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"

namespace {

TEST(byte_view, reads_little_endian_and_refuses_out_of_range) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    qv::byte_view v(bytes, sizeof bytes);
    EXPECT_EQ(v.le16(0), 0x0201);
    EXPECT_EQ(v.le32(1), 0x05040302u);
    EXPECT_EQ(v.le64(1), 0x0908070605040302ull);
    EXPECT_EQ(v.le_n(6, 3), 0x090807u);
    // A field running one byte past the end reads as 0, never as neighbouring memory.
    EXPECT_EQ(v.le16(8), 0);
    EXPECT_EQ(v.le32(6), 0u);
    EXPECT_EQ(v.le64(2), 0u);
    EXPECT_EQ(v.u8(9), 0);
    EXPECT_FALSE(v.has(8, 2));
    EXPECT_FALSE(v.has(SIZE_MAX, 2));  // offset + length would wrap
    EXPECT_TRUE(v.sub(7, 5).empty());
    EXPECT_EQ(v.sub(7, 2).le16(0), 0x0908);
}

TEST(memory_device, reads_stop_at_the_end_and_writes_need_permission) {
    qv::memory_device ro(std::vector<uint8_t>(100, 0xAB));
    uint8_t buf[64];
    EXPECT_EQ(ro.read_at(90, buf, sizeof buf), 10);
    EXPECT_EQ(ro.read_at(100, buf, sizeof buf), 0);
    EXPECT_FALSE(ro.read_exact(90, buf, sizeof buf));
    EXPECT_EQ(ro.write_at(0, buf, 1), -1);
    qv::memory_device rw(std::vector<uint8_t>(100, 0), true);
    EXPECT_EQ(rw.write_at(99, buf, 2), -1);
    EXPECT_EQ(rw.write_at(98, buf, 2), 2);
}

}  // namespace
