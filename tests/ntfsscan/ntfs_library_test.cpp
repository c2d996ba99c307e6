// The library's four calls on real NTFS images made with mkntfs and ntfs-3g.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "devices/device_catalog.hpp"
#include "ntfsscan/file_record.hpp"
#include "ntfsscan/ntfs_volume.hpp"
#include "ntfsscan/ntfsscan.hpp"
#include "tests/ntfsscan/ntfs_shared_image.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"

using qv::ntfs_context_counter_a;
using qv::ntfs_context_counter_b;
using qv::ntfs_context_counter_c;
using qv::ntfs_context_i64;
using qv::ntfs_context_s;
using qv::ntfs_context_started;
using qv::ntfs_context_total;
using qv::ntfs_context_u32;
using qv::ntfs_flag_deleted;
using qv::ntfs_flag_directory;
using qv::ntfs_flag_file;
using qv::ntfs_is_source_path;
using qv::ntfs_record_s;

using namespace qv::test;

namespace {

// The records of one walk, by id, with their paths below the root.
struct walk_result {
    std::map<uint64_t, ntfs_record_s> by_id;
    std::map<std::string, uint64_t> by_path;
};

std::string path_of(const std::map<uint64_t, ntfs_record_s>& items, uint64_t id) {
    std::string path;
    for (int steps = 0; steps < 64; ++steps) {
        auto it = items.find(id);
        if (it == items.end()) return "?" + path;
        path = "/" + utf8(it->second.name) + path;
        if (it->second.parent == 5) return path.substr(1);
        id = it->second.parent;
    }
    return "?loop";
}

walk_result walk(ntfs_context_s& context) {
    walk_result w;
    for (const auto& r : scan_all(context)) w.by_id[r.id] = r;
    for (const auto& [id, r] : w.by_id)
        if (id > 11) w.by_path[path_of(w.by_id, id)] = id;
    return w;
}

// "/dev/hd<letter><partition>" for an image opened as a drive in the catalog.
std::string ntfs_name_for(const std::string& image, int partition) {
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    int drive = catalog.open_image(image);
    if (drive < 0) return {};
    return "/dev/hd" + std::string(1, char('a' + drive)) + std::to_string(partition);
}

class NtfsLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        const auto& s = shared_image();
        if (!s.ok) GTEST_SKIP() << s.why;
        ASSERT_EQ(ntfs_scan_startup(ntfs_name_for(s.image, 0).c_str(), &ctx.context), 0);
    }
    void TearDown() override { qv::device_catalog::shared().close_images(); }

    scoped_context ctx;
    temp_dir out;
};

TEST_F(NtfsLibrary, ListsDeletedFilesWithNamesParentsSizesTimesAndFlags) {
    const auto& s = shared_image();
    walk_result w = walk(ctx.context);

    ASSERT_TRUE(w.by_id.count(5));
    EXPECT_EQ(w.by_id[5].flags, ntfs_flag_directory);
    EXPECT_EQ(w.by_id[5].parent, 5u);

    for (const auto& [path, bytes] : s.deleted) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(w.by_path.count(path)) << "not delivered";
        const ntfs_record_s& r = w.by_id[w.by_path[path]];
        EXPECT_EQ(r.flags, ntfs_flag_file | ntfs_flag_deleted);
        EXPECT_EQ(r.size, bytes.size());
        EXPECT_GE(r.date1, s.made_from - 5);
        EXPECT_LE(r.date1, s.made_until + 5);
        EXPECT_GE(r.date2, s.made_from - 5);
        EXPECT_LE(r.date2, r.date1);
    }
    for (const auto& path : s.deleted_dirs) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(w.by_path.count(path));
        EXPECT_EQ(w.by_id[w.by_path[path]].flags, ntfs_flag_directory | ntfs_flag_deleted);
    }
    for (const auto& [path, bytes] : s.live) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(w.by_path.count(path));
        EXPECT_EQ(w.by_id[w.by_path[path]].flags, ntfs_flag_file);
        EXPECT_EQ(w.by_id[w.by_path[path]].size, bytes.size());
    }
    ASSERT_TRUE(w.by_path.count("livedir"));
    EXPECT_EQ(w.by_id[w.by_path["livedir"]].flags, ntfs_flag_directory);
    EXPECT_EQ(w.by_id[w.by_path["olddir/sub"]].parent, w.by_path["olddir"]);
}

