// Deep-scan throughput: a generated image (1 GiB by default) of random filler
// with a few hundred real files, scanned from the page cache, against dd.
//
//   sigscan_bench [--size MiB] [--files N] [--every-byte] [--keep FILE]
//   sigscan_bench --image FILE [--every-byte]   (an image made elsewhere)
//   sigscan_bench --photos [--size MiB]
//
// --photos fills the image with JPEG photos (made by ImageMagick's convert)
// one after another, as on a camera card, and times the content checks and
// capture-time reads of the found photos against the scan itself.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_handle.hpp"
#include "sigscan/config.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/scanner.hpp"
#include "tests/sigscan/camera_samples.hpp"
#include "tests/sigscan/sample_files.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

// Fast filler: splitmix64, eight bytes at a time.
void fill_random(uint8_t* p, size_t n, uint64_t& state) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        std::memcpy(p + i, &z, 8);
    }
    for (; i < n; ++i) p[i] = uint8_t(state >> (i % 8));
}

struct placed {
    uint64_t offset;
    size_t sample;
};

// A memory device read at a card's speed. A card serves one read at a time:
// reads asked for at once (a scan splits its reads) wait for each other.
class card_device final : public qv::device_handle {
public:
    card_device(qv::device_handle& inner, double bytes_per_second) : inner_(inner), rate_(bytes_per_second) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override {
        std::lock_guard lock(mutex_);
        std::this_thread::sleep_for(std::chrono::duration<double>(double(len) / rate_));
        return inner_.read_at(offset, buffer, len);
    }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }

private:
    std::mutex mutex_;
    qv::device_handle& inner_;
    double rate_;
};

// Counts what the scan reads from the device under it.
class counting_device final : public qv::device_handle {
public:
    explicit counting_device(qv::device_handle& inner) : inner_(inner) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override {
        const int64_t got = inner_.read_at(offset, buffer, len);
        ++calls;
        if (got > 0) bytes += uint64_t(got);
        return got;
    }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }
    std::atomic<uint64_t> calls{0}, bytes{0};  // a scan may read on two threads at once

private:
    qv::device_handle& inner_;
};

