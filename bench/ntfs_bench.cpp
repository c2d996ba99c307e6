// NTFS MFT walk speed: a generated image with about 100,000 MFT records, read from the page cache.
// Built and run with: cmake --build build-ntfs --target ntfs_bench && build-ntfs/bin/ntfs_bench [image]
// (bench/CMakeLists.txt: add_executable(ntfs_bench ntfs_bench.cpp) linking qv_ntfsscan qv_engine Qt6::Core).
// The image is made once with mkntfs and the ntfs-3g mount and kept in the temporary folder.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/device_catalog.hpp"
#include "ntfsscan/ntfsscan.hpp"
#include "ui/ntfs_recovery.hpp"

using qv::ntfs_context_counter_a;
using qv::ntfs_context_counter_b;
using qv::ntfs_context_s;
using qv::ntfs_context_u32;
using qv::ntfs_record_s;

namespace fs = std::filesystem;
using seconds = std::chrono::duration<double>;

namespace {

constexpr int folders = 100;
constexpr int files_per_folder = 1000;

int shell(const std::string& command) { return std::system(command.c_str()); }

// Makes the image unless a finished one is already there.
bool make_image(const std::string& image) {
    if (fs::exists(image + ".done")) return true;
    std::printf("making %s (%d files through ntfs-3g; takes a while once)\n", image.c_str(),
                folders * files_per_folder);
    std::string mnt = image + ".mnt";
    fs::create_directories(mnt);
    if (shell("truncate -s 1G '" + image + "' && mkntfs -F -Q '" + image + "' >/dev/null 2>&1") != 0 ||
        shell("ntfs-3g '" + image + "' '" + mnt + "'") != 0)
        return false;
    for (int d = 0; d < folders; ++d) {
        std::string dir = mnt + "/d" + std::to_string(d);
        fs::create_directory(dir);
        for (int f = 0; f < files_per_folder; ++f) {
            int fd = ::open((dir + "/file" + std::to_string(f) + ".txt").c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0) return false;
            if (f % 4 == 0) (void)!::write(fd, "some content\n", 13);
            ::close(fd);
        }
    }
    // A fifth of the folders deleted, so the engine has plenty to keep.
    for (int d = 0; d < folders; d += 5) fs::remove_all(mnt + "/d" + std::to_string(d));
    shell("umount '" + mnt + "'");
    // ntfs-3g finishes writing after the unmount returns; wait until it has gone.
    for (int i = 0; i < 100 && shell("pgrep -f \"ntfs-3g '" + image + "'\" >/dev/null") == 0; ++i) usleep(100000);
    fs::remove(mnt);
    shell("touch '" + image + ".done'");
    return true;
}

struct walk_figures {
    double seconds = 0;
    uint64_t records = 0;    // MFT records examined
    uint64_t delivered = 0;  // file records handed out
};

walk_figures library_walk(const std::string& name) {
    walk_figures w;
    ntfs_context_s ctx{};
    auto t0 = std::chrono::steady_clock::now();
    if (ntfs_scan_startup(name.c_str(), &ctx) < 0) return w;
    ntfs_record_s item{};
    while (ntfs_scan_next(&ctx, &item)) {
        ++w.delivered;
        item = ntfs_record_s{};
    }
    w.seconds = seconds(std::chrono::steady_clock::now() - t0).count();
    w.records = ntfs_context_u32(ctx, ntfs_context_counter_a) + ntfs_context_u32(ctx, ntfs_context_counter_b);
    ntfs_scan_cleanup(&ctx);
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image = argc > 1 ? argv[1] : (fs::temp_directory_path() / "quorvane-ntfs-bench.img").string();
    if (argc <= 1 && !make_image(image)) {
        std::fprintf(stderr, "cannot make the image (mkntfs and a working ntfs-3g mount are needed)\n");
        return 1;
    }
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    int drive = catalog.open_image(image);
    if (drive < 0) return 1;
    std::string name = ntfs_recovery_c::device_name(drive, 0).toStdString();

    library_walk(name);  // into the page cache
    walk_figures best;
    for (int i = 0; i < 5; ++i) {
        walk_figures w = library_walk(name);
        if (best.seconds == 0 || w.seconds < best.seconds) best = w;
    }
    if (best.records == 0) {
        std::fprintf(stderr, "%s: not a readable NTFS volume\n", image.c_str());
        return 1;
    }
    std::printf("library walk: %llu MFT records (%llu delivered) in %.1f ms: %.0f records/s\n",
                (unsigned long long)best.records, (unsigned long long)best.delivered, best.seconds * 1e3,
                best.records / best.seconds);

    volume_item_s v;
    v.disk_number = drive;
    v.partition_number = 0;
    v.volume_name = v.device_name = QString::fromStdString(image);
    v.mount_path = "/";
    ntfs_recovery_c engine;
    double engine_best = 0;
    for (int i = 0; i < 3; ++i) {
        engine.reset();
        engine.set_volume(v);
        auto t0 = std::chrono::steady_clock::now();
        engine.start();
        engine.wait();
        // The scan is over for the user once the window can list what it found.
        (void)engine.found_items();
        double s = seconds(std::chrono::steady_clock::now() - t0).count();
        if (engine_best == 0 || s < engine_best) engine_best = s;
    }
    std::printf("engine scan to a listable result:  %llu records delivered, %llu kept, in %.1f ms: %.0f records/s\n",
                (unsigned long long)engine.entries_read(), (unsigned long long)engine.items_found(),
                engine_best * 1e3, best.records / engine_best);

    if (shell("command -v fls >/dev/null 2>&1") == 0) {
        auto t0 = std::chrono::steady_clock::now();
        shell("fls -r '" + image + "' >/dev/null 2>&1");
        double s = seconds(std::chrono::steady_clock::now() - t0).count();
        std::printf("fls -r:       %.1f ms (%.0f records/s)\n", s * 1e3, best.records / s);
    }
    return 0;
}