TEST_F(NtfsLibrary, RecoversExactBytesOfDeletedAndLiveFiles) {
    const auto& s = shared_image();
    walk_result w = walk(ctx.context);
    int n = 0;
    for (const auto* files : {&s.deleted, &s.live}) {
        for (const auto& [path, bytes] : *files) {
            SCOPED_TRACE(path);
            ASSERT_TRUE(w.by_path.count(path));
            std::string dest = out / ("r" + std::to_string(n++));
            ASSERT_EQ(ntfs_recover_file(&ctx.context, w.by_path[path], dest.c_str()), 0);
            EXPECT_EQ(std::filesystem::file_size(dest), bytes.size());
            EXPECT_TRUE(read_file(dest) == bytes) << "recovered bytes differ";
        }
    }
}

TEST_F(NtfsLibrary, FragmentedSparseAndListedFilesReallyAreSo) {
    // The recovery test above only means something if the image holds these shapes.
    const auto& s = shared_image();
    walk_result w = walk(ctx.context);
    std::unique_ptr<qv::ntfs::volume> vol;
    std::string error;
    ASSERT_EQ(qv::ntfs::volume::open(qv::device_catalog::shared().open(s.image, qv::access_mode::read_only),
                                     &vol), 0);
    auto info_of = [&](const std::string& path) {
        std::vector<uint8_t> rec;
        qv::ntfs::file_info info;
        if (!vol->load_record(w.by_path[path], rec)) return info;
        qv::ntfs::record_header h;
        qv::ntfs::read_record_header(qv::byte_view(rec.data(), rec.size()), h);
        qv::ntfs::parse_file_record(qv::byte_view(rec.data(), rec.size()), h, w.by_path[path], *vol,
                                    qv::ntfs::parse_depth::content, true, info);
        return info;
    };
    auto frag = info_of("frag_a.bin");
    ASSERT_TRUE(frag.data.runs_valid);
    EXPECT_GT(frag.data.runs.size(), 1u);
    auto sparse = info_of("sparse.bin");
    ASSERT_TRUE(sparse.data.runs_valid);
    EXPECT_TRUE(std::any_of(sparse.data.runs.begin(), sparse.data.runs.end(),
                            [](const auto& r) { return r.sparse; }));
    auto many = info_of("many.bin");
    ASSERT_TRUE(many.data.runs_valid);
    EXPECT_GT(many.data.runs.size(), 1000u);
    EXPECT_TRUE(info_of("small.txt").data.resident);
}

TEST_F(NtfsLibrary, CompressedDataIsRefusedNotGarbled) {
    const auto& s = shared_image();
    if (s.compressed.empty()) GTEST_SKIP() << "ntfs-3g could not mark a folder compressed";
    walk_result w = walk(ctx.context);
    ASSERT_TRUE(w.by_path.count(s.compressed));
    std::string dest = out / "c.txt";
    EXPECT_LT(ntfs_recover_file(&ctx.context, w.by_path[s.compressed], dest.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dest));
}

TEST_F(NtfsLibrary, RefusesDirectoriesUnknownRecordsAndUnstartedContexts) {
    walk_result w = walk(ctx.context);
    std::string dest = out / "x";
    EXPECT_LT(ntfs_recover_file(&ctx.context, w.by_path["livedir"], dest.c_str()), 0);
    EXPECT_LT(ntfs_recover_file(&ctx.context, 1ull << 40, dest.c_str()), 0);
    EXPECT_LT(ntfs_recover_file(&ctx.context, w.by_path["small.txt"], ""), 0);
    EXPECT_FALSE(std::filesystem::exists(dest));
    ntfs_context_s idle{};
    EXPECT_LT(ntfs_recover_file(&idle, w.by_path["small.txt"], dest.c_str()), 0);
    ntfs_record_s item{};
    EXPECT_EQ(ntfs_scan_next(&idle, &item), 0);
}

