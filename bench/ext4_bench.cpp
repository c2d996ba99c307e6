// ext4 scan and recovery speed: a sparse ext4 image with 100,000 files (10 % deleted by rm)
// scanned from the page cache against `fls -r -d`, memory per found item, and a 1 GB
// contiguous deleted file recovered against dd.
// Run: build/bin/ext4_bench [workdir] [scan-only|list] (scan-only: 20 scans and nothing else, for a profiler;
// list: every found item of one scan, one a line, to compare scans). The images are made once with mkfs.ext4 and the
// kernel's driver over a loop device (root), and kept in the work folder.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "devices/device_handle.hpp"
#include "ext4/ext4_scan.hpp"
#include "tests/ext4/ext4_test_image.hpp"

namespace fs = std::filesystem;
using seconds = std::chrono::duration<double>;

namespace {

constexpr int folders = 100;
constexpr int files_per_folder = 1000;
constexpr int big_mib = 1000;

double now() { return seconds(std::chrono::steady_clock::now().time_since_epoch()).count(); }

long rss_kib() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool make_images(const std::string& work, const std::string& many, const std::string& big) {
    std::string why;
    if (!fs::exists(many + ".done")) {
        std::printf("making %s (%d files through the kernel)\n", many.c_str(), folders * files_per_folder);
        if (!qv::test::make_ext_image(many, 2048, "mkfs.ext4 -b 4096", &why)) return false;
        qv::test::ext_mount m;
        if (!m.mount(many, work + "/many.mnt", "ext4", &why)) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return false;
        }
        const std::string content(200, 'x');
        for (int d = 0; d < folders; ++d) {
            const std::string dir = m / ("folder" + std::to_string(d));
            fs::create_directories(dir);
            for (int i = 0; i < files_per_folder; ++i) std::ofstream(dir + "/file" + std::to_string(i) + ".txt") << content;
        }
        std::system("sync");
        for (int d = 0; d < folders; ++d)
            for (int i = 0; i < files_per_folder; i += 10)
                fs::remove(m / ("folder" + std::to_string(d) + "/file" + std::to_string(i) + ".txt"));
        std::system("sync");
        m.unmount();
        std::ofstream(many + ".done") << "";
    }
    if (!fs::exists(big + ".done")) {
        std::printf("making %s (a %d MB file, deleted)\n", big.c_str(), big_mib);
        if (!qv::test::make_ext_image(big, big_mib + 300, "mkfs.ext4 -b 4096", &why)) return false;
        qv::test::ext_mount m;
        if (!m.mount(big, work + "/big.mnt", "ext4", &why)) return false;
        std::system(("dd if=/dev/urandom of=" + qv::test::shell_quote(m / "big.bin") + " bs=1M count=" +
                     std::to_string(big_mib) + " status=none && sync")
                        .c_str());
        fs::remove(m / "big.bin");
        std::system("sync");
        m.unmount();
        std::ofstream(big + ".done") << "";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string work = argc > 1 ? argv[1] : "/tmp/quorvane-ext4-bench";
    fs::create_directories(work);
    const std::string many = work + "/many.img", big = work + "/big.img";
    if (!make_images(work, many, big)) return 1;

    // Scan, best of 3, from the page cache (one read first warms it).
    std::string why;
    auto dev = qv::file_device::open(many, 0, 0, true, qv::access_mode::read_only, &why);
    if (!dev) return 1;
    if (argc > 2 && std::string(argv[2]) == "list") {  // every found item, one a line, to compare scans
        std::unique_ptr<qv::ext4::volume> vol;
        if (qv::ext4::volume::open(*dev, &vol) != 0) return 1;
        const qv::ext4::scan_result r = qv::ext4::scan(*vol, {});
        for (const qv::ext4::found_file& f : r.files) {
            std::printf("%llu %llu %s %llu %lld %lld %lld %lld %o d%d f%d l%d n%d x%d s%d q%u i%d %s |",
                        static_cast<unsigned long long>(f.id), static_cast<unsigned long long>(f.parent),
                        f.name.c_str(), static_cast<unsigned long long>(f.size), static_cast<long long>(f.mtime),
                        static_cast<long long>(f.atime), static_cast<long long>(f.ctime),
                        static_cast<long long>(f.crtime), f.mode, f.deleted, f.directory, f.symlink, f.named,
                        f.doubtful, int(f.state), f.sequence, f.is_inline, f.symlink_target.c_str());
            for (const auto& run : f.runs)
                std::printf(" %llu:%llu:%llu%s", static_cast<unsigned long long>(run.logical),
                            static_cast<unsigned long long>(run.physical), static_cast<unsigned long long>(run.count),
                            run.zero ? "z" : "");
            std::printf(" | %zu\n", f.inline_data.size());
        }
        std::printf("items %zu deleted %llu live %llu unnamed %llu entries %llu bad_checksums %llu bad_structures "
                    "%llu unreadable %llu journal copies %llu bad copy checksums %llu\n",
                    r.files.size(), static_cast<unsigned long long>(r.deleted),
                    static_cast<unsigned long long>(r.live), static_cast<unsigned long long>(r.unnamed),
                    static_cast<unsigned long long>(r.entries_read),
                    static_cast<unsigned long long>(r.problems.bad_checksums),
                    static_cast<unsigned long long>(r.problems.bad_structures),
                    static_cast<unsigned long long>(r.problems.unreadable_blocks),
                    static_cast<unsigned long long>(r.journal.copies),
                    static_cast<unsigned long long>(r.journal.bad_copy_checksums));
        return 0;
    }
    if (argc > 2 && std::string(argv[2]) == "scan-only") {  // for a profiler: the scan alone, 20 times
        for (int round = 0; round < 20; ++round) {
            std::unique_ptr<qv::ext4::volume> vol;
            if (qv::ext4::volume::open(*dev, &vol) != 0) return 1;
            qv::ext4::scan(*vol, {});
        }
        return 0;
    }
    std::system(("cat " + qv::test::shell_quote(many) + " > /dev/null").c_str());
    double best = 1e9;
    size_t items = 0, deleted = 0;
    uint64_t journal_copies = 0;
    long rss_growth = 0;
    for (int round = 0; round < 3; ++round) {
        const long before = rss_kib();
        const double t0 = now();
        std::unique_ptr<qv::ext4::volume> vol;
        if (qv::ext4::volume::open(*dev, &vol) != 0) return 1;
        qv::ext4::scan_result r = qv::ext4::scan(*vol, {});
        best = std::min(best, now() - t0);
        rss_growth = std::max(rss_growth, rss_kib() - before);
        items = r.files.size();
        journal_copies = r.journal.copies;
        deleted = r.deleted;
    }
    std::printf("scan: %zu items (%zu deleted) in %.3f s, best of 3: %.2f million items/s\n", items, deleted, best,
                items / best / 1e6);
    std::printf("journal: %llu block copies\n", static_cast<unsigned long long>(journal_copies));
    std::printf("memory: %ld KiB RSS growth over the first scan, %.0f bytes per item; record %zu bytes\n", rss_growth,
                rss_growth * 1024.0 / items, sizeof(qv::ext4::found_file));
    if (qv::test::have_tool("fls")) {
        const double t0 = now();
        std::system(("fls -r -d " + qv::test::shell_quote(many) + " > /dev/null 2>&1").c_str());
        const double t = now() - t0;
        std::printf("fls -r -d: %.3f s (the scan is %.1fx faster)\n", t, t / best);
    }

    // Recovery of the deleted 1 GB file into /dev/null and into a file, against dd.
    auto bdev = qv::file_device::open(big, 0, 0, true, qv::access_mode::read_only, &why);
    std::unique_ptr<qv::ext4::volume> bvol;
    if (!bdev || qv::ext4::volume::open(*bdev, &bvol) != 0) return 1;
    std::system(("cat " + qv::test::shell_quote(big) + " > /dev/null").c_str());
    qv::ext4::scan_result br = qv::ext4::scan(*bvol, {});
    const qv::ext4::found_file* f = nullptr;
    for (const auto& x : br.files)
        if (x.deleted && x.size >= uint64_t(big_mib) << 20) f = &x;
    if (!f) {
        std::printf("the deleted big file was not found\n");
        return 1;
    }
    uint64_t mapped = 0, zero = 0;
    for (const auto& run : f->runs) (run.zero ? zero : mapped) += run.count;
    std::printf("big file: %zu runs, %llu blocks mapped, %llu unwritten, state %d\n", f->runs.size(),
                static_cast<unsigned long long>(mapped), static_cast<unsigned long long>(zero), int(f->state));
    {
        const int fd = ::open("/dev/null", O_WRONLY);
        const double t0 = now();
        qv::ext4::copy_report rep = qv::ext4::copy_file(*bvol, *f, fd);
        const double t = now() - t0;
        ::close(fd);
        std::printf("recover %llu MB into /dev/null: %.0f MB/s (error %d)\n",
                    static_cast<unsigned long long>(f->size >> 20), (f->size >> 20) / t, int(rep.error));
    }
    // Into a file (fsync included) against dd of the same bytes, alternating, best of 3 each:
    // the first large write after the images were made pays for their writeback.
    double ours = 1e9, theirs = 1e9;
    const auto& first = f->runs.front();
    for (int round = 0; round < 3; ++round) {
        const std::string out = work + "/recovered.bin";
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        double t0 = now();
        qv::ext4::copy_report rep = qv::ext4::copy_file(*bvol, *f, fd);
        ::fsync(fd);
        const double mine = now() - t0;
        ours = std::min(ours, mine);
        ::close(fd);
        fs::remove(out);
        if (rep.error != qv::ext4::copy_error::none) std::printf("recovery error %d\n", int(rep.error));
        const uint64_t bs = bvol->super().block_size;
        t0 = now();
        std::system(("dd if=" + qv::test::shell_quote(big) + " of=" + qv::test::shell_quote(work + "/dd.bin") +
                     " bs=1M iflag=skip_bytes skip=" + std::to_string(first.physical * bs) +
                     " count=" + std::to_string(big_mib) + " conv=fsync status=none")
                        .c_str());
        const double dd = now() - t0;
        theirs = std::min(theirs, dd);
        std::printf("  round %d: recovery %.0f MB/s, dd %.0f MB/s\n", round + 1, big_mib / mine, big_mib / dd);
        fs::remove(work + "/dd.bin");
    }
    std::printf("recover %d MB into a file: %.0f MB/s; dd of the same bytes: %.0f MB/s (%.0f %%), best of 3\n",
                big_mib, big_mib / ours, big_mib / theirs, 100.0 * theirs / ours);
    return 0;
}
