// Lost-partition search speed on a generated sparse image, next to dd
// reading the same image. Usage: partition_bench [size_in_MiB] (default 2048).

#include <sys/wait.h>
#include <unistd.h>

#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devices/le_bytes.hpp"
#include "partition/partition_repair.hpp"

namespace {

constexpr uint64_t sector = 512;

void write_at(std::fstream& f, uint64_t offset, const std::vector<uint8_t>& bytes) {
    f.seekp(std::streamoff(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ntfs_boot(uint64_t total_sectors) {
    std::vector<uint8_t> s(sector);
    std::copy_n("\xEB\x52\x90NTFS    ", 11, s.data());
    qv::put_le64(s.data() + 0x28, total_sectors);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<uint8_t> fat32_boot(uint32_t total_sectors) {
    std::vector<uint8_t> s(2 * sector);
    std::copy_n("\xEB\x58\x90MSWIN4.1", 11, s.data());
    qv::put_le32(s.data() + 0x20, total_sectors);
    s[510] = s[1022] = 0x55;
    s[511] = s[1023] = 0xAA;
    return s;
}

// A sparse image of `bytes` with partitions over about a quarter of it when
// `with_partitions`, so the search both scans and skips.
void make_image(const std::string& path, uint64_t bytes, bool with_partitions) {
    { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(path, bytes);
    if (!with_partitions) return;
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    const uint64_t sectors = bytes / sector;
    const uint64_t part = sectors / 12;
    // At MiB boundaries, where partitioning tools put them.
    const uint64_t third = sectors / 3 / 2048 * 2048;
    write_at(f, 2048 * sector, ntfs_boot(part - 1));
    write_at(f, third * sector, fat32_boot(uint32_t(part)));
    write_at(f, 2 * third * sector, ntfs_boot(part - 1));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double time_search(const std::string& path, qv::partition::search_reach reach, qsizetype* found) {
    partition_repair_c repair;
    repair.set_reach(reach);
    drive_item_s drive;
    drive.name = QString::fromStdString(path);
    drive.size = int64_t(std::filesystem::file_size(path));
    drive.geometry = qv::disk_geometry{};
    repair.set_drive(drive);
    auto start = std::chrono::steady_clock::now();
    repair.search();
    double s = seconds_since(start);
    *found = repair.partition_count();
    return s;
}

double time_dd(const std::string& path) {
    std::string cmd = "dd if='" + path + "' of=/dev/null bs=1M status=none";
    auto start = std::chrono::steady_clock::now();
    int rc = std::system(cmd.c_str());
    double s = seconds_since(start);
    return rc == 0 ? s : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
    const uint64_t bytes = (mib ? mib : 2048) << 20;
    char tmpl[] = "/tmp/quorvane-partition-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;

    std::printf("lost-partition search on a %llu MiB sparse image (MB/s = drive bytes / time)\n",
                static_cast<unsigned long long>(bytes >> 20));
    for (bool with_partitions : {true, false}) {
        const std::string path = dir + (with_partitions ? "/parts.img" : "/empty.img");
        make_image(path, bytes, with_partitions);
        using qv::partition::search_reach;
        qsizetype found = 0;
        time_search(path, search_reach::likely_places, &found);  // warm-up
        double best_likely = 1e9, best_every = 1e9, best_dd = 1e9;
        qsizetype found_likely = 0, found_every = 0;
        for (int i = 0; i < 3; ++i) {
            best_likely = std::min(best_likely, time_search(path, search_reach::likely_places, &found_likely));
            best_every = std::min(best_every, time_search(path, search_reach::every_sector, &found_every));
            double d = time_dd(path);
            if (d > 0) best_dd = std::min(best_dd, d);
        }
        const double mb = double(bytes) / 1e6;
        std::printf("  %-16s likely places %9.1f MB/s (%.3f s, %lld found)   every sector %8.1f MB/s (%.3f s, %lld "
                    "found)   dd bs=1M %8.1f MB/s (%.3f s)\n",
                    with_partitions ? "3 partitions:" : "no partitions:", mb / best_likely, best_likely,
                    static_cast<long long>(found_likely), mb / best_every, best_every,
                    static_cast<long long>(found_every), mb / best_dd, best_dd);
        std::filesystem::remove(path);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