TEST_F(NtfsLibrary, DestinationIsReplacedButNeverTheSourceOrADirectory) {
    const auto& s = shared_image();
    walk_result w = walk(ctx.context);
    uint64_t id = w.by_path["small.txt"];
    std::string dest = out / "existing";
    write_file(dest, std::vector<uint8_t>(5000, 'x'));
    ASSERT_EQ(ntfs_recover_file(&ctx.context, id, dest.c_str()), 0);
    EXPECT_TRUE(read_file(dest) == s.deleted.at("small.txt"));

    std::filesystem::create_symlink(dest, out / "link");
    ASSERT_EQ(ntfs_recover_file(&ctx.context, id, (out / "link").c_str()), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(out / "link"));

    auto before = std::filesystem::file_size(s.image);
    auto mtime = std::filesystem::last_write_time(s.image);
    EXPECT_TRUE(ntfs_is_source_path(&ctx.context, s.image.c_str()));
    EXPECT_LT(ntfs_recover_file(&ctx.context, id, s.image.c_str()), 0);
    EXPECT_EQ(std::filesystem::file_size(s.image), before);
    EXPECT_EQ(std::filesystem::last_write_time(s.image), mtime);

    std::filesystem::create_directory(out / "dir");
    EXPECT_LT(ntfs_recover_file(&ctx.context, id, (out / "dir").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(out / "dir"));
}

TEST_F(NtfsLibrary, ProgressCountersReachTheTotal) {
    scan_all(ctx.context);
    uint32_t a = ntfs_context_u32(ctx.context, ntfs_context_counter_a);
    uint32_t b = ntfs_context_u32(ctx.context, ntfs_context_counter_b);
    uint32_t c = ntfs_context_u32(ctx.context, ntfs_context_counter_c);
    int64_t total = ntfs_context_i64(ctx.context, ntfs_context_total);
    EXPECT_NE(ntfs_context_u32(ctx.context, ntfs_context_started), 0u);
    EXPECT_GT(a, shared_image().bulk_files);
    EXPECT_EQ(int64_t(c + 8 * (a + b)), total);
}

TEST_F(NtfsLibrary, AgreesWithSleuthkit) {
    QV_REQUIRE_TOOL("fls");
    const auto& s = shared_image();
    walk_result w = walk(ctx.context);
    auto listing = run_fls(s.image, true);
    size_t checked = 0;
    for (const auto& e : listing) {
        if (e.path.rfind("$OrphanFiles", 0) == 0) continue;
        SCOPED_TRACE(e.path);
        ASSERT_TRUE(w.by_id.count(e.id));
        EXPECT_EQ(path_of(w.by_id, e.id), e.path);
        EXPECT_TRUE(w.by_id[e.id].flags & ntfs_flag_deleted);
        EXPECT_EQ(bool(w.by_id[e.id].flags & ntfs_flag_directory), e.directory);
        ++checked;
    }
    EXPECT_GE(checked, s.deleted.size());
}

TEST(NtfsPartitioned, ScansAPartitionOfAnImageByItsDriveLetterAndNumber) {
    QV_REQUIRE_TOOL("sfdisk");
    temp_dir dir;
    std::string fs_image = dir / "fs.img", disk = dir / "disk.img", why;
    if (!make_ntfs_image(fs_image, 16u << 20, &why, "-p 2048")) GTEST_SKIP() << why;
    ntfs_mount m;
    if (!m.mount(fs_image, dir / "mnt", &why)) GTEST_SKIP() << why;
    auto bytes = pseudo_random_bytes(50000, 9);
    write_file(m / "inside.bin", bytes);
    std::filesystem::remove(m / "inside.bin");
    ASSERT_TRUE(m.unmount());

    ASSERT_EQ(run("truncate -s 20M " + shell_quote(disk)), 0);
    ASSERT_EQ(run("echo 'start=2048, size=32768, type=7' | sfdisk -q " + shell_quote(disk)), 0);
    ASSERT_EQ(run("dd if=" + shell_quote(fs_image) + " of=" + shell_quote(disk) +
                  " bs=512 seek=2048 conv=notrunc status=none"), 0);

    std::string name = ntfs_name_for(disk, 1);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(qv::device_catalog::shared().resolve_ntfs_name(name), disk + "#1");
    scoped_context ctx;
    ASSERT_EQ(ntfs_scan_startup(name.c_str(), &ctx.context), 0);
    walk_result w = walk(ctx.context);
    ASSERT_TRUE(w.by_path.count("inside.bin"));
    std::string dest = dir / "out.bin";
    ASSERT_EQ(ntfs_recover_file(&ctx.context, w.by_path["inside.bin"], dest.c_str()), 0);
    EXPECT_TRUE(read_file(dest) == bytes);
    qv::device_catalog::shared().close_images();
}

TEST(NtfsStartup, UnknownOrNonNtfsDevicesFail) {
    temp_dir dir;
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    ntfs_context_s ctx{};
    EXPECT_LT(ntfs_scan_startup("/dev/hdz9", &ctx), 0);
    EXPECT_LT(ntfs_scan_startup("not a device", &ctx), 0);
    EXPECT_LT(ntfs_scan_startup(nullptr, &ctx), 0);
    std::string zeros = dir / "zeros.img";
    write_file(zeros, std::vector<uint8_t>(1 << 20, 0));
    std::string name = ntfs_name_for(zeros, 0);
    EXPECT_EQ(ntfs_scan_startup(name.c_str(), &ctx), qv::ntfs::open_bad_boot);
    EXPECT_EQ(ntfs_context_u32(ctx, ntfs_context_started), 0u);
    catalog.close_images();
}

}  // namespace