// A card full of photos: scan, then the checks of what was found.
int photos_bench(uint64_t size_mib, const std::string& dir) {
    std::vector<qv::test::bytes> photos;
    for (int seed = 1; seed <= 6; ++seed) {
        std::string out = dir + "/photo" + std::to_string(seed) + ".jpg";
        std::string cmd = "convert -size 1600x1200 -seed " + std::to_string(seed) +
                          " plasma:fractal -blur 0x2 -quality 92 '" + out + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "convert (ImageMagick) is needed for --photos\n");
            return 1;
        }
        FILE* f = std::fopen(out.c_str(), "rb");
        if (!f) return 1;
        qv::test::bytes b;
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
        std::fclose(f);
        photos.push_back(std::move(b));
    }
    const uint64_t size = size_mib << 20;
    std::vector<uint8_t> image(size, 0);
    size_t count = 0;
    for (uint64_t pos = 0;; ++count) {
        const auto& p = photos[count % photos.size()];
        if (pos + p.size() > size) break;
        std::memcpy(image.data() + pos, p.data(), p.size());
        pos = (pos + p.size() + 511) / 512 * 512;
    }
    qv::memory_device device(std::move(image));
    std::vector<qv::sig::found_span> found;
    auto start = clock_type::now();
    qv::sig::scan_device(device, qv::sig::default_config(), {}, nullptr,
                         [&](const char* type, uint64_t offset, uint64_t bytes) {
                             found.push_back({offset, bytes, type});
                         });
    const double scan = since(start);
    start = clock_type::now();
    const std::clock_t cpu_start = std::clock();
    auto facts = qv::sig::examine_found_files(device, found, 2);
    const double check = since(start);
    const double check_cpu = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    size_t intact = 0;
    for (const auto& f : facts) intact += f.state == qv::sig::content_state::intact;
    const double mb = double(size) / 1e6;
    std::printf("photos: %zu laid, %zu found, %zu intact after the check\n", count, found.size(), intact);
    std::printf("scan from memory: %.0f MB/s (%.2f s); checks on 2 threads: %.2f s (%.0f MB/s of photos), "
                "%.2f s of processor time (%.0f MB/s per core)\n",
                mb / scan, scan, check, mb / check, check_cpu, mb / check_cpu);
    // The engine's way: checks on a worker thread while the scan reads a card.
    for (double card : {90.0, 300.0}) {
        card_device slow(device, card * 1e6);
        start = clock_type::now();
        qv::sig::scan_device(slow, qv::sig::default_config(), {}, nullptr, [](const char*, uint64_t, uint64_t) {});
        const double alone = since(start);
        start = clock_type::now();
        // As the engine does; the photos just read come from the cache.
        qv::sig::found_file_examiner examiner(device, qv::sig::examiner_threads());
        qv::sig::scan_device(slow, qv::sig::default_config(), {}, nullptr,
                             [&](const char* type, uint64_t offset, uint64_t bytes) {
                                 examiner.add({offset, bytes, type});
                             });
        auto checked = examiner.finish();
        const double with = since(start);
        size_t ok = 0;
        for (const auto& f : checked) ok += f.state == qv::sig::content_state::intact;
        std::printf("  a card read at %.0f MB/s: scan %.2f s, with checks on %u workers %.2f s (+%.1f%%), %zu intact\n",
                    card, alone, qv::sig::examiner_threads(), with, 100.0 * (with - alone) / alone, ok);
    }
    return found.size() == count && intact == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t size_mib = 1024;
    size_t files = 300;
    bool every_byte = false, photos = false;
    std::string keep, given;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--size" && i + 1 < argc) size_mib = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--files" && i + 1 < argc) files = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--every-byte") every_byte = true;
        else if (a == "--photos") photos = true;
        else if (a == "--keep" && i + 1 < argc) keep = argv[++i];
        else if (a == "--image" && i + 1 < argc) given = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--size MiB] [--files N] [--every-byte] [--keep FILE | --image FILE]\n", argv[0]);
            return 2;
        }
    }
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("sigscan-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string image = keep.empty() ? (dir / "bench.img").string() : keep;
    if (photos) {
        int rc = photos_bench(size_mib, dir.string());
        fs::remove_all(dir);
        return rc;
    }

    // The files: every format made in code, several seeds each.
    std::vector<qv::test::sample> kinds;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        using namespace qv::test;
        kinds.push_back({"pdf", "pdf", make_pdf(seed, seed % 2)});
        kinds.push_back({"wav", "wav", make_wav(seed)});
        kinds.push_back({"avi", "avi", make_avi(seed)});
        kinds.push_back({"mp4", "mp4", make_iso_media("isom", seed)});
        kinds.push_back({"flac", "flac", make_flac(seed)});
        kinds.push_back({"ogg", "ogg", make_ogg(seed)});
        kinds.push_back({"doc", "doc", make_ole("WordDocument", seed)});
        kinds.push_back({"exe", "exe", make_pe(seed)});
        kinds.push_back({"rar", "rar", make_rar5(seed)});
        kinds.push_back({"7z", "7z", make_7z(seed)});
        kinds.push_back({"mp3", "mp3", make_mp3(seed % 2, seed)});
        kinds.push_back({"rtf", "rtf", make_rtf()});
        kinds.push_back({"html", "html", make_html()});
        kinds.push_back({"xml", "xml", make_xml()});
        for (const char* raw : {"dng", "cr2", "nef", "arw", "orf", "rw2"})
            kinds.push_back({raw, raw, make_tiff_raw(raw, seed)});
        kinds.push_back({"raf", "raf", make_raf(seed)});
        kinds.push_back({"ttf", "ttf", make_ttf(seed)});
        kinds.push_back({"mid", "mid", make_midi(seed)});
        kinds.push_back({"djvu", "djvu", make_djvu(seed)});
    }

    if (!given.empty()) {
        // An image made elsewhere: scanned as it is, nothing to compare with.
        image = given;
        keep = given;
        std::error_code ec;
        size_mib = fs::file_size(given, ec) >> 20;
        files = 0;
    }
    const uint64_t size = given.empty() ? size_mib << 20 : fs::file_size(given);
    const uint64_t spacing = size / (files + 1) / 512 * 512;
    std::vector<placed> where;
    for (size_t i = 0; i < files && spacing > 64 * 1024; ++i)
        where.push_back({(i + 1) * spacing, i % kinds.size()});

    auto t = clock_type::now();
    if (given.empty()) {
        int fd = ::open(image.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        if (fd < 0) {
            std::perror(image.c_str());
            return 1;
        }
        constexpr size_t chunk = 64 << 20;
        std::vector<uint8_t> buf(chunk);
        uint64_t state = 0x1234;
        size_t next = 0;
        for (uint64_t off = 0; off < size; off += chunk) {
            size_t n = size_t(std::min<uint64_t>(chunk, size - off));
            fill_random(buf.data(), n, state);
            for (; next < where.size() && where[next].offset < off + n; ++next) {
                const auto& data = kinds[where[next].sample].data;
                size_t at = size_t(where[next].offset - off);
                std::memcpy(buf.data() + at, data.data(), std::min(data.size(), n - at));
            }
            if (::write(fd, buf.data(), n) != ssize_t(n)) {
                std::perror("write");
                return 1;
            }
        }
        ::close(fd);
    }
    std::printf("image: %llu MiB with %zu files, written in %.1f s\n", (unsigned long long)size_mib,
                where.size(), since(t));

    // dd from the page cache (a first pass loads it).
    auto dd_seconds = [&] {
        std::string cmd = "dd if='" + image + "' of=/dev/null bs=1M 2>/dev/null";
        auto start = clock_type::now();
        if (std::system(cmd.c_str()) != 0) return -1.0;
        return since(start);
    };
    dd_seconds();
    double dd = 1e9;
    for (int run = 0; run < 3; ++run) dd = std::min(dd, dd_seconds());  // best of 3, as the scan

    std::string error;
    auto device = qv::file_device::open(image, 0, 0, true, qv::access_mode::read_only, &error);
    if (!device) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    qv::sig::scan_options options;
    options.every_byte = every_byte;
    size_t found = 0, matched = 0;
    double best = 1e9, best_cpu = 1e9;
    counting_device counted(*device);
    for (int run = 0; run < 3; ++run) {
        found = matched = 0;
        counted.calls = 0;
        counted.bytes = 0;
        size_t next = 0;
        auto start = clock_type::now();
        const std::clock_t cpu_start = std::clock();
        qv::sig::scan_device(counted, qv::sig::default_config(), options, nullptr,
                             [&](const char* type, uint64_t offset, uint64_t bytes) {
                                 ++found;
                                 while (next < where.size() && where[next].offset < offset) ++next;
                                 if (next < where.size() && where[next].offset == offset &&
                                     kinds[where[next].sample].data.size() == bytes &&
                                     kinds[where[next].sample].type == type)
                                     ++matched;
                             });
        best = std::min(best, since(start));
        best_cpu = std::min(best_cpu, double(std::clock() - cpu_start) / CLOCKS_PER_SEC);
    }
    double mb = double(size) / 1e6;
    std::printf("deep scan%s: %.0f MB/s (%.2f s, best of 3), %zu found, %zu of %zu exactly\n",
                every_byte ? " (every byte)" : "", mb / best, best, found, matched, where.size());
    std::printf("device reads: %llu calls, %llu bytes, %.3f bytes read per byte of the image\n",
                (unsigned long long)counted.calls.load(), (unsigned long long)counted.bytes.load(),
                double(counted.bytes.load()) / double(size));
    // Processor time holds still when other programs share the machine.
    std::printf("processor time: %.2f s, %.0f MB per second of processor time\n", best_cpu, mb / best_cpu);
    if (dd > 0) std::printf("dd bs=1M:  %.0f MB/s (%.2f s, best of 3); scan at %.0f%% of dd\n", mb / dd, dd, 100.0 * dd / best);
    if (keep.empty()) fs::remove_all(dir);
    return matched == where.size() ? 0 : 1;
}
