// The FAT reader on images built byte by byte: type bounds, refused boot
// sectors, long names, deleted and dot entries, reads at the volume's end.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "fat/fat_reader.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::fat_builder;

class fat_reader_on_built_images : public ::testing::Test {
protected:
    // Saves the image, opens it as a device, mounts it and opens its root.
    fat_result mount(fat_builder& b, fat_dir* dir) {
        EXPECT_TRUE(b.save(img));
        device = qv::file_device::open(img, 0, 0, true, qv::access_mode::read_only, nullptr);
        EXPECT_TRUE(device) << img;
        if (!device) return FAT_NOT_READY;
        fat_result r = qv::f_mount(&volume, *device);
        if (r != FAT_OK) {
            dir->volume = nullptr;
            return r;
        }
        return f_opendir(dir, &volume, u"/");
    }
    qv::test::temp_dir dir;
    std::string img = dir / "built.img";
    std::unique_ptr<qv::device_handle> device;
    fat_volume volume;
};

struct type_case {
    int layout_bits;
    uint32_t clusters;
    uint8_t type;
};

class fat_type_bounds : public fat_reader_on_built_images, public ::testing::WithParamInterface<type_case> {};

TEST_P(fat_type_bounds, the_cluster_count_alone_decides_the_type) {
    fat_builder b(GetParam().layout_bits, GetParam().clusters);
    fat_dir root;
    ASSERT_EQ(mount(b, &root), FAT_OK);
    EXPECT_EQ(volume.fat_type, GetParam().type);
    EXPECT_EQ(volume.entry_count, GetParam().clusters + 2);
}

INSTANTIATE_TEST_SUITE_P(bounds, fat_type_bounds,
                         ::testing::Values(type_case{12, 4085, qv::fat_12}, type_case{16, 4086, qv::fat_16},
                                           type_case{16, 65524, qv::fat_16}, type_case{16, 65525, qv::fat_16},
                                           type_case{32, 65526, qv::fat_32}));

struct refusal {
    const char* what;
    size_t offset;
    int width;
    uint32_t value;
};

class refused_boot_sectors : public fat_reader_on_built_images, public ::testing::WithParamInterface<refusal> {};

TEST_P(refused_boot_sectors, are_not_file_systems) {
    fat_builder b(16, 5000);
    const auto& r = GetParam();
    if (r.width == 1)
        b.boot()[r.offset] = uint8_t(r.value);
    else if (r.width == 2)
        qv::put_le16(b.boot() + r.offset, uint16_t(r.value));
    else
        qv::put_le32(b.boot() + r.offset, r.value);
    fat_dir root;
    EXPECT_EQ(mount(b, &root), FAT_NO_FILESYSTEM) << r.what;
    EXPECT_EQ(root.volume, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    fields, refused_boot_sectors,
    ::testing::Values(refusal{"4096 bytes per sector", 11, 2, 4096}, refusal{"0 sectors per cluster", 13, 1, 0},
                      refusal{"3 sectors per cluster", 13, 1, 3}, refusal{"3 FATs", 16, 1, 3},
                      refusal{"root entries not a multiple of 16", 17, 2, 17},
                      refusal{"no reserved sectors", 14, 2, 0}, refusal{"no boot signature", 510, 2, 0},
                      refusal{"a FAT too small for the clusters", 22, 2, 1},
                      refusal{"fewer sectors than the system area", 19, 2, 10},
                      refusal{"no FAT name", 54, 1, 'X'}));

// Builds the long-name entries for name in front of a short entry with name11.
std::vector<std::array<uint8_t, 32>> long_name_entries(const std::u16string& name, const std::string& name11) {
    static const size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    uint8_t sum = qv::fat_short_name_checksum(reinterpret_cast<const uint8_t*>(name11.data()));
    size_t parts = (name.size() + 12) / 13;
    std::vector<std::array<uint8_t, 32>> out;
    for (size_t p = parts; p-- > 0;) {
        std::array<uint8_t, 32> e{};
        e[0] = uint8_t(p + 1) | (p + 1 == parts ? 0x40 : 0);
        e[11] = 0x0F;
        e[13] = sum;
        for (size_t i = 0; i < 13; ++i) {
            size_t at = p * 13 + i;
            uint16_t unit = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
            qv::put_le16(&e[offsets[i]], unit);
        }
        out.push_back(e);
    }
    return out;
}

TEST_F(fat_reader_on_built_images, returns_deleted_entries_and_long_names_within_255_units) {
    fat_builder b(16, 5000);
    std::u16string name255(255, u'n'), name256(256, u'm');
    uint32_t index = 0;
    auto put_named = [&](const std::u16string& long_name, const std::string& name11, uint32_t cluster) {
        for (auto& e : long_name_entries(long_name, name11)) std::memcpy(b.entry_at(0, index++), e.data(), 32);
        std::memset(b.entry_at(0, index), ' ', 11);
        std::memcpy(b.entry_at(0, index), name11.data(), 11);
        b.entry_at(0, index)[11] = 0x20;
        qv::put_le16(b.entry_at(0, index) + 26, uint16_t(cluster));
        ++index;
    };
    put_named(name255, "NNNNNN~1   ", 10);
    put_named(name256, "MMMMMM~1   ", 11);
    put_named(u"Deleted long name.txt", "DELETE~1TXT", 12);
    // Delete that last one: its long-name entries and the short entry get 0xE5.
    for (uint32_t i = index - 3; i < index; ++i) b.entry_at(0, i)[0] = 0xE5;
    std::memcpy(b.entry_at(0, index), ".          ", 11);
    b.entry_at(0, index++)[11] = 0x10;
    std::memcpy(b.entry_at(0, index), "\xE5.         ", 11);
    b.entry_at(0, index++)[11] = 0x10;
    std::memcpy(b.entry_at(0, index), "LABEL      ", 11);
    b.entry_at(0, index++)[11] = 0x08;

    fat_dir root;
    ASSERT_EQ(mount(b, &root), FAT_OK);
    char16_t long_name[256];
    std::vector<std::pair<std::u16string, std::u16string>> seen;  // short, long
    std::vector<uint8_t> attributes;
    for (;;) {
        fat_entry_info info;
        info.long_name = long_name;
        info.long_name_size = 256;
        ASSERT_EQ(f_readdir(&root, &info), FAT_OK);
        if (!info.short_name[0]) break;
        seen.emplace_back(info.short_name, info.long_name);
        attributes.push_back(info.attributes);
    }
    ASSERT_EQ(seen.size(), 4u) << "the live dot entry and the label are skipped";
    EXPECT_EQ(seen[0].second, name255) << "255 units are returned whole";
    EXPECT_EQ(seen[1].second, u"") << "256 units make no long name";
    EXPECT_EQ(seen[1].first, u"MMMMMM~1");
    EXPECT_EQ(seen[2].second, u"") << "a deleted entry has its short name only";
    EXPECT_EQ(attributes[2], 0x20 | 0x40);
    EXPECT_EQ(seen[3].second, u"");
    EXPECT_EQ(attributes[3], 0x10 | 0x40) << "a deleted dot entry is returned";
}

TEST_F(fat_reader_on_built_images, short_names_decode_code_page_936_and_case_flags) {
    fat_builder b(16, 5000);
    b.add_entry(0, "\xC4\xE3\xBA\xC3    TXT", 0x10, 20, 0, false);  // 你好.TXT
    b.add_entry(0, "BCD     TXT", 0x20, 21, 1, true);                  // deleted: first byte is the mark
    b.add_entry(0, "MIXED   TXT", 0x20, 22, 1, false);
    b.entry_at(0, 2)[12] = 0x08;  // lower-case base name only
    b.add_entry(0, "\x05" "ABC    TXT", 0x20, 23, 1, false);  // 0x05 stands for a leading 0xE5
    fat_dir root;
    ASSERT_EQ(mount(b, &root), FAT_OK);
    std::vector<std::u16string> names;
    for (;;) {
        fat_entry_info info;
        ASSERT_EQ(f_readdir(&root, &info), FAT_OK);
        if (!info.short_name[0]) break;
        names.emplace_back(info.short_name);
    }
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0], u"你好.TXT");
    // The deletion mark is not joined with the next byte into one double-byte
    // character, so every letter after it survives.
    EXPECT_EQ(names[1].substr(1), u"CD.TXT");
    EXPECT_EQ(names[2], u"mixed.TXT");
    EXPECT_EQ(names[3].size(), 7u) << "0xE5 'A' decodes as one double-byte character";
}

