// quorvane-fuzz-seeds DIR: writes a seed corpus for every fuzz target into
// DIR/<target>/, made now from real tools (mkfs.fat, mtools, mkntfs and the
// ntfs-3g mount, sfdisk) and from the carving tests' sample files, so no
// binary image is kept in the repository. Missing tools leave their seeds out.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devices/le_bytes.hpp"
#include "engine/scan_result_file.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/exfat/exfat_test_image.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"
#include "tests/sigscan/camera_samples.hpp"
#include "tests/sigscan/sample_files.hpp"
#include "tests/support/disk_images.hpp"
#include "tests/support/test_support.hpp"

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;
using namespace qv::test;

namespace {

// Seeds larger than this are cut: the fuzzer mutates small inputs far faster.
constexpr size_t max_seed = 4u << 20;

std::string out_dir;
int written = 0;

void seed(const std::string& target, const std::string& name, bytes b) {
    if (b.empty()) return;
    if (b.size() > max_seed) b.resize(max_seed);
    fs::create_directories(out_dir + "/" + target);
    write_file(out_dir + "/" + target + "/" + name, b);
    ++written;
}

bytes text_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

bool sh(const std::string& command) {
    std::string out;
    if (run(command, &out) == 0) return true;
    std::fprintf(stderr, "seeds: %s failed: %s\n", command.c_str(), out.c_str());
    return false;
}

// FAT12/16 images built byte by byte, with live and deleted files and folders,
// and the first part of a FAT32 volume (its data area cut short).
void fat_built() {
    for (int bits : {12, 16, 32}) {
        uint32_t clusters = bits == 12 ? 300 : bits == 16 ? 4200 : 66000;
        fat_builder b(bits, clusters, 1, bits == 32 ? 0 : 64);
        uint32_t root = bits == 32 ? b.root_cluster() : 0;
        uint32_t c = bits == 32 ? 3 : 2;
        uint32_t dir = c++;
        b.set_fat(dir, b.end_of_chain());
        b.add_entry(root, "FOLDER     ", 0x10, dir, 0, false);
        b.add_entry(root, "OLDDIR     ", 0x10, c, 0, true);
        uint32_t olddir = c++;
        for (int i = 0; i < 6; ++i) {
            uint32_t file = c;
            std::string name = "FILE" + std::to_string(i) + "   TXT";
            b.write_cluster(file, pseudo_random_bytes(700, uint32_t(i)));
            b.add_entry(i % 2 ? dir : root, name, 0x20, file, 700, i % 3 == 0);
            b.add_entry(olddir, "SUB" + std::to_string(i) + "    BIN", 0x20, file + 1, 300, false);
            if (i % 3 != 0) {
                b.set_fat(file, file + 1);
                b.set_fat(file + 1, b.end_of_chain());
            }
            c += 2;
        }
        bytes image = b.bytes();
        if (bits == 32) image.resize(size_t(b.data_start() + 64) * 512);
        seed("fat_volume", "built-fat" + std::to_string(bits), image);
    }
}

// Undelete cases on a FAT16 volume built byte by byte: a run of 25 deleted
// long-name entries of one checksum before a deleted entry, a full deleted
// folder followed by random bytes, one followed by live data, and a folder
// whose chain loops.
void fat_undelete_built() {
    fat_builder b(16, 4200, 1, 64);
    uint8_t sum = 0;
    for (char ch : std::string("LONGRU~1TXT")) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + uint8_t(ch));
    for (uint32_t i = 0; i < 25; ++i) {
        b.add_entry(0, "LLLLLLLLLLL", 0x0F, 0, 0, true);
        b.entry_at(0, i)[13] = sum;
    }
    b.add_entry(0, "LONGRU~1TXT", 0x20, 40, 100, true);
    b.add_entry(0, "RANDOM     ", 0x10, 50, 0, true);
    for (uint32_t i = 0; i < 16; ++i) b.add_entry(50, "R" + std::to_string(100 + i) + "    BIN", 0x20, 60 + i, 10, true);
    b.write_cluster(51, pseudo_random_bytes(512, 7));
    b.add_entry(0, "SPREAD     ", 0x10, 80, 0, true);
    for (uint32_t i = 0; i < 16; ++i) b.add_entry(80, "S" + std::to_string(100 + i) + "    BIN", 0x20, 90 + i, 10, true);
    b.set_fat(81, b.end_of_chain());  // live data right after the first cluster
    b.set_fat(120, 121);
    b.set_fat(121, 120);
    b.add_entry(0, "LOOP       ", 0x10, 120, 0, false);
    seed("fat_volume", "built-undelete", b.bytes());
}

