// Hostile devices: noise, blank media, headers with absurd sizes and devices
// full of headers must neither crash nor hang nor report past the device's end.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

#include <zlib.h>

#include "sigscan/config.hpp"
#include "tests/sigscan/scan_helpers.hpp"
#include "tests/support/test_support.hpp"

namespace {

using bytes = std::vector<uint8_t>;

void expect_within(const bytes& image, const std::vector<qv::test::found_item>& found) {
    for (const auto& f : found) {
        EXPECT_GT(f.size, 0u);
        EXPECT_LE(f.offset + f.size, image.size()) << f.type << " at " << f.offset;
    }
}

TEST(SigscanHostile, NoiseAndBlankMediaFindNothing) {
    const size_t size = 8 << 20;
    struct row {
        const char* what;
        bytes image;
    };
    std::vector<row> rows{{"random", qv::test::pseudo_random_bytes(size, 7)},
                          {"zeros", bytes(size, 0x00)},
                          {"ones", bytes(size, 0xFF)}};
    for (const auto& r : rows) {
        for (bool every_byte : {false, true}) {
            auto found = qv::test::scan_memory(r.image, every_byte);
            EXPECT_TRUE(found.empty()) << r.what << (every_byte ? " every byte" : "");
            expect_within(r.image, found);
        }
    }
}

void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * (3 - i)));
}
void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Headers whose size fields point far past the end of any device.
std::vector<std::pair<const char*, std::function<void(uint8_t*)>>> absurd_headers() {
    return {
        {"bmp", [](uint8_t* p) {
             std::memcpy(p, "BM", 2);
             put_le32(p + 2, 0xFFFFFFFF);
             put_le32(p + 10, 54);
             put_le32(p + 14, 40);
             put_le32(p + 18, 1);
             put_le32(p + 22, 1);
             p[26] = 1, p[27] = 0, p[28] = 24, p[29] = 0;
             put_le32(p + 30, 0);
         }},
        {"png", [](uint8_t* p) {
             const uint8_t sig[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
             std::memcpy(p, sig, 8);
             put_be32(p + 8, 13);
             std::memcpy(p + 12, "IHDR", 4);
             std::memset(p + 16, 1, 13);
             put_be32(p + 29, uint32_t(crc32(0, p + 12, 17)));
             put_be32(p + 33, 0x7FFFFFFF);
             std::memcpy(p + 37, "IDAT", 4);
         }},
        {"wav", [](uint8_t* p) {
             std::memcpy(p, "RIFF\xFF\xFF\xFF\xFFWAVEfmt \x10\0\0\0", 20);
         }},
        {"sqlite", [](uint8_t* p) {
             std::memcpy(p, "SQLite format 3\0", 16);
             p[16] = 0x10, p[17] = 0, p[18] = 1, p[19] = 1, p[20] = 0, p[21] = 64, p[22] = 32, p[23] = 32;
             put_be32(p + 24, 1);
             put_be32(p + 28, 0xFFFFFFFF);
             put_be32(p + 92, 1);
         }},
        {"7z", [](uint8_t* p) {
             const uint8_t sig[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
             std::memcpy(p, sig, 8);
             put_le64(p + 12, uint64_t(1) << 62);
             put_le64(p + 20, 100);
             put_le32(p + 28, 0);
             put_le32(p + 8, uint32_t(crc32(0, p + 12, 20)));
         }},
        {"zip", [](uint8_t* p) {
             std::memcpy(p, "PK\3\4\x14\0\0\0\x08\0", 10);
             put_le32(p + 18, 0xFFFFFFF0);
             put_le32(p + 22, 0xFFFFFFF0);
             p[26] = 1, p[27] = 0, p[28] = 0, p[29] = 0, p[30] = 'a';
         }},
        {"mp4", [](uint8_t* p) {
             std::memcpy(p, "\0\0\0\x10" "ftypisom\0\0\0\0" "\0\0\0\1mdat", 24);
             put_be32(p + 24, 0x7FFFFFFF);
             put_be32(p + 28, 0);
         }},
        {"elf", [](uint8_t* p) {
             const uint8_t id[] = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0};
             std::memcpy(p, id, 8);
             p[16] = 2, p[20] = 1;
             put_le64(p + 40, uint64_t(1) << 63);
             p[52] = 64, p[58] = 64, p[60] = 0xFF, p[61] = 0xFF;
         }},
        {"exe", [](uint8_t* p) {
             std::memset(p, 0, 512);
             std::memcpy(p, "MZ", 2);
             put_le32(p + 0x3C, 0x40);
             std::memcpy(p + 0x40, "PE\0\0\x4c\x01\x01\0", 8);
             p[0x40 + 20] = 224;
             p[0x58] = 0x0B, p[0x59] = 0x01;
             uint8_t* sec = p + 0x58 + 224;
             put_le32(sec + 16, 0xFFFFFFFF);
             put_le32(sec + 20, 0x200);
         }},
        {"ole", [](uint8_t* p) {
             const uint8_t sig[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
             std::memcpy(p, sig, 8);
             p[0x1A] = 3, p[0x1C] = 0xFE, p[0x1D] = 0xFF, p[0x1E] = 9, p[0x20] = 6;
             put_le32(p + 0x2C, 0x7FFFFFFF);
         }},
        {"flac", [](uint8_t* p) { std::memcpy(p, "fLaC\0\0\0\x22", 8); p[8] = 0x10; p[10] = 0xFF; }},
        {"tif", [](uint8_t* p) { std::memcpy(p, "II*\0\xF0\xFF\xFF\xFF", 8); }},
        {"mp3", [](uint8_t* p) { std::memcpy(p, "ID3\3\0\0\x7F\x7F\x7F\x7F", 10); }},
        {"rar5", [](uint8_t* p) { std::memcpy(p, "Rar!\x1A\x07\x01\0\0\0\0\0\xFF\xFF\xFF\xFF\x7F", 17); }},
        {"gif", [](uint8_t* p) {
             std::memcpy(p, "GIF89a\1\0\1\0\0\0\0,\0\0\0\0\1\0\1\0\0\2", 24);
             std::memset(p + 24, 0xFF, 488);  // sub-blocks of 255 bytes running on
         }},
        {"ogg", [](uint8_t* p) {
             std::memcpy(p, "OggS\0\2", 6);
             p[26] = 255;
             std::memset(p + 27, 255, 255);
         }},
    };
}

TEST(SigscanHostile, AbsurdSizesAreDropped) {
    const size_t size = 4 << 20;
    bytes image = qv::test::pseudo_random_bytes(size, 11);
    auto headers = absurd_headers();
    size_t sector = 0;
    for (size_t round = 0; round < 8; ++round)
        for (auto& [name, write] : headers) write(&image[(sector++ * 7 + 3) * 512]);
    for (bool every_byte : {false, true}) {
        auto found = qv::test::scan_memory(image, every_byte);
        EXPECT_TRUE(found.empty()) << found.size() << " found, first: " << found.front().type;
        expect_within(image, found);
    }
    // The same headers at the very end of the device, cut short.
    for (auto& [name, write] : headers) {
        bytes tail(4096, 0);
        bytes block(1024, 0);
        write(block.data());
        std::copy(block.begin(), block.begin() + 100, tail.end() - 100);
        auto found = qv::test::scan_memory(tail, true);
        expect_within(tail, found);
        EXPECT_TRUE(found.empty()) << name;
    }
}

TEST(SigscanHostile, DevicesFullOfHeadersFinishQuickly) {
    // Every sector starts a candidate that never completes: each must be
    // dropped without reading the rest of the device again and again.
    const size_t size = 16 << 20;
    struct row {
        const char* header;
        size_t length;
        bool text;  // fill with printable text instead of random bytes
    };
    const row rows[] = {{"%PDF-1.4\n", 9, false},         {"BZh91AY&SY", 10, false},
                        {"\xFD" "7zXZ\0\0\x04\xE6\xD6\xB4\x46", 12, false},
                        {"<html><body>", 12, true},        {"{\\rtf1 {{{{", 11, true},
                        {"<?xml version=\"1.0\"?><a>", 24, true},
                        {"\xFF\xD8\xFF\xE0\0\x10JFIF", 10, false}};
    for (const auto& r : rows) {
        bytes image = qv::test::pseudo_random_bytes(size, 13);
        if (r.text)
            for (auto& b : image) b = uint8_t('a' + b % 26);
        for (size_t s = 0; s < size; s += 512) std::memcpy(&image[s], r.header, r.length);
        auto begin = std::chrono::steady_clock::now();
        auto found = qv::test::scan_memory(image, false);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        expect_within(image, found);
        EXPECT_TRUE(found.empty()) << r.header;
        std::string shown;
        for (size_t i = 0; i < r.length; ++i) shown += r.header[i] >= 0x20 && r.header[i] < 0x7F ? r.header[i] : '.';
        std::cerr << "header spam \"" << shown << "\": " << seconds << " s\n";
    }
}

}  // namespace
