// $Bitmap: free clusters against ntfsinfo, clusters of live and deleted files,
// hostile maps; and the parent-sequence rule that finds lost files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "ntfsscan/cluster_bitmap.hpp"
#include "ntfsscan/mft_record.hpp"
#include "ntfsscan/ntfs_volume.hpp"
#include "ntfsscan/parent_link.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"

using qv::ntfs_flag_deleted;
using qv::ntfs_record_s;
using qv::ntfs_scan_startup_device;
using qv::ntfs_state_intact;
using qv::ntfs_state_overwritten;

using namespace qv::ntfs;
using qv::byte_view;

namespace {

// The data runs of the record whose name is name.
std::vector<cluster_run> runs_of(volume& vol, const std::u16string& name) {
    for (uint64_t n = 0; n < vol.record_count(); ++n) {
        std::vector<uint8_t> rec;
        if (!vol.load_record(n, rec)) continue;
        record_header h;
        if (!read_record_header(byte_view(rec.data(), rec.size()), h) || h.base_record != 0) continue;
        file_info info;
        parse_file_record(byte_view(rec.data(), rec.size()), h, n, vol, parse_depth::content, true, info);
        if (info.has_name && std::u16string(info.name) == name) return info.data.runs;
    }
    return {};
}

TEST(NtfsBitmap, FreeClustersAgreeWithNtfsinfoAndDeletedFilesLieInFreeClusters) {
    for (const char* tool : {"mkntfs", "ntfs-3g", "ntfsinfo"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "n.img", why;
    ASSERT_TRUE(qv::test::make_ntfs_image(img, 24u << 20, &why)) << why;
    {
        qv::test::ntfs_mount m;
        if (!m.mount(img, dir / "mnt", &why)) GTEST_SKIP() << "cannot mount with ntfs-3g: " << why;
        qv::test::write_file(m / "keep.bin", qv::test::pseudo_random_bytes(300000, 1));
        qv::test::write_file(m / "gone.bin", qv::test::pseudo_random_bytes(200000, 2));
        ASSERT_TRUE(m.unmount());
    }
    {
        qv::test::ntfs_mount m;
        ASSERT_TRUE(m.mount(img, dir / "mnt", &why)) << why;
        ASSERT_EQ(::unlink((m / "gone.bin").c_str()), 0);
        ASSERT_TRUE(m.unmount());
    }
    std::string out;
    ASSERT_EQ(qv::test::run("ntfsinfo -m " + qv::test::shell_quote(img) + " 2>/dev/null", &out), 0);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex(R"(Free Clusters:\s*(\d+))"))) << out;

    std::unique_ptr<volume> vol;
    ASSERT_EQ(volume::open(qv::file_device::open(img, 0, 0, true, qv::access_mode::read_only, nullptr), &vol), 0);
    auto map = cluster_bitmap::load(*vol);
    ASSERT_TRUE(map.known());
    EXPECT_TRUE(map.complete());
    EXPECT_EQ(map.free_clusters(), std::stoull(match[1]));
    auto keep = runs_of(*vol, u"keep.bin"), gone = runs_of(*vol, u"gone.bin");
    ASSERT_FALSE(keep.empty());
    ASSERT_FALSE(gone.empty());
    EXPECT_TRUE(map.any_in_use(keep));
    EXPECT_FALSE(map.any_in_use(gone));
}

// The library's record for a name (the newest record when several carry it).
const ntfs_record_s* named(const std::vector<ntfs_record_s>& all, const std::u16string& name) {
    const ntfs_record_s* found = nullptr;
    for (const auto& r : all)
        if (std::u16string(r.name) == name) found = &r;
    return found;
}

const ntfs_record_s* by_id(const std::vector<ntfs_record_s>& all, uint64_t id) {
    for (const auto& r : all)
        if (r.id == id) return &r;
    return nullptr;
}

TEST(NtfsBitmap, DeletedFilesSayWhetherLiveDataTookTheirClustersAndWhoseParentTheyHad) {
    for (const char* tool : {"mkntfs", "ntfs-3g"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "n.img", why;
    ASSERT_TRUE(qv::test::make_ntfs_image(img, 16u << 20, &why)) << why;
    {
        qv::test::ntfs_mount m;
        if (!m.mount(img, dir / "mnt", &why)) GTEST_SKIP() << "cannot mount with ntfs-3g: " << why;
        // Records are handed out lowest first: "reused" gets the lowest of these.
        std::filesystem::create_directories(m / "reused");
        qv::test::write_file(m / "reused/lost.bin", qv::test::pseudo_random_bytes(9000, 2));
        std::filesystem::create_directories(m / "together");
        qv::test::write_file(m / "together/inside.bin", qv::test::pseudo_random_bytes(20000, 1));
        qv::test::write_file(m / "taken.bin", qv::test::pseudo_random_bytes(300000, 3));
        qv::test::write_file(m / "kept free.bin", qv::test::pseudo_random_bytes(40000, 4));
        ASSERT_TRUE(m.unmount());
    }
    {
        qv::test::ntfs_mount m;
        ASSERT_TRUE(m.mount(img, dir / "mnt", &why)) << why;
        // The filler's record first, then taken.bin's clusters go to it as it fills the volume.
        std::vector<uint8_t> block(1 << 16, 0x5A);
        qv::test::write_file(m / "filler.bin", block);
        std::filesystem::remove(m / "taken.bin");
        for (int i = 0; i < 400; ++i) {
            FILE* f = std::fopen((m / "filler.bin").c_str(), "ab");
            if (!f) break;
            bool full = std::fwrite(block.data(), 1, block.size(), f) != block.size();
            full = std::fclose(f) != 0 || full;
            if (full) break;
        }
        std::filesystem::remove_all(m / "together");
        std::filesystem::remove_all(m / "reused");
        std::filesystem::remove(m / "kept free.bin");
        ASSERT_TRUE(m.unmount());
    }
    // The record of "reused" was taken by another file and freed again: its
    // sequence number moves on by two (each free raises it by one).
    uint64_t reused_id = 0;
    {
        qv::test::scoped_context first;
        ASSERT_EQ(ntfs_scan_startup_device(
                      qv::file_device::open(img, 0, 0, true, qv::access_mode::read_only, nullptr), &first.context),
                  0);
        auto before = qv::test::scan_all(first.context);
        const ntfs_record_s* r = named(before, u"reused");
        ASSERT_TRUE(r);
        reused_id = r->id;
    }
    auto bytes = qv::test::read_file(img);
    auto facts = qv::test::read_facts(bytes);
    size_t at = size_t(facts.mft_offset + reused_id * facts.record_size) + 0x10;
    qv::test::put16(bytes, at, uint16_t(qv::byte_view(bytes.data(), bytes.size()).le16(at) + 2));
    qv::test::write_file(img, bytes);
    qv::test::scoped_context ctx;
    ASSERT_EQ(ntfs_scan_startup_device(qv::file_device::open(img, 0, 0, true, qv::access_mode::read_only, nullptr),
                                       &ctx.context),
              0);
    auto all = qv::test::scan_all(ctx.context);
    const ntfs_record_s* taken = named(all, u"taken.bin");
    const ntfs_record_s* kept = named(all, u"kept free.bin");
    ASSERT_TRUE(taken && kept);
    EXPECT_EQ(taken->state, ntfs_state_overwritten) << "the filler holds its clusters now";
    EXPECT_EQ(kept->state, ntfs_state_intact) << "deleted after the filler was written";

    const ntfs_record_s* inside = named(all, u"inside.bin");
    ASSERT_TRUE(inside);
    const ntfs_record_s* together = by_id(all, inside->parent);
    ASSERT_TRUE(together);
    EXPECT_EQ(std::u16string(together->name), u"together");
    EXPECT_TRUE(parent_still_holds(inside->parent_sequence, !(together->flags & ntfs_flag_deleted), together->sequence))
        << "a folder deleted with its file is still its folder";

    const ntfs_record_s* lost = named(all, u"lost.bin");
    ASSERT_TRUE(lost);
    const ntfs_record_s* now = by_id(all, lost->parent);
    ASSERT_TRUE(now);
    EXPECT_EQ(std::u16string(now->name), u"reused");
    EXPECT_FALSE(parent_still_holds(lost->parent_sequence, !(now->flags & ntfs_flag_deleted), now->sequence))
        << "sequence " << now->sequence << " against the reference's " << lost->parent_sequence;
}

TEST(NtfsBitmap, HostileAndPartialMaps) {
    std::vector<uint8_t> bytes = {0x01, 0x00, 0x80, 0xFF};
    auto m = cluster_bitmap::from_bytes(byte_view(bytes.data(), bytes.size()), 30);
    EXPECT_TRUE(m.complete());
    // Clusters 0, 23 and 24-29 in use; bits 30 and 31 are no clusters.
    EXPECT_EQ(m.free_clusters(), 30u - 8u);
    EXPECT_TRUE(m.in_use(0));
    EXPECT_FALSE(m.in_use(1));
    EXPECT_TRUE(m.in_use(23));
    EXPECT_TRUE(m.in_use(30));
    EXPECT_TRUE(m.in_use(~0ull));
    const struct {
        const char* what;
        std::vector<cluster_run> runs;
        bool in_use;
    } rows[] = {
        {"free runs", {{0, 1, 22, false}}, false},
        {"touches cluster 23", {{0, 1, 5, false}, {5, 20, 4, false}}, true},
        {"a sparse run over used clusters", {{0, 0, 30, true}}, false},
        {"past the volume", {{0, 29, 5, false}}, true},
        {"an overflowing length", {{0, 2, ~0ull, false}}, true},
        {"whole bytes of free clusters", {{0, 8, 15, false}}, false},
    };
    for (const auto& r : rows) EXPECT_EQ(m.any_in_use(r.runs), r.in_use) << r.what;
    auto short_map = cluster_bitmap::from_bytes(byte_view(bytes.data(), 1), 30);
    EXPECT_FALSE(short_map.complete());
    EXPECT_EQ(short_map.free_clusters(), 7u);
    EXPECT_FALSE(cluster_bitmap().known());
}

TEST(NtfsParentLink, ReusedParentsAreToldApartFromFoldersDeletedWithTheirFiles) {
    const struct {
        const char* what;
        uint16_t reference, parent;
        bool parent_in_use, holds;
    } rows[] = {
        {"live folder, same sequence", 3, 3, true, true},
        {"live folder, record reused", 3, 4, true, false},
        {"folder deleted with its files: one ahead", 3, 4, false, true},
        {"freed and reused twice", 3, 5, false, false},
        {"sequence wraps past zero", 0xFFFF, 1, false, true},
        {"no sequence in the reference", 0, 9, true, true},
        {"older than the reference", 4, 3, false, false},
    };
    for (const auto& r : rows) EXPECT_EQ(parent_still_holds(r.reference, r.parent_in_use, r.parent), r.holds) << r.what;
}

}  // namespace