// Volumes made by mkfs.fat and filled and partly emptied with mtools.
void fat_tools(const temp_dir& work) {
    if (!have_tool("mkfs.fat") || !have_tool("mcopy")) return;
    for (int bits : {12, 16}) {
        std::string img = work / ("fat" + std::to_string(bits) + ".img");
        std::string kib = bits == 12 ? "512" : "4200";
        std::string a = shell_quote(img);
        if (!sh("mkfs.fat -C -F " + std::to_string(bits) + " -s 1 " + a + " " + kib)) continue;
        write_file(work / "a.txt", pseudo_random_bytes(1500, 1));
        write_file(work / "long file name.dat", pseudo_random_bytes(3000, 2));
        bool ok = sh("mmd -i " + a + " ::/dir ::/dir/deep ::/gone") &&
                  sh("mcopy -i " + a + " " + shell_quote(work / "a.txt") + " " +
                     shell_quote(work / "long file name.dat") + " ::/dir/") &&
                  sh("mcopy -i " + a + " " + shell_quote(work / "a.txt") + " ::/gone/x.txt") &&
                  sh("mcopy -i " + a + " " + shell_quote(work / "long file name.dat") + " ::/") &&
                  sh("mdel -i " + a + " ::/dir/a.txt ::/gone/x.txt") && sh("mrd -i " + a + " ::/gone");
        if (ok) seed("fat_volume", "mkfs-fat" + std::to_string(bits), read_file(img));
    }
}

// A small NTFS volume with live and deleted files and folders.
bytes ntfs_image(const temp_dir& work) {
    std::string img = work / "ntfs.img";
    std::string why;
    if (!make_ntfs_image(img, 2u << 20, &why, "-c 512")) {
        std::fprintf(stderr, "seeds: %s\n", why.c_str());
        return {};
    }
    ntfs_mount m;
    if (m.mount(img, work / "mnt", &why)) {
        fs::create_directories(m / "dir/sub");
        fs::create_directories(m / "gone");
        write_file(m / "small.txt", text_bytes("resident"));
        write_file(m / "dir/big.bin", pseudo_random_bytes(20000, 3));
        write_file(m / "dir/sub/gone.bin", pseudo_random_bytes(9000, 4));
        write_file(m / "gone/x.txt", text_bytes("soon gone"));
        fs::remove(m / "dir/sub/gone.bin");
        fs::remove_all(m / "gone");
        m.unmount();
    } else {
        std::fprintf(stderr, "seeds: %s (an empty NTFS volume only)\n", why.c_str());
    }
    return read_file(img);
}

void ntfs_seeds(const temp_dir& work) {
    bytes image = ntfs_image(work);
    seed("ntfs_volume", "mkntfs", image);
    if (!image.empty()) {
        // The MFT's first records as the record target reads them: the size byte, then records.
        ntfs_facts f = read_facts(image);
        if (f.record_size >= 512 && f.mft_offset < image.size()) {
            bytes records{uint8_t(f.record_size == 1024 ? 1 : 0)};
            size_t n = std::min<size_t>(48 * f.record_size, image.size() - f.mft_offset);
            records.insert(records.end(), image.begin() + long(f.mft_offset), image.begin() + long(f.mft_offset + n));
            seed("ntfs_record", "mft-start", records);
            for (size_t r : {0, 5, 40}) {
                if ((r + 1) * f.record_size > n) continue;
                bytes one{1};
                auto at = image.begin() + long(f.mft_offset + r * f.record_size);
                one.insert(one.end(), at, at + f.record_size);
                seed("ntfs_record", "record-" + std::to_string(r), one);
            }
        }
    }
    // A base record whose $ATTRIBUTE_LIST sends $DATA to an extension record,
    // with a non-resident runlist, then clusters for the runs to point at.
    bytes runs = {0x21, 0x04, 0x08, 0x00, 0x01, 0x02, 0x00};
    bytes list;
    for (auto& e : {list_entry(0x10, 0, 0, 0), list_entry(0x30, 0, 0, 1), list_entry(0x80, 0, 1, 2)})
        list.insert(list.end(), e.begin(), e.end());
    bytes base = build_record(1024, 0, 1, 0,
                              {standard_information(filetime(1600000000), filetime(1600000100)),
                               file_name(5, u"listed.bin"), resident_attribute(0x20, list, 3)});
    bytes ext = build_record(1024, 1, 1, 0,
                             {non_resident_attribute(0x80, runs, 0, 5, 3072, 3000, 3000, 2)});
    bytes input{1};
    input.insert(input.end(), base.begin(), base.end());
    input.insert(input.end(), ext.begin(), ext.end());
    bytes filler = pseudo_random_bytes(8 * 512, 5);
    input.insert(input.end(), filler.begin(), filler.end());
    seed("ntfs_record", "attribute-list", input);
}

