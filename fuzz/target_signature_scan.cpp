// The carving loop over arbitrary bytes with every size rule: the shipped file
// types plus one type for each rule they leave out. The first byte picks the
// step (sector starts or every byte) and the block size, so block edges move,
// and whether files in two pieces (PNG, JPEG, ZIP, MP3, MP4) are joined, with clusters of a
// sector so that small inputs hold breaks and gaps. Every found file then has
// its capture time read and its content checked.

#include <set>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "sigscan/config.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/scanner.hpp"

namespace qv::fuzz {

namespace {

constexpr std::string_view extra_types = R"([qvfooter]
header = "QVFT" ?? 01
footer = "QVEND"
max = 64K
rule = footer

[qvmax]
header = ?? "QVMX"
max = 4K
rule = max
)";

const sig::signature_config& every_rule_config() {
    static const sig::signature_config config = [] {
        sig::signature_config c = sig::default_config();
        std::string error;
        auto extra = sig::parse_config(extra_types, &error);
        QV_FUZZ_CHECK(extra.has_value());
        c.types.insert(c.types.end(), extra->types.begin(), extra->types.end());
        std::set<sig::size_rule> rules;
        for (const auto& t : c.types) rules.insert(t.rule);
        QV_FUZZ_CHECK(rules.size() == size_t(sig::size_rule::max) + 1);
        return c;
    }();
    return config;
}

}  // namespace

int signature_scan(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const sig::signature_config& config = every_rule_config();
    sig::scan_options options;
    options.every_byte = data[0] & 1;
    options.block_size = size_t(512) << ((data[0] >> 1) & 7);
    memory_device device(std::vector<uint8_t>(data, data + size));
    uint64_t next_free = 0;
    if (data[0] & 0x10) {
        constexpr uint64_t sector = 512;
        options.cluster = sector;
        options.join_reach = 64 * sector;
        options.joined = [&](const char* type, uint64_t first, uint64_t first_size, uint64_t second,
                             uint64_t second_size) {
            QV_FUZZ_CHECK(type && *type);
            QV_FUZZ_CHECK(first >= next_free && first_size > 0 && second_size > 0);
            QV_FUZZ_CHECK(first % sector == 0 || options.every_byte);
            // Clusters count from the file's first byte: the break and the gap are whole ones.
            QV_FUZZ_CHECK(first_size % sector == 0 && (second - first) % sector == 0);
            QV_FUZZ_CHECK(second >= first + first_size && second <= size && second_size <= size - second);
            next_free = first + first_size;
        };
    }
    std::vector<sig::found_span> spans;
    auto found = [&](const char* type, uint64_t offset, uint64_t length) {
        QV_FUZZ_CHECK(type && *type);
        QV_FUZZ_CHECK(length > 0 && offset <= size && length <= size - offset);
        QV_FUZZ_CHECK(offset >= next_free);  // in device order, never inside an earlier file
        next_free = offset + length;
        spans.push_back({offset, length, type});
    };
    auto end = sig::scan_device(device, config, options, nullptr, found);
    QV_FUZZ_CHECK(end == sig::scan_end::finished);
    for (const auto& f : spans) {
        // Also each candidate type over the whole rest of the input.
        for (const char* type : {f.type.c_str(), "jpg", "png", "zip", "heic", "mp4", "dng"}) {
            (void)sig::capture_time(device, f.offset, f.size, type);
            (void)sig::check_content(device, f.offset, size - f.offset, type);
        }
    }
    return 0;
}

}  // namespace qv::fuzz
