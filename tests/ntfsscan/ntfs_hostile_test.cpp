// Damaged and hostile volumes: a fresh mkntfs image with hand-built or broken MFT
// records. Every case must end in an error or a short result, never a crash or a hang.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

#include "ntfsscan/file_recovery.hpp"
#include "ntfsscan/ntfs_volume.hpp"
#include "ntfsscan/ntfsscan.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"

using qv::ntfs_flag_deleted;
using qv::ntfs_flag_file;
using qv::ntfs_record_s;
using qv::ntfs_scan_startup_device;

using namespace qv::test;
using bytes = std::vector<uint8_t>;

namespace {

// Free MFT slots of a fresh mkntfs volume (records 16-23 are reserved and unused).
constexpr uint64_t slot = 16;
constexpr uint64_t data_cluster = 3000;  // free clusters near the end of a 16 MiB volume

struct base_image {
    bool ok = false;
    std::string why;
    bytes image;
    ntfs_facts facts;
};

const base_image& base() {
    static const base_image b = [] {
        base_image r;
        temp_dir dir;
        if (!make_ntfs_image(dir / "base.img", 16u << 20, &r.why)) return r;
        r.image = read_file(dir / "base.img");
        r.facts = read_facts(r.image);
        r.ok = r.facts.record_size == 1024 && r.facts.cluster_size == 4096;
        if (!r.ok) r.why = "mkntfs made an unexpected layout";
        return r;
    }();
    return b;
}

void place(bytes& image, uint64_t number, const bytes& record) {
    const auto& f = base().facts;
    std::copy(record.begin(), record.end(), image.begin() + long(f.mft_offset + number * f.record_size));
}

size_t record_offset(uint64_t number) { return size_t(base().facts.mft_offset + number * base().facts.record_size); }

bytes si() { return resident_attribute(0x10, standard_information(filetime(1600000000), filetime(1600000100)), 0); }
bytes fn(const std::u16string& name, uint64_t parent = 5, uint8_t space = 1) {
    return resident_attribute(0x30, file_name(parent, name, space), 1);
}
bytes resident_data(const std::string& text) { return resident_attribute(0x80, bytes(text.begin(), text.end()), 2); }
bytes nonresident_data(const bytes& runs, uint64_t size, uint16_t flags = 0, uint64_t lowest = 0,
                       uint64_t highest = 1) {
    return non_resident_attribute(0x80, runs, lowest, highest, 8192, size, size, 2, flags);
}
bytes attribute_list(const std::vector<bytes>& entries) {
    bytes v;
    for (const auto& e : entries) v.insert(v.end(), e.begin(), e.end());
    return resident_attribute(0x20, v, 3);
}
// Mapping pairs for one run of count clusters at lcn (two-byte offset).
bytes run_at(uint64_t lcn, uint8_t count) {
    return {0x21, count, uint8_t(lcn), uint8_t(lcn >> 8), 0x00};
}
// A deleted file in the root (record flags 0: not in use).
bytes deleted_file(uint64_t number, const std::u16string& name, const bytes& data) {
    return build_record(1024, number, 0, 0, {si(), fn(name), data});
}

struct scan_result {
    int started = -100;
    std::vector<ntfs_record_s> items;
    const ntfs_record_s* find(const std::u16string& name) const {
        for (const auto& i : items)
            if (std::u16string(i.name) == name) return &i;
        return nullptr;
    }
    const ntfs_record_s* find(uint64_t id) const {
        for (const auto& i : items)
            if (i.id == id) return &i;
        return nullptr;
    }
};

scan_result scan(const bytes& image, scoped_context& ctx) {
    scan_result r;
    r.started = ntfs_scan_startup_device(std::make_unique<span_device>(image), &ctx.context);
    if (r.started == 0) r.items = scan_all(ctx.context);
    return r;
}

// Recovers id into a fresh file; the file's bytes in *out on success.
int recover(scoped_context& ctx, uint64_t id, bytes* out) {
    temp_dir dir;
    std::string dest = dir / "out";
    int r = ntfs_recover_file(&ctx.context, id, dest.c_str());
    bool exists = std::filesystem::exists(dest);
    EXPECT_EQ(exists, r == 0) << "a failed recovery must leave no file, a good one must";
    if (out && exists) *out = read_file(dest);
    return r;
}

#define REQUIRE_BASE()                              \
    do {                                            \
        if (!base().ok) GTEST_SKIP() << base().why; \
    } while (0)

TEST(NtfsHostile, DamagedBootSectorsAndMftRecordZero) {
    REQUIRE_BASE();
    const auto& f = base().facts;
    auto break_boot = [](bytes& b) { b[3] = 'X'; };
    auto break_backup = [](bytes& b) { b[b.size() - 512 + 3] = 'X'; };
    auto tear = [](bytes& b, uint64_t offset) { b[size_t(offset) + 510] ^= 0xFF; };
    // The first run of $MFT's $DATA in a record at offset: its length byte.
    auto mft_run_length = [](bytes& b, uint64_t offset) -> uint8_t& {
        size_t attr = size_t(offset) + (b[size_t(offset) + 0x14] | b[size_t(offset) + 0x15] << 8);
        while (b[attr] != 0x80) attr += b[attr + 4] | b[attr + 5] << 8;
        size_t runs = attr + (b[attr + 0x20] | b[attr + 0x21] << 8);
        return b[runs + 1];
    };
    struct row {
        const char* what;
        std::function<void(bytes&)> damage;
        int expected;
    } rows[] = {
        {"boot sector gone, its copy intact", break_boot, 0},
        {"both boot sectors gone", [&](bytes& b) { break_boot(b); break_backup(b); }, qv::ntfs::open_bad_boot},
        {"zero bytes per sector", [&](bytes& b) { b[0x0B] = b[0x0C] = 0; break_backup(b); }, qv::ntfs::open_bad_boot},
        {"MFT cluster past the volume", [&](bytes& b) { b[0x36] = 0x7F; break_backup(b); }, qv::ntfs::open_bad_boot},
        {"no record size", [&](bytes& b) { b[0x40] = 0; break_backup(b); }, qv::ntfs::open_bad_boot},
        {"empty device", [](bytes& b) { b.clear(); }, qv::ntfs::open_unreadable},
        {"only the boot sector", [](bytes& b) { b.resize(512); }, qv::ntfs::open_bad_mft},
        {"record 0 torn, mirror intact", [&](bytes& b) { tear(b, f.mft_offset); }, 0},
        {"record 0 and mirror torn", [&](bytes& b) { tear(b, f.mft_offset); tear(b, f.mirror_offset); },
         qv::ntfs::open_bad_mft},
        {"$MFT runlist broken, mirror intact", [&](bytes& b) { mft_run_length(b, f.mft_offset) = 0; }, 0},
        {"$MFT runlist broken in both",
         [&](bytes& b) { mft_run_length(b, f.mft_offset) = 0; mft_run_length(b, f.mirror_offset) = 0; },
         qv::ntfs::open_bad_mft_runs},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        bytes image = base().image;
        r.damage(image);
        scoped_context ctx;
        scan_result s = scan(image, ctx);
        EXPECT_EQ(s.started, r.expected);
        if (s.started == 0) {
            EXPECT_NE(s.find(5), nullptr) << "the root must still be found";
        }
    }
}

TEST(NtfsHostile, TruncatedImagesGivePartialResults) {
    REQUIRE_BASE();
    const auto& f = base().facts;
    bytes full = base().image;
    place(full, slot, deleted_file(slot, u"late.bin", nonresident_data(run_at(data_cluster, 1), 4096)));
    for (uint64_t cut : {f.mft_offset + 10 * f.record_size, f.mft_offset + 10 * f.record_size + 300,
                         uint64_t(full.size() / 2), uint64_t(data_cluster) * f.cluster_size + 100}) {
        SCOPED_TRACE(cut);
        bytes image(full.begin(), full.begin() + long(cut));
        scoped_context ctx;
        scan_result s = scan(image, ctx);
        ASSERT_EQ(s.started, 0);
        EXPECT_NE(s.find(5), nullptr);
        bool mft_cut = cut < f.mft_offset + 24 * f.record_size;
        EXPECT_EQ(s.find(u"late.bin") == nullptr, mft_cut);
        if (!mft_cut) {
            EXPECT_EQ(recover(ctx, slot, nullptr), qv::ntfs::recover_read_failed);
        }
    }
}

TEST(NtfsHostile, HandBuiltRecords) {
    REQUIRE_BASE();
    const bytes cluster_a = pseudo_random_bytes(4096, 11), cluster_b = pseudo_random_bytes(4096, 12);
    bytes split_expected(cluster_a);
    split_expected.insert(split_expected.end(), cluster_b.begin(), cluster_b.begin() + 2904);
    auto with_clusters = [&](bytes& image) {
        const auto& f = base().facts;
        std::copy(cluster_a.begin(), cluster_a.end(), image.begin() + long(data_cluster * f.cluster_size));
        std::copy(cluster_b.begin(), cluster_b.end(), image.begin() + long((data_cluster + 5) * f.cluster_size));
    };
    auto text = [](const std::string& s) { return bytes(s.begin(), s.end()); };
    const uint64_t ext = slot + 1, ext2 = slot + 2;

    struct row {
        const char* what;
        std::vector<bytes> records;  // placed at slot, slot + 1, ...
        std::u16string name;         // empty: nothing may be delivered from the slots
        int recovered;               // expected ntfs_recover_file result for the slot
        bytes content;               // expected bytes when recovered is 0
        std::function<void(bytes&)> also = nullptr;
    };
    const std::vector<row> rows = {
        {"plain resident file", {deleted_file(slot, u"plain.txt", resident_data("hello"))}, u"plain.txt", 0,
         text("hello")},
        {"DOS name before the Win32 name",
         {build_record(1024, slot, 0, 0,
                       {si(), fn(u"LONGFI~1.TXT", 5, 2), fn(u"Long file name.txt", 5, 1), resident_data("x")})},
         u"Long file name.txt", 0, text("x")},
        {"POSIX name preferred to a DOS name",
         {build_record(1024, slot, 0, 0, {si(), fn(u"posix~1", 5, 2), fn(u"posix:name", 5, 0), resident_data("")})},
         u"posix:name", 0, {}},
        {"torn record", {[] { auto r = deleted_file(slot, u"torn.txt", resident_data("t")); r[1022] ^= 1; return r; }()},
         u"", qv::ntfs::recover_bad_record, {}},
        {"first attribute of length 0",
         {[] { auto r = deleted_file(slot, u"zero.txt", resident_data("z")); r[0x38 + 4] = r[0x38 + 5] = 0; return r; }()},
         u"", qv::ntfs::recover_no_data, {}},
        {"attribute running past the record",
         {[] { auto r = deleted_file(slot, u"long.txt", resident_data("l")); r[0x38 + 6] = 0x40; return r; }()},
         u"", qv::ntfs::recover_no_data, {}},
        {"attribute length not a multiple of 8",
         {[] { auto r = deleted_file(slot, u"odd.txt", resident_data("o")); r[0x38 + 4] += 1; return r; }()},
         u"", qv::ntfs::recover_no_data, {}},
        {"first attribute past the used size",
         {[] { auto r = deleted_file(slot, u"used.txt", resident_data("u")); r[0x14] = 0xF0; r[0x15] = 0x03; return r; }()},
         u"", qv::ntfs::recover_bad_record, {}},
        {"resident value past its attribute",
         {[] { auto d = resident_data("v"); d[0x10] = 0xFF; return deleted_file(slot, u"value.txt", d); }()},
         u"value.txt", qv::ntfs::recover_bad_runs, {}},
        {"run past the volume", {deleted_file(slot, u"far.bin", nonresident_data({0x31, 0x02, 0x00, 0x00, 0x10, 0x00}, 8192))},
         u"far.bin", qv::ntfs::recover_bad_runs, {}},
        {"zero-length run", {deleted_file(slot, u"zero.bin", nonresident_data({0x21, 0x00, 0xB8, 0x0B, 0x00}, 8192))},
         u"zero.bin", qv::ntfs::recover_bad_runs, {}},
        {"huge run", {deleted_file(slot, u"huge.bin",
                                   nonresident_data({0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xB8, 0x0B, 0x00}, 8192))},
         u"huge.bin", qv::ntfs::recover_bad_runs, {}},
        {"runlist without its end", {deleted_file(slot, u"open.bin", nonresident_data({0x21, 0x01, 0xB8, 0x0B, 0x21, 0x01, 0xB8}, 8192))},
         u"open.bin", qv::ntfs::recover_bad_runs, {}},
        {"runs shorter than the size", {deleted_file(slot, u"short.bin", nonresident_data(run_at(data_cluster, 1), 8192))},
         u"short.bin", qv::ntfs::recover_bad_runs, {}},
        {"size beyond any disk", {deleted_file(slot, u"vast.bin", nonresident_data(run_at(data_cluster, 2), 1ull << 62))},
         u"vast.bin", qv::ntfs::recover_bad_runs, {}},
        {"size beyond the volume", {deleted_file(slot, u"big.bin", nonresident_data(run_at(data_cluster, 2), 1ull << 30))},
         u"big.bin", qv::ntfs::recover_bad_runs, {}},
        {"compressed data", {deleted_file(slot, u"packed.bin", nonresident_data(run_at(data_cluster, 2), 8192, 0x0001))},
         u"packed.bin", qv::ntfs::recover_unsupported, {}},
        {"encrypted data", {deleted_file(slot, u"secret.bin", nonresident_data(run_at(data_cluster, 2), 8192, 0x4000))},
         u"secret.bin", qv::ntfs::recover_unsupported, {}},
        {"sparse and beyond the initialized size",
         {deleted_file(slot, u"holes.bin",
                       non_resident_attribute(0x80, {0x01, 0x01, 0x21, 0x01, 0xB8, 0x0B, 0x00}, 0, 1, 8192, 8192, 6000, 2,
                                              0x8000))},
         u"holes.bin", 0,
         [&] { bytes b(4096, 0); b.insert(b.end(), cluster_a.begin(), cluster_a.begin() + 1904); b.resize(8192, 0); return b; }(),
         with_clusters},
        {"attribute list naming itself",
         {build_record(1024, slot, 0, 0,
                       {si(), fn(u"self.txt"),
                        attribute_list({list_entry(0x20, 0, slot, 3), list_entry(0x30, 0, slot, 1), list_entry(0x80, 0, slot, 2)}),
                        resident_data("self")})},
         u"self.txt", 0, text("self")},
        {"attribute list naming a record that belongs to another file",
         {build_record(1024, slot, 0, 0, {si(), fn(u"orphan.bin"), attribute_list({list_entry(0x80, 0, ext, 2)})}),
          build_record(1024, ext, 0, slot + 5, {resident_data("not mine")})},
         u"orphan.bin", qv::ntfs::recover_no_data, {}},
        {"extension record whose own list points back",
         {build_record(1024, slot, 0, 0, {si(), fn(u"loop.bin"), attribute_list({list_entry(0x80, 0, ext, 2)})}),
          build_record(1024, ext, 0, slot, {attribute_list({list_entry(0x80, 0, slot, 2)}), resident_data("ext")})},
         u"loop.bin", 0, text("ext")},
        {"list entries past the MFT",
         {build_record(1024, slot, 0, 0,
                       {si(), fn(u"far.txt"), attribute_list({list_entry(0x80, 0, 1ull << 40, 2), list_entry(0x80, 0, 1000, 2)}),
                        resident_data("near")})},
         u"far.txt", 0, text("near")},
        {"non-resident list with runs past the volume",
         {build_record(1024, slot, 0, 0,
                       {si(), fn(u"nrlist.txt"),
                        non_resident_attribute(0x20, {0x31, 0x01, 0x00, 0x00, 0x10, 0x00}, 0, 0, 4096, 64, 64, 3),
                        resident_data("kept")})},
         u"nrlist.txt", 0, text("kept")},
        {"data split over two extension records",
         {build_record(1024, slot, 0, 0,
                       {si(), fn(u"listed.bin"),
                        attribute_list({list_entry(0x10, 0, slot, 0), list_entry(0x30, 0, slot, 1),
                                        list_entry(0x80, 0, ext, 2), list_entry(0x80, 1, ext2, 2)})}),
          build_record(1024, ext, 0, slot, {nonresident_data(run_at(data_cluster, 1), 7000, 0, 0, 0)}),
          build_record(1024, ext2, 0, slot,
                       {non_resident_attribute(0x80, run_at(data_cluster + 5, 1), 1, 1, 0, 0, 0, 2)})},
         u"listed.bin", 0, split_expected, with_clusters},
        {"two segments that both start at VCN 0",
         {build_record(1024, slot, 0, 0,
                       {si(), fn(u"overlap.bin"),
                        attribute_list({list_entry(0x80, 0, ext, 2), list_entry(0x80, 0, ext2, 2)})}),
          build_record(1024, ext, 0, slot, {nonresident_data(run_at(data_cluster, 1), 7000, 0, 0, 0)}),
          build_record(1024, ext2, 0, slot, {nonresident_data(run_at(data_cluster + 5, 1), 7000, 0, 0, 0)})},
         u"overlap.bin", qv::ntfs::recover_bad_runs, {}},
    };

    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        bytes image = base().image;
        for (size_t i = 0; i < r.records.size(); ++i) place(image, slot + i, r.records[i]);
        if (r.also) r.also(image);
        scoped_context ctx;
        scan_result s = scan(image, ctx);
        ASSERT_EQ(s.started, 0);
        for (uint64_t n = slot + 1; n < slot + r.records.size(); ++n)
            EXPECT_EQ(s.find(n), nullptr) << "extension record " << n << " delivered on its own";
        const ntfs_record_s* item = s.find(slot);
        if (r.name.empty()) {
            EXPECT_EQ(item, nullptr);
        } else {
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(std::u16string(item->name), r.name);
            EXPECT_EQ(item->flags, ntfs_flag_file | ntfs_flag_deleted);
            EXPECT_EQ(item->date2, 1600000000);
            EXPECT_EQ(item->date1, 1600000100);
            EXPECT_LE(item->size, image.size()) << "sizes stay within the volume";
        }
        bytes got;
        EXPECT_EQ(recover(ctx, slot, &got), r.recovered);
        if (r.recovered == 0) {
            EXPECT_TRUE(got == r.content) << "recovered bytes differ";
        }
    }
}

