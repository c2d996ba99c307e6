// Failing-media speed: imaging a clean source from the page cache against dd,
// the cost of deep-scan checkpoints, and recovering 100,000 same-named deleted
// files into one folder against keeping their folder tree.
#include <QDir>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/destination_names.hpp"
#include "engine/destination_names.hpp"
#include "engine/safe_names.hpp"
#include "imaging/image_copier.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/test_support.hpp"
#include "ui/raw_recovery.hpp"

using qv::destination_names;
using qv::recover_into;
using qv::safe_file_name;
using qv::unique_destination;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

double best_of(int runs, const std::function<double()>& once) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) best = std::min(best, once());
    return best;
}

// A scratch folder in memory where there is one, so disk speed stays out of the figures.
std::string scratch_root() {
    if (std::filesystem::is_directory("/dev/shm")) return "/dev/shm";
    return std::filesystem::temp_directory_path().string();
}

void imaging_benchmark(const std::string& dir) {
    constexpr size_t mib = 1 << 20, size = 1024 * mib;
    const std::string src = dir + "/source.img", dst = dir + "/copy.img";
    {
        std::vector<uint8_t> chunk = qv::test::pseudo_random_bytes(mib, 1);
        FILE* f = std::fopen(src.c_str(), "wb");
        for (size_t i = 0; i < size / mib; ++i) {
            chunk[0] = uint8_t(i);
            std::fwrite(chunk.data(), 1, chunk.size(), f);
        }
        std::fclose(f);
    }
    auto dd = [&](const char* extra) {
        return best_of(3, [&] {
            std::filesystem::remove(dst);
            auto t = clock_type::now();
            std::system(("dd if=" + src + " of=" + dst + " bs=1M status=none " + extra).c_str());
            return seconds_since(t);
        });
    };
    const double dd_plain = dd(""), dd_sync = dd("conv=fsync");
    auto source = qv::file_device::open(src, 0, 0, true, qv::access_mode::read_only, nullptr);
    const double ours = best_of(3, [&] {
        std::filesystem::remove(dst);
        std::filesystem::remove(dst + ".map");
        auto t = clock_type::now();
        auto out = qv::imaging::copy_to_image(*source, dst, dst + ".map", {}, {});
        double s = seconds_since(t);
        if (out.result != qv::imaging::imaging_result::finished) std::printf("imaging failed: %s\n", out.message.c_str());
        return s;
    });
    const double mb = double(size) / 1e6;
    std::printf("imaging 1 GiB from the page cache into %s: %.0f MB/s\n", dir.c_str(), mb / ours);
    std::printf("dd bs=1M: %.0f MB/s (imaging at %.0f%%); dd bs=1M conv=fsync: %.0f MB/s (imaging at %.0f%%)\n",
                mb / dd_plain, 100.0 * dd_plain / ours, mb / dd_sync, 100.0 * dd_sync / ours);
    std::filesystem::remove(src);
    std::filesystem::remove(dst);
    std::filesystem::remove(dst + ".map");
}

void checkpoint_benchmark(const std::string& dir) {
    // 512 MiB of random bytes with a small valid file every 64 KiB: 8,192 records.
    constexpr size_t size = 512u << 20, every = 64 * 1024;
    const std::vector<uint8_t> text = {'{', '\\', 'r', 't', 'f', '1', ' ', 'x', '}'};
    std::vector<uint8_t> image = qv::test::pseudo_random_bytes(size, 3);
    for (size_t at = 0; at + every <= size; at += every) std::copy(text.begin(), text.end(), image.begin() + at);
    const std::string img = dir + "/deep.img";
    qv::test::write_file(img, image);
    image.clear();
    image.shrink_to_fit();
    auto scan = [&](bool checkpoints, uint64_t* written, size_t* records) {
        raw_recovery_c engine;
        volume_item_s volume;
        volume.volume_name = QString::fromStdString(img);
        engine.set_volume(volume);
        if (checkpoints) engine.set_checkpoint(dir + "/deep.checkpoint", std::chrono::milliseconds(0));
        auto t = clock_type::now();
        engine.start();
        engine.wait();
        double s = seconds_since(t);
        if (written) *written = engine.checkpoints_written();
        if (records) *records = engine.records().size();
        return s;
    };
    uint64_t written = 0;
    size_t records = 0;
    const double plain = best_of(3, [&] { return scan(false, nullptr, &records); });
    const double every_block = best_of(3, [&] { return scan(true, &written, nullptr); });
    const double per_checkpoint = (every_block - plain) / double(std::max<uint64_t>(written, 1));
    std::printf("deep scan of 512 MiB, %zu files: %.2f s without checkpoints, %.2f s with one at every 1 MiB block "
                "(%llu checkpoints, %.2f ms each)\n",
                records, plain, every_block, (unsigned long long)written, per_checkpoint * 1000);
    // The checkpoint of a big result: a million files found.
    qv::deep_checkpoint big;
    big.device_path = img;
    big.device_length = uint64_t(1) << 41;
    big.position = big.search_from = big.device_length / 2;
    big.records.resize(1000000);
    for (size_t i = 0; i < big.records.size(); ++i) {
        big.records[i].index = i;
        big.records[i].offset = i * 4096;
        big.records[i].size = 100;
        big.records[i].type[0] = 'j';
    }
    const double million = best_of(3, [&] {
        auto t = clock_type::now();
        qv::write_deep_checkpoint(dir + "/big.checkpoint", big);
        return seconds_since(t);
    });
    std::printf("checkpoint of 1,000,000 files: %.3f s, %.2f%% of the 30 s between two checkpoints; "
                "of this scan's: %.4f%%\n",
                million, 100.0 * million / 30.0, 100.0 * per_checkpoint / 30.0);
    std::filesystem::remove(img);
    std::filesystem::remove(dir + "/deep.checkpoint");
    std::filesystem::remove(dir + "/big.checkpoint");
}

