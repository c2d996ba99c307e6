// The deep scan's scanner face over deep_core.
#include "engine/deep_scanner.hpp"

#include <cerrno>

#include "devices/device_handle.hpp"
#include "engine/destination_failure.hpp"
#include "engine/fs_scanners.hpp"

namespace qv {

namespace {

std::unique_ptr<scanner> make_deep() { return std::make_unique<deep_scanner>(); }

}  // namespace

// The carver takes no file system by name and probes nothing: it is chosen only when asked for.
extern const scanner_kind deep_scanner_kind{"deep", true, nullptr, nullptr, nullptr, make_deep, nullptr};

const scanner_kind& deep_scanner::kind() const { return deep_scanner_kind; }

void deep_scanner::go_on_from(const sig::scan_place& start, std::vector<raw_item_s> records,
                              uint64_t unreadable_before, record_joins joins) {
    resume_ = true;
    start_ = start;
    earlier_ = std::move(records);
    earlier_joins_ = std::move(joins);
    carried_ = unreadable_before;
}

scan_report deep_scanner::scan(device_handle& device, const scan_hooks& hooks) {
    device_ = &device;
    bad_.clear();
    if (!resume_) carried_ = 0;
    deep_scan_extras extras;
    extras.bad = &bad_;
    if (resume_) {
        extras.start = start_;
        extras.records = std::move(earlier_);
        extras.joins = std::move(earlier_joins_);
    }
    resume_ = false;
    earlier_.clear();
    earlier_joins_.clear();
    if (block_hook_) extras.at_block = block_hook_;
    deep_scan_result result = core_.scan(device, hooks, &extras);
    finished_ = result.finished;
    records_ = std::move(result.records);
    joins_ = std::move(result.joins);
    type_index_ = std::move(result.type_index);
    facts_ = std::move(result.facts);

    scan_report report;
    report.items = deep_found_items(records_, type_index_, facts_, joins_);
    report.problems.unreadable_bytes = unreadable_so_far();
    report.problems.read_errors = bad_.count();
    report.problems.end = scan_end(hooks, result.vanished);
    return report;
}

scan_report deep_scanner::adopt(device_handle& device, std::vector<raw_item_s> records, record_joins joins) {
    device_ = &device;
    bad_.clear();
    carried_ = 0;
    finished_ = true;
    records_ = std::move(records);
    joins_ = std::move(joins);
    type_index_ = type_index_of(records_);
    // Capture times and checks are not kept in a saved result: read them again.
    facts_ = deep_core::examine(device, records_);
    scan_report report;
    report.items = deep_found_items(records_, type_index_, facts_, joins_);
    return report;
}

recovery_status deep_scanner::recover(const found_item& item, const std::string& destination) {
    if (!device_) return recovery_status::failed(read_end::corrupt, "no device was scanned");
    uint64_t unreadable = 0;
    const int rc = deep_core::recover(*device_, item, destination, &unreadable);
    if (rc == 0) return recovery_status::done(unreadable);
    if (rc == recover_destination_failed) return recovery_status::destination(errno);
    if (!device_->medium_present()) return recovery_status::failed(read_end::device_gone);
    const uint64_t length = device_->length();
    bool past_end = item.pieces.empty() && (item.offset > length || item.size > length - item.offset);
    for (const item_piece& p : item.pieces) past_end = past_end || p.offset > length || p.size > length - p.offset;
    if (past_end)
        return recovery_status::failed(read_end::corrupt,
                                       "found file at byte " + std::to_string(item.offset) + ": runs past the device's end");
    return recovery_status::failed(read_end::io_error, "found file", item.offset);
}

}  // namespace qv