TEST(NtfsHostile, RandomBytesOverTheMft) {
    REQUIRE_BASE();
    const auto& f = base().facts;
    const size_t mft_bytes = 27 * f.record_size;
    struct row {
        const char* what;
        size_t from;
        size_t to;
    } rows[] = {
        {"every record but the first", record_offset(1), record_offset(0) + mft_bytes},
        {"the whole MFT and its mirror", record_offset(0), record_offset(0) + mft_bytes},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        bytes image = base().image;
        auto noise = pseudo_random_bytes(r.to - r.from, 77);
        std::copy(noise.begin(), noise.end(), image.begin() + long(r.from));
        if (r.from == record_offset(0)) {
            auto more = pseudo_random_bytes(4 * f.record_size, 78);
            std::copy(more.begin(), more.end(), image.begin() + long(f.mirror_offset));
        }
        scoped_context ctx;
        scan_result s = scan(image, ctx);
        if (r.from == record_offset(0)) {
            EXPECT_LT(s.started, 0);
        } else {
            EXPECT_EQ(s.started, 0);
        }
        for (const auto& item : s.items) recover(ctx, item.id, nullptr);
    }
}

// Records with valid fixups and random attributes, many times over: the
// attribute walk, name and list parsing and the recovery must survive all of it.
TEST(NtfsHostile, RandomAttributesInValidRecords) {
    REQUIRE_BASE();
    std::mt19937 gen(4242);
    auto random_bytes = [&](size_t n) {
        bytes b(n);
        for (auto& x : b) x = uint8_t(gen());
        return b;
    };
    auto pick = [&](size_t n) { return size_t(gen() % n); };
    const uint32_t types[] = {0x10, 0x20, 0x30, 0x80};
    size_t delivered = 0;
    for (int round = 0; round < 400; ++round) {
        bytes image = base().image;
        for (uint64_t n = slot; n < slot + 8; ++n) {
            std::vector<bytes> attrs;
            size_t count = 1 + pick(5);
            for (size_t i = 0; i < count; ++i) {
                uint32_t type = types[pick(4)];
                switch (pick(4)) {
                    case 0: attrs.push_back(resident_attribute(type, random_bytes(pick(120)), uint16_t(i))); break;
                    case 1: {
                        bytes runs = random_bytes(pick(12));
                        runs.push_back(0);
                        attrs.push_back(non_resident_attribute(type, runs, gen() % 3, gen() % 4, gen() % 65536,
                                                               gen() % 65536, gen() % 65536, uint16_t(i),
                                                               uint16_t(pick(2) ? 0x8000 : 0)));
                        break;
                    }
                    case 2: {
                        std::vector<bytes> entries;
                        for (size_t e = 0; e < 1 + pick(6); ++e)
                            entries.push_back(list_entry(types[pick(4)], gen() % 3, slot + pick(9), uint16_t(e)));
                        attrs.push_back(attribute_list(entries));
                        break;
                    }
                    default: attrs.push_back(fn(u"r" + std::u16string(pick(20), u'x'), slot + pick(8))); break;
                }
            }
            auto record = build_record(1024, n, uint16_t(pick(4)), pick(3) ? 0 : slot + pick(8), attrs);
            // Now and then, raw noise over the attribute area.
            if (pick(4) == 0) {
                size_t at = 0x38 + pick(900);
                record[at] = uint8_t(gen());
                if (at % 512 != 510 && at % 512 != 511) record[at + 1] = uint8_t(gen());
            }
            place(image, n, record);
        }
        scoped_context ctx;
        scan_result s = scan(image, ctx);
        ASSERT_EQ(s.started, 0);
        for (const auto& item : s.items) {
            if (item.id < slot) continue;
            ++delivered;
            recover(ctx, item.id, nullptr);
        }
    }
    EXPECT_GT(delivered, 100u);
}

}  // namespace