// A small exFAT volume (512-byte clusters, regions aligned to 4 KiB) with live
// and deleted files and folders, whole, cut after its first clusters, and
// with its main boot region damaged.
void exfat_seeds(const temp_dir& work) {
    std::string img = work / "exfat.img";
    if (!have_tool("mkfs.exfat") || !sh("truncate -s 4M " + shell_quote(img)) ||
        !sh("mkfs.exfat -c 512 -b 4096 " + shell_quote(img)))
        return;
    std::string why;
    exfat_mount m;
    if (m.mount(img, work / "exfat-mnt", &why)) {
        fs::create_directories(m / "photos/old");
        write_file(m / "keep.txt", pseudo_random_bytes(700, 1));
        for (int i = 0; i < 8; ++i)
            write_file(m / ("photos/old/p" + std::to_string(i) + ".jpg"), pseudo_random_bytes(900 + 300 * size_t(i), uint32_t(i)));
        write_file(m / "photos/gone.bin", pseudo_random_bytes(3000, 9));
        fs::remove(m / "photos/gone.bin");
        fs::remove_all(m / "photos/old");
        m.unmount();
    } else {
        std::fprintf(stderr, "seeds: %s (an empty exFAT volume only)\n", why.c_str());
    }
    bytes image = read_file(img);
    seed("exfat_volume", "mkfs-exfat", image);
    if (image.size() > (256u << 10)) {
        bytes head(image.begin(), image.begin() + (256 << 10));
        seed("exfat_volume", "head", head);
        head[3] = 'X';  // the main boot sector is no exFAT one: the backup is read
        seed("exfat_volume", "backup-boot", head);
    }
}

// Small ext4 and ext2 volumes made by mkfs from a folder (a journal, a folder, a sparse
// file with an extent index), whole and cut after their first blocks.
void ext4_seeds(const temp_dir& work) {
    if (!have_tool("mkfs.ext4")) return;
    const std::string src = work / "ext4-src";
    fs::create_directories(src + "/sub");
    write_file(src + "/a.txt", pseudo_random_bytes(300, 1));
    write_file(src + "/sub/b.bin", pseudo_random_bytes(20000, 2));
    const std::string sparse = src + "/holes.bin";
    for (int i = 0; i < 6; ++i) sh("dd if=/dev/urandom of=" + shell_quote(sparse) + " bs=1024 count=1 conv=notrunc seek=" +
                                   std::to_string(i * 16) + " status=none");
    for (const char* kind : {"ext4", "ext2"}) {
        const std::string img = work / (std::string(kind) + ".img");
        if (!sh("truncate -s 4M " + shell_quote(img)) ||
            !sh(std::string("mkfs.") + kind + " -q -F -b 1024 -d " + shell_quote(src) + " " + shell_quote(img)))
            continue;
        bytes image = read_file(img);
        seed("ext4_volume", std::string("mkfs-") + kind, image);
        bytes head(image.begin(), image.begin() + std::min<size_t>(image.size(), 96 << 10));
        seed("ext4_volume", std::string("head-") + kind, head);
    }
}

// Sample files of every carved type laid into images, cut into pieces.
void carve_seeds(const temp_dir& work) {
    auto samples = all_samples(work.path().string());
    for (auto& d : camera_samples(work.path().string())) samples.push_back(std::move(d.file));
    size_t piece = 0;
    for (bool aligned : {true, false}) {
        laid_image laid = lay_out(samples, aligned ? 7u : 8u, aligned);
        bytes& image = laid.image;
        // The first byte picks the scan mode: sector starts (even) or every byte (odd).
        image[0] = aligned ? 0x06 : 0x07;
        for (size_t at = 0; at < image.size(); at += 256 * 1024) {
            size_t n = std::min<size_t>(256 * 1024, image.size() - at);
            bytes b(image.begin() + long(at), image.begin() + long(at + n));
            b[0] = image[0];
            seed("signature_scan", "laid-" + std::to_string(piece++), b);
        }
    }
    for (const auto& s : samples) {
        bytes b{0x01};
        b.insert(b.end(), s.data.begin(), s.data.begin() + long(std::min<size_t>(s.data.size(), 64 * 1024)));
        seed("signature_scan", "sample-" + s.type + "-" + std::to_string(piece++), b);
    }
}

