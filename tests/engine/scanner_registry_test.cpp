// Every registered scanner over the same devices: hostile bytes, real volumes of
// each file system (made with mkfs), a disk that fails every read and one that
// goes away. One table of devices, one loop over the registry; a report, never
// a crash or a hang. Also which scanner the registry picks for a volume.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "devices/device_handle.hpp"
#include "tests/support/test_devices.hpp"
#include "engine/engine_choice.hpp"
#include "engine/scanner.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::read_end;

constexpr uint64_t volume_mib = 8;

// A file-system image made with its own tool; empty when the tool is missing.
std::vector<uint8_t> made_image(const std::string& dir, const std::string& name, const std::string& command) {
    const std::string path = dir + "/" + name + ".img";
    if (qv::test::run("truncate -s " + std::to_string(volume_mib) + "M " + qv::test::shell_quote(path)) != 0) return {};
    std::string out;
    if (qv::test::run(command + " " + qv::test::shell_quote(path) + " >/dev/null 2>&1", &out) != 0) return {};
    return qv::test::read_file(path);
}

struct made_volumes {
    std::map<std::string, std::vector<uint8_t>> images;  // scanner name (or "ext4") -> image
};

const made_volumes& volumes() {
    static const made_volumes made = [] {
        made_volumes m;
        static qv::test::temp_dir dir;
        const std::string d = dir.path().string();
        if (qv::test::have_tool("mkfs.fat")) m.images["fat"] = made_image(d, "fat", "mkfs.fat -F 16 -s 1");
        if (qv::test::have_tool("mkfs.exfat")) m.images["exfat"] = made_image(d, "exfat", "mkfs.exfat");
        if (qv::test::have_tool("mkntfs")) m.images["ntfs"] = made_image(d, "ntfs", "mkntfs -F -f -q");
        if (qv::test::have_tool("mkfs.ext4")) m.images["ext4"] = made_image(d, "ext4", "mkfs.ext4 -q -F");
        for (auto it = m.images.begin(); it != m.images.end();)
            it = it->second.empty() ? m.images.erase(it) : std::next(it);
        return m;
    }();
    return made;
}

// What each row of the table must give, for every scanner.
enum class expect { anything, nothing_found, device_gone };

struct device_row {
    std::string name;
    std::function<std::unique_ptr<qv::device_handle>()> make;
    expect file_systems;  // what the file-system scanners must report
    expect carver;        // what the carver must report
};

std::vector<uint8_t> with_boot_name(std::vector<uint8_t> bytes, const char* name) {
    std::memcpy(bytes.data() + 3, name, 8);
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    return bytes;
}

std::vector<device_row> device_table() {
    std::vector<device_row> rows;
    auto memory = [](std::vector<uint8_t> bytes) {
        return [bytes] { return std::make_unique<qv::memory_device>(bytes); };
    };
    rows.push_back({"empty", memory({}), expect::nothing_found, expect::nothing_found});
    rows.push_back({"one byte", memory({0xEB}), expect::nothing_found, expect::nothing_found});
    rows.push_back({"zeros", memory(std::vector<uint8_t>(1 << 20)), expect::nothing_found, expect::nothing_found});
    rows.push_back({"noise", memory(qv::test::pseudo_random_bytes(1 << 20, 7)), expect::anything, expect::anything});
    // Boot sectors that name a file system over noise: every field is nonsense.
    for (const char* oem : {"NTFS    ", "EXFAT   ", "MSDOS5.0"})
        rows.push_back({std::string("noise named ") + oem,
                        memory(with_boot_name(qv::test::pseudo_random_bytes(1 << 20, 11), oem)), expect::anything,
                        expect::anything});
    for (const auto& [fs, image] : volumes().images) {
        rows.push_back({fs + " volume", memory(image), expect::anything, expect::anything});
        // Cut after the first 64 KiB: the structures point past the end.
        rows.push_back({fs + " volume cut short", memory(std::vector<uint8_t>(image.begin(), image.begin() + 65536)),
                        expect::anything, expect::anything});
        // Every read fails, as on a disk whose every sector is bad.
        rows.push_back({fs + " volume, every read failing",
                        [image] {
                            return std::make_unique<qv::failing_device>(
                                image, std::vector<qv::failing_device::range>{{0, image.size()}});
                        },
                        expect::nothing_found, expect::nothing_found});
        // Gone after the first sectors.
        rows.push_back({fs + " volume going away", [image] { return std::make_unique<qv::vanishing_device>(image, 4096); },
                        expect::anything, expect::device_gone});
    }
    return rows;
}