void names_benchmark(const std::string& dir) {
    // 1,000 folders of 100 deleted files each, every one named IMG_0001.JPG.
    constexpr uint32_t folders = 1000, per_folder = 100, first_file_cluster = 20000;
    qv::test::fat_builder b(32, first_file_cluster + folders * per_folder + 16);
    b.chain_folder(b.root_cluster(), 64);  // 1,024 entries: room for every folder
    for (uint32_t f = 0; f < folders; ++f) {
        const uint32_t first = 100 + f * 8;  // 8 clusters of 512 bytes: 128 entries
        b.chain_folder(first, 8);
        b.add_entry(0, "D" + std::to_string(1000000 + f) + "   ", 0x10, first, 0, false);
        for (uint32_t i = 0; i < per_folder; ++i)
            b.add_entry(first, "IMG_0001JPG", 0x20, first_file_cluster + f * per_folder + i, 100, true);
    }
    const std::string img = dir + "/names.img";
    b.save(img);
    auto engine = qv::test::scan_fat_volume(img);
    struct file {
        uint32_t id;
        QString folder, name;
    };
    std::vector<file> files;
    for (const auto& [id, item] : engine->items()) {
        if (id == 0 || (item.attributes & 0x10)) continue;
        const auto parent = engine->items().find(item.parent);
        files.push_back({id, parent == engine->items().end() ? QString() : QString::fromStdU16String(qv::test::item_name(parent->second)),
                         QString::fromStdU16String(qv::test::item_name(item))});
    }
    auto recover = [&](bool keep_tree, size_t count) {
        const QString out = QString::fromStdString(dir + "/out");
        std::filesystem::remove_all(out.toStdString());
        QDir().mkpath(out);
        destination_names names;
        auto t = clock_type::now();
        size_t done = 0;
        for (size_t i = 0; i < count && i < files.size(); ++i) {
            QString folder = out;
            if (keep_tree) {
                folder += '/' + safe_file_name(files[i].folder);
                QDir().mkpath(folder);
            }
            done += recover_into(folder, files[i].name, names, [&](const QString& target) {
                        return engine->recover_file(files[i].id, target) == 0 ? qv::recovery_status::done()
                                                                               : qv::recovery_status::failed(qv::read_end::io_error);
                    }).written();
        }
        double s = seconds_since(t);
        if (done != std::min(count, files.size())) std::printf("only %zu recovered\n", done);
        return s;
    };
    const double tree = recover(true, files.size()), flat = recover(false, files.size());
    std::printf("recovering %zu deleted files all named #MG_0001.JPG: keeping the tree %.2f s, flat into one folder "
                "%.2f s (%.2fx)\n",
                files.size(), tree, flat, flat / tree);
    // The way names were found before: one existence check per candidate.
    constexpr size_t old_count = 5000;
    const QString out = QString::fromStdString(dir + "/out");
    std::filesystem::remove_all(out.toStdString());
    QDir().mkpath(out);
    auto t = clock_type::now();
    for (size_t i = 0; i < old_count; ++i)
        engine->recover_file(files[i].id, unique_destination(out, files[i].name));
    const double old_way = seconds_since(t);
    const double new_way = recover(false, old_count);
    std::printf("%zu of them flat: probing each candidate name on disk %.2f s, names kept in memory %.3f s\n",
                old_count, old_way, new_way);
    std::filesystem::remove_all(out.toStdString());
    std::filesystem::remove(img);
}

}  // namespace

int main(int argc, char** argv) {
    std::string which = argc > 1 ? argv[1] : "all";
    const std::string dir = scratch_root() + "/quorvane-failing-bench";
    std::filesystem::create_directories(dir);
    if (which == "all" || which == "imaging") imaging_benchmark(dir);
    if (which == "all" || which == "checkpoint") checkpoint_benchmark(dir);
    if (which == "all" || which == "names") names_benchmark(dir);
    std::filesystem::remove_all(dir);
    return 0;
}
