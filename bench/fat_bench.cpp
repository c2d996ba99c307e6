// FAT engine speed: a FAT32 image with 50,000 directory entries scanned from
// the page cache (against sleuthkit's fls when installed), and a 200 MB
// deleted file recovered (against dd reading the same image).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/engine/fat_scan.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/support/test_support.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Best of a few runs of a shell command, in seconds; negative when it failed.
double time_command(const std::string& command, int runs = 3) {
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        auto t = clock_type::now();
        if (std::system(command.c_str()) != 0) return -1;
        double s = seconds_since(t);
        if (best < 0 || s < best) best = s;
    }
    return best;
}

void scan_benchmark(const std::string& dir) {
    constexpr uint32_t folders = 200, per_folder = 250;
    qv::test::fat_builder b(32, 80000);
    b.chain_folder(b.root_cluster(), 3000);  // room for 48,000 entries in the root
    for (uint32_t f = 0; f < folders; ++f) {
        uint32_t first = 4000 + f * 4;  // 4 clusters of 512 bytes: 64 entries each; past the root's chain
        b.chain_folder(first, 4);
        b.add_entry(0, "DIR" + std::to_string(1000 + f) + "    ", 0x10, first, 0, false);
        for (uint32_t i = 0; i < per_folder && i < 63; ++i) {
            bool deleted = i % 10 == 0;
            b.add_entry(first, "F" + std::to_string(1000000 + f * per_folder + i) + "TXT", 0x20,
                        2000 + f * per_folder + i, 100, deleted);
        }
    }
    // More entries in the root to reach 50,000.
    uint32_t total = folders * 63 + folders;
    for (uint32_t i = 0; total < 50000; ++i, ++total)
        b.add_entry(0, "R" + std::to_string(1000000 + i) + "DAT", 0x20, 70000 + i % 9001, 100, i % 8 == 0);
    std::string img = dir + "/entries.img";
    b.save(img);

    long rss_before = peak_rss_kib();
    long rss_after = 0;
    double best = 1e9;
    uint64_t entries = 0, items = 0;
    for (int run = 0; run < 5; ++run) {
        auto t = clock_type::now();
        auto engine = qv::test::scan_fat_volume(img);
        double s = seconds_since(t);
        if (run == 0) rss_after = peak_rss_kib();
        best = std::min(best, s);
        entries = engine->entries_read();
        items = engine->items_found();
    }
    std::printf("FAT scan: %llu entries, %llu items filed, best of 5: %.3f s, %.0f entries/s\n",
                (unsigned long long)entries, (unsigned long long)items, best, double(entries) / best);
    std::printf("FAT scan: peak memory grew by %ld KiB, %.0f bytes per filed item (item record %zu bytes)\n",
                rss_after - rss_before, double(rss_after - rss_before) * 1024.0 / double(items ? items : 1),
                sizeof(fat_item_s));
    if (qv::test::have_tool("fls")) {
        double fls = time_command("fls -r -d " + qv::test::shell_quote(img) + " >/dev/null 2>&1");
        if (fls > 0)
            std::printf("fls -r -d: %.3f s, %.0f entries/s; Quorvane is %.1f times faster\n", fls,
                        double(entries) / fls, fls / best);
        else
            std::printf("fls -r -d failed on this image\n");
    }
}

void recovery_benchmark(const std::string& dir) {
    constexpr uint32_t file_bytes = 200u * 1000 * 1000;
    constexpr uint8_t spc = 8;  // 4 KiB clusters
    uint32_t clusters = file_bytes / (512 * spc) + 70000;
    qv::test::fat_builder b(32, clusters, spc);
    auto chunk = qv::test::pseudo_random_bytes(1 << 20, 1);
    for (uint32_t off = 0; off < file_bytes; off += uint32_t(chunk.size()))
        b.write_cluster(10, chunk, off);
    b.add_entry(0, "BIG     BIN", 0x20, 10, file_bytes, true);
    std::string img = dir + "/big.img";
    b.save(img);

    auto engine = qv::test::scan_fat_volume(img);
    std::string out = dir + "/big.out";
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        std::filesystem::remove(out);
        auto t = clock_type::now();
        if (engine->recover_file(10, QString::fromStdString(out)) != 0) {
            std::printf("recovery failed\n");
            return;
        }
        best = std::min(best, seconds_since(t));
    }
    double mb = file_bytes / 1e6;
    std::printf("FAT recovery: 200 MB into a file in %.3f s, %.0f MB/s\n", best, mb / best);
    double read_best = 1e9;
    for (int run = 0; run < 3; ++run) {
        auto t = clock_type::now();
        engine->recover_file(10, "/dev/null");
        read_best = std::min(read_best, seconds_since(t));
    }
    std::printf("FAT recovery: 200 MB into /dev/null (the reading side) in %.3f s, %.0f MB/s\n", read_best,
                mb / read_best);
    double dd = time_command("dd if=" + qv::test::shell_quote(img) + " of=/dev/null bs=1M status=none");
    double image_mb = double(std::filesystem::file_size(img)) / 1e6;
    if (dd > 0) std::printf("dd of the %.0f MB image: %.0f MB/s; recovery runs at %.0f%% of it\n", image_mb,
                            image_mb / dd, 100.0 * (mb / best) / (image_mb / dd));
    double cp = time_command("dd if=" + qv::test::shell_quote(img) + " of=" + qv::test::shell_quote(out) +
                             " bs=1M count=200 status=none");
    if (cp > 0) std::printf("dd copying 200 MB of the image to a file: %.0f MB/s\n", 200 * 1.048576 / cp);
}

}  // namespace

int main() {
    qv::test::temp_dir dir;
    setenv("TZ", "UTC", 1);
    scan_benchmark(dir.path().string());
    recovery_benchmark(dir.path().string());
    return 0;
}