TEST(scanner_registry, every_scanner_reports_on_every_hostile_or_failing_device) {
    const auto rows = device_table();
    if (volumes().images.empty()) std::cerr << "no mkfs tool found: only the built devices are used\n";
    size_t runs = 0;
    for (const qv::scanner_kind* kind : qv::scanner_registry()) {
        for (const device_row& row : rows) {
            SCOPED_TRACE(std::string(kind->name) + " over " + row.name);
            auto device = row.make();
            auto scanner = kind->make();
            ASSERT_TRUE(scanner);
            EXPECT_EQ(&scanner->kind(), kind);
            qv::scan_token token;
            qv::scan_hooks hooks;
            hooks.token = &token;
            const qv::scan_report report = scanner->scan(*device, hooks);
            ++runs;
            const expect want = kind->carver ? row.carver : row.file_systems;
            if (want == expect::nothing_found) {
                size_t files = 0;
                for (const auto& item : report.items) files += !item.directory;
                EXPECT_EQ(files, 0u);
            }
            if (want == expect::device_gone) {
                EXPECT_EQ(report.problems.end, read_end::device_gone);
            }
            EXPECT_NE(report.problems.end, read_end::stopped) << "nobody asked it to stop";
            EXPECT_LE(report.problems.places.size(), report.problems.read_errors + 1);
            EXPECT_EQ(scanner->unreadable_so_far(), report.problems.unreadable_bytes);
            // The free-space mask: nothing, or sorted ranges apart from each other.
            for (const qv::byte_range& r : scanner->item_extents(report.items)) EXPECT_GT(r.length, 0u);
            if (kind->in_use) {
                auto fresh = row.make();
                if (auto in_use = kind->in_use(*fresh)) {
                    EXPECT_EQ(*in_use, qv::merged_ranges(*in_use));
                }
            }
            // Ids are unique within a report.
            std::map<uint64_t, int> ids;
            for (const auto& item : report.items) {
                EXPECT_EQ(ids[item.id]++, 0) << "id " << item.id << " twice";
            }
            // Recovering whatever it found never crashes; an item it never found is refused.
            qv::test::temp_dir out;
            for (size_t i = 0; i < report.items.size() && i < 8; ++i) {
                if (report.items[i].directory) continue;
                const auto status = scanner->recover(report.items[i], out / ("f" + std::to_string(i)));
                if (!status.written()) {
                    EXPECT_FALSE(qv::failure_text(status).empty());
                }
            }
            qv::found_item stranger;
            stranger.id = 0x7FFFFFF0;
            stranger.size = uint64_t(1) << 40;
            stranger.offset = uint64_t(1) << 40;
            stranger.deleted = true;
            EXPECT_FALSE(scanner->recover(stranger, out / "stranger").written());
        }
    }
    EXPECT_EQ(runs, qv::scanner_registry().size() * rows.size());
}

TEST(scanner_registry, each_file_system_is_read_by_its_own_scanner_whole) {
    if (volumes().images.empty()) GTEST_SKIP() << "no mkfs tool found";
    for (const char* fs : {"fat", "exfat", "ntfs", "ext4"})
        if (!volumes().images.count(fs)) std::cerr << fs << ": its mkfs is missing or failed; not tested\n";
    for (const auto& [fs, image] : volumes().images) {
        SCOPED_TRACE(fs);
        qv::memory_device device(image);
        const qv::scanner_kind* kind = qv::scanner_for("", &device);
        ASSERT_NE(kind, nullptr) << "the probe finds no scanner";
        EXPECT_EQ(kind->name, fs);
        auto report = kind->make()->scan(device, {});
        EXPECT_EQ(report.problems.end, read_end::complete);
        EXPECT_TRUE(report.problems.corrupt.empty());
        EXPECT_EQ(report.problems.unreadable_bytes, 0u);
        ASSERT_TRUE(kind->free_bytes);
        auto free = kind->free_bytes(device);
        ASSERT_TRUE(free) << "free space of a fresh volume";
        EXPECT_GT(*free, image.size() / 2);
        EXPECT_LT(*free, image.size());
        // What is in use and what is free never overlap: together at most the volume.
        ASSERT_TRUE(kind->in_use);
        auto in_use = kind->in_use(device);
        ASSERT_TRUE(in_use) << "allocation of a fresh volume";
        ASSERT_FALSE(in_use->empty());
        EXPECT_EQ(in_use->front().offset, 0u) << "the boot sector or superblock area is in use";
        EXPECT_LE(qv::covered_bytes(*in_use) + *free, image.size());
        EXPECT_GT(qv::covered_bytes(*in_use) + *free, image.size() * 9 / 10);
    }
}

TEST(scanner_registry, the_catalog_name_chooses_and_the_probe_only_fills_a_missing_name) {
    struct row {
        const char* file_system;
        bool deep;
        const char* scanner;  // empty: none
    };
    const row rows[] = {
        {"FAT12", false, "fat"}, {"FAT16", false, "fat"}, {"FAT32", false, "fat"}, {"NTFS", false, "ntfs"},
        {"exFAT", false, "exfat"}, {"ext4", false, "ext4"}, {"ext3", false, "ext4"}, {"ext2", false, "ext4"},
        {"btrfs", false, ""},    {"xfs", false, ""},
        {"", false, ""},         {"ext4", true, "deep"}, {"NTFS", true, "deep"}, {"", true, "deep"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.file_system) + (r.deep ? " deep" : ""));
        const qv::scanner_kind* kind = qv::choose_scanner(r.file_system, r.deep);
        EXPECT_EQ(kind ? std::string(kind->name) : std::string(), r.scanner);
        const auto number = qv::choose_engine(r.file_system, r.deep);
        EXPECT_EQ(qv::engine_name(number), r.scanner);
        if (kind) {
            EXPECT_EQ(qv::scanner_of_kind(number), kind);
        }
    }
    // A FAT boot sector under a name the catalog gave is not taken for FAT.
    if (volumes().images.count("fat")) {
        qv::memory_device fat(volumes().images.at("fat"));
        EXPECT_EQ(qv::scanner_for("btrfs", &fat), nullptr);
        EXPECT_EQ(qv::scanner_for("", &fat), qv::scanner_named("fat"));
    }
    // Names are unique, there is one carver and it is never chosen by name or probe.
    std::map<std::string_view, int> names;
    int carvers = 0;
    for (const qv::scanner_kind* kind : qv::scanner_registry()) {
        EXPECT_EQ(names[kind->name]++, 0) << kind->name;
        carvers += kind->carver;
        EXPECT_EQ(qv::scanner_named(kind->name), kind);
        if (!kind->carver) {
            EXPECT_TRUE(kind->takes && kind->probe && kind->make);
        }
    }
    EXPECT_EQ(carvers, 1);
    EXPECT_TRUE(qv::carving_scanner().carver);
}

}  // namespace