void result_seeds(const temp_dir& work) {
    std::vector<raw_item_s> records;
    const char* types[] = {"jpg", "docx", "mp3", "zip", "sqlite", "a_b+c-9x"};
    for (uint64_t i = 0; i < 6; ++i) {
        raw_item_s r;
        r.index = i;
        r.offset = 4096 * (i + 1);
        r.size = 1000 + i;
        std::memcpy(r.type, types[i], std::min<size_t>(8, std::strlen(types[i])));
        records.push_back(r);
    }
    std::string file = work / "result.sav";
    if (qv::write_scan_result(file, "/tmp/card.img#1", records) == 0) seed("scan_result", "six", read_file(file));
}

void text_seeds(const std::string& source_dir) {
    seed("language_file", "language.ini", read_file(source_dir + "/resources/language.ini"));
    seed("language_file", "small",
         text_bytes("[English]\nok = \"OK\"\n; comment = \"x\"\ntab = \"a\\tb\\nc\"\n[Deutsch]\nok = \"Gut\"\n"));
    seed("signature_config", "Quorvane.conf", read_file(source_dir + "/resources/Quorvane.conf"));
    seed("signature_config", "small",
         text_bytes("[x]\nheader = FF ?? \"ab\\\"c\"\nfooter = 00 01\nmax = 4K\nrule = footer\n"));
}

// Boot sectors the partition search recognises, at odd places of a drive.
void search_seeds() {
    bytes drive(1200 * 512, 0);
    auto boot = [&](size_t sector, const char* oem, bool ntfs, uint64_t sectors) {
        uint8_t* p = drive.data() + sector * 512;
        std::memcpy(p + 3, oem, std::strlen(oem));
        if (ntfs) qv::put_le64(p + 0x28, sectors - 1);
        else qv::put_le32(p + 0x20, uint32_t(sectors));
        p[510] = 0x55;
        p[511] = 0xAA;
        if (!ntfs) {
            p[512 + 510] = 0x55;
            p[512 + 511] = 0xAA;
        }
    };
    boot(63, "NTFS    ", true, 200);
    boot(300, "MSWIN4.1", false, 100);
    boot(700, "MSDOS5.0", false, 1);
    boot(900, "NTFS    ", true, 1ull << 40);
    seed("partition_search", "boots", drive);
}

void partition_seeds(const temp_dir& work) {
    if (!have_tool("sfdisk")) return;
    struct layout {
        const char* name;
        const char* script;
    };
    const layout layouts[] = {
        {"mbr", "label: dos\nstart=64, size=1000, type=c\nstart=1100, size=800, type=7\n"},
        {"extended", "label: dos\nstart=64, size=300, type=c\nstart=400, size=1500, type=5\n"
                     "start=464, size=300, type=83\nstart=800, size=300, type=c\n"},
        {"gpt", "label: gpt\nfirst-lba: 34\nstart=40, size=900, type=L\nstart=1000, size=900, type=L\n"},
    };
    for (const auto& l : layouts) {
        std::string img = work / (std::string(l.name) + ".img");
        if (!make_blank_image(img, 1) || !write_partition_table(img, l.script)) continue;
        if (have_tool("mkfs.fat")) format_fat_at(img, 64, 256, 12, "PART");
        seed("image_partitions", l.name, read_file(img));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR SOURCE_DIR\n", argv[0]);
        return 2;
    }
    out_dir = argv[1];
    temp_dir work;
    fat_built();
    fat_undelete_built();
    fat_tools(work);
    ntfs_seeds(work);
    exfat_seeds(work);
    ext4_seeds(work);
    carve_seeds(work);
    result_seeds(work);
    text_seeds(argv[2]);
    search_seeds();
    partition_seeds(work);
    for (const auto& t : qv::fuzz::all_targets()) {
        if (!fs::exists(out_dir + "/" + t.name)) std::fprintf(stderr, "seeds: none for %s\n", t.name);
    }
    std::fprintf(stderr, "seeds: %d files in %s\n", written, out_dir.c_str());
    return written > 0 ? 0 : 1;
}