TEST_F(fat_reader_on_built_images, a_contiguous_read_stops_at_the_last_cluster) {
    fat_builder b(16, 5000);
    uint32_t last = 5000 + 1;
    b.write_cluster(last - 1, std::vector<uint8_t>(512, 0xAA));
    b.write_cluster(last, std::vector<uint8_t>(512, 0xBB));
    fat_dir root;
    ASSERT_EQ(mount(b, &root), FAT_OK);
    fat_file f;
    f.volume = &volume;
    f.mount_id = volume.mount_id;
    f.flags = qv::fat_file_read;
    f.size = 4096;
    f.start_cluster = last - 1;
    std::vector<uint8_t> out(4096);
    uint32_t got = 0;
    EXPECT_EQ(f_readfile(&f, out.data(), 4096, &got, 1), FAT_INTERNAL_ERROR);
    EXPECT_EQ(got, 1024u) << "the two clusters up to the end";
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[1023], 0xBB);
    EXPECT_EQ(f_readfile(&f, out.data(), 4096, &got, 1), FAT_INTERNAL_ERROR) << "the file stays in error";
    EXPECT_EQ(got, 0u);
}

TEST_F(fat_reader_on_built_images, a_folder_whose_chain_ends_in_zero_gives_its_last_entry_then_fails) {
    fat_builder b(16, 5000);
    b.add_entry(0, "SUB        ", 0x10, 30, 0, false);
    // Cluster 30 is a folder of one 512-byte cluster with 16 entries; its table entry stays 0.
    for (int i = 0; i < 16; ++i) b.add_entry(30, "F" + std::to_string(100 + i) + "    DAT", 0x20, 40 + i, 1, true);
    b.set_fat(30, 0);
    fat_dir root;
    ASSERT_EQ(mount(b, &root), FAT_OK);
    fat_dir sub;
    ASSERT_EQ(f_opendir(&sub, &volume, u"/SUB"), FAT_OK);
    EXPECT_EQ(sub.start_cluster, 30u);
    fat_result r = FAT_OK;
    int read = 0;
    fat_entry_info info;
    while ((r = f_readdir(&sub, &info)) == FAT_OK && info.short_name[0]) ++read;
    EXPECT_EQ(r, FAT_INTERNAL_ERROR);
    EXPECT_EQ(read, 15);
    EXPECT_EQ(std::u16string(info.short_name).substr(1), u"115.DAT") << "the 16th entry was filled all the same";
    EXPECT_EQ(f_opendir(&sub, &volume, u"/NOPE"), FAT_NO_PATH);
    EXPECT_EQ(f_opendir(&sub, &volume, u"/SU*"), FAT_INVALID_NAME);
}

}  // namespace
