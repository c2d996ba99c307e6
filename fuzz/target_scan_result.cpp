// The saved deep-scan result (*.sav) reader over a whole file in memory.

#include <string>

#include "engine/scan_result_file.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

constexpr uint64_t device_length = uint64_t(1) << 32;

}  // namespace

int scan_result(const uint8_t* data, size_t size) {
    std::string error;
    auto result = parse_scan_result(data, size, "fuzz.sav", device_length, &error);
    if (!result) {
        QV_FUZZ_CHECK(!error.empty());
        return 0;
    }
    QV_FUZZ_CHECK(!result->device_path.empty() && result->device_path.size() < scan_result_header_size);
    QV_FUZZ_CHECK(scan_result_header_size + result->records.size() * scan_result_record_size == size);
    for (size_t i = 0; i < result->records.size(); ++i) {
        const raw_item_s& r = result->records[i];
        QV_FUZZ_CHECK(r.index == i && r.offset <= device_length && r.size <= device_length - r.offset);
        std::string type = record_type(r);
        QV_FUZZ_CHECK(!type.empty() && type.size() <= sizeof r.type);
    }
    return 0;
}

}  // namespace qv::fuzz
