#include "cli/demo_image.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "devices/le_bytes.hpp"
#include "fat/fat_layout.hpp"
#include "fat/fat_table.hpp"

namespace qv::cli {

namespace {

namespace fat = qv::fat;

// A 1.44 MB floppy: 512-byte sectors, one sector per cluster.
constexpr uint32_t total_sectors = 2880;
constexpr uint32_t sectors_per_fat = 9;
constexpr uint32_t root_entries = 224;
constexpr uint32_t fat_start = 1;
constexpr uint32_t root_start = fat_start + 2 * sectors_per_fat;
constexpr uint32_t data_start = root_start + root_entries * 32 / 512;
constexpr uint16_t demo_date = (46 << 9) | (1 << 5) | 15;  // 2026-01-15
constexpr uint16_t demo_time = (10 << 11) | (30 << 5);     // 10:30:00

class image_writer {
public:
    image_writer() : bytes_(size_t(total_sectors) * 512, 0) {}

    void boot_sector() {
        uint8_t* b = bytes_.data();
        const uint8_t jump[3] = {0xEB, 0x3C, 0x90};
        std::memcpy(b, jump, 3);
        std::memcpy(b + fat::bpb_oem_name, "QVDEMO  ", 8);
        qv::put_le16(b + fat::bpb_bytes_per_sector, 512);
        b[fat::bpb_sectors_per_cluster] = 1;
        qv::put_le16(b + fat::bpb_reserved_sectors, 1);
        b[fat::bpb_fat_count] = 2;
        qv::put_le16(b + fat::bpb_root_entries, root_entries);
        qv::put_le16(b + fat::bpb_total_sectors16, total_sectors);
        b[fat::bpb_media] = 0xF0;
        qv::put_le16(b + fat::bpb_sectors_per_fat16, sectors_per_fat);
        qv::put_le16(b + 24, 18);
        qv::put_le16(b + 26, 2);
        b[38] = 0x29;
        qv::put_le32(b + 39, 0x51564D4F);
        std::memcpy(b + 43, "QV DEMO    ", 11);
        std::memcpy(b + fat::bs_fs_type16, "FAT12   ", 8);
        qv::put_le16(b + fat::bs_signature, fat::boot_signature);
        set_fat(0, 0xFF0);
        set_fat(1, 0xFFF);
    }

    // Writes content into fresh clusters; returns the first (0 for no content).
    uint32_t store(const std::vector<uint8_t>& content, bool chain) {
        if (content.empty()) return 0;
        uint32_t clusters = uint32_t((content.size() + 511) / 512);
        uint32_t first = next_cluster_;
        for (uint32_t i = 0; i < clusters; ++i) {
            uint32_t c = first + i;
            size_t off = size_t(i) * 512;
            std::memcpy(sector(data_start + c - 2), content.data() + off,
                        std::min<size_t>(512, content.size() - off));
            if (chain) set_fat(c, i + 1 == clusters ? 0xFFF : c + 1);
        }
        next_cluster_ += clusters;
        return first;
    }

    // Adds a directory entry to the root (dir_cluster 0) or a one-cluster folder.
    void entry(uint32_t dir_cluster, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size,
               bool deleted) {
        uint8_t* base = dir_cluster == 0 ? sector(root_start) : sector(data_start + dir_cluster - 2);
        size_t limit = dir_cluster == 0 ? root_entries : 16;
        for (size_t i = 0; i < limit; ++i) {
            uint8_t* e = base + i * 32;
            if (e[0] != 0) continue;
            std::memcpy(e, name11, 11);
            if (deleted) e[0] = 0xE5;
            e[11] = attr;
            qv::put_le16(e + 14, demo_time);
            qv::put_le16(e + 16, demo_date);
            qv::put_le16(e + 18, demo_date);
            qv::put_le16(e + 22, demo_time);
            qv::put_le16(e + 24, demo_date);
            qv::put_le16(e + 26, uint16_t(cluster));
            qv::put_le32(e + 28, size);
            return;
        }
    }

    void copy_fat() {
        std::memcpy(sector(fat_start + sectors_per_fat), sector(fat_start), sectors_per_fat * 512);
    }
    bool save(const std::string& path) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes_.data()), std::streamsize(bytes_.size()));
        return bool(out);
    }

private:
    uint8_t* sector(uint32_t s) { return bytes_.data() + size_t(s) * 512; }
    void set_fat(uint32_t c, uint32_t value) { fat::put_fat12_entry(sector(fat_start), c, value); }
    std::vector<uint8_t> bytes_;
    uint32_t next_cluster_ = 2;
};

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

// A 64 x 48 24-bit bitmap with a sunset gradient.
std::vector<uint8_t> sunset_bitmap() {
    const int w = 64, h = 48, row = w * 3;
    std::vector<uint8_t> b(54 + size_t(row) * h, 0);
    b[0] = 'B';
    b[1] = 'M';
    qv::put_le32(&b[2], uint32_t(b.size()));
    qv::put_le32(&b[10], 54);
    qv::put_le32(&b[14], 40);
    qv::put_le32(&b[18], w);
    qv::put_le32(&b[22], h);
    qv::put_le16(&b[26], 1);
    qv::put_le16(&b[28], 24);
    qv::put_le32(&b[34], uint32_t(row * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &b[54 + size_t(y) * row + size_t(x) * 3];
            p[0] = uint8_t(40 + y * 3);         // blue rises towards the top
            p[1] = uint8_t(60 + y * 2 + x / 4);
            p[2] = uint8_t(250 - y);
        }
    return b;
}

}  // namespace

std::vector<demo_file> make_demo_fat_image(const std::string& path, std::string* error) {
    std::vector<demo_file> files = {
        {"/README.TXT", text("This file was never deleted, so recovery leaves it alone.\n"), false},
        {"/REPORT.TXT",
         text("Quarterly report\n================\nSales rose by 12 percent; the new shop opened in March.\n"),
         true},
        {"/BUDGET.CSV", text("item,amount\nrent,1200\npower,95\ninternet,40\nfood,430\n"), true},
        {"/PICS/SUNSET.BMP", sunset_bitmap(), true},
        {"/PICS/LIST.TXT", text("sunset.bmp - taken at the lake, 14 January\n"), true},
    };
    std::string poem;
    for (int i = 1; i <= 40; ++i) poem += "Line " + std::to_string(i) + " of a letter that spans several clusters.\n";
    files.push_back({"/LETTER.TXT", text(poem), true});

    image_writer img;
    img.boot_sector();
    uint32_t pics = img.store(std::vector<uint8_t>(512, 0), true);
    img.entry(0, "PICS       ", fat::attr_directory, pics, 0, false);
    img.entry(pics, ".          ", fat::attr_directory, pics, 0, false);
    img.entry(pics, "..         ", fat::attr_directory, 0, 0, false);
    for (const auto& f : files) {
        uint32_t cluster = img.store(f.content, !f.deleted);
        bool in_pics = f.path.rfind("/PICS/", 0) == 0;
        std::string leaf = f.path.substr(f.path.rfind('/') + 1);
        auto dot = leaf.find('.');
        char name11[12];
        std::snprintf(name11, sizeof name11, "%-8.8s%-3.3s", leaf.substr(0, dot).c_str(),
                      dot == std::string::npos ? "" : leaf.substr(dot + 1).c_str());
        img.entry(in_pics ? pics : 0, name11, fat::attr_archive, cluster, uint32_t(f.content.size()), f.deleted);
    }
    img.copy_fat();
    if (!img.save(path)) {
        if (error) *error = path + ": cannot write the demo image";
        return {};
    }
    return files;
}

}  // namespace qv::cli
