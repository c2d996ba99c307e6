#pragma once
// The deep scan behind the scanner face: carves any device with deep_core,
// and keeps what the saved results and checkpoints need (records, type index).

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "devices/tolerant_read.hpp"
#include "engine/deep_core.hpp"
#include "engine/scanner.hpp"

namespace qv {

class deep_scanner final : public scanner {
public:
    using block_hook =
        std::function<void(const sig::scan_place& place, const std::vector<raw_item_s>& records,
                           const record_joins& joins)>;

    const scanner_kind& kind() const override;
    // Test every byte offset instead of sector starts.
    void set_every_byte(bool on) { core_.set_every_byte(on); }
    bool every_byte() const { return core_.every_byte(); }
    // The next scan goes on from start, with the records found before it and
    // the bytes it could not read (a checkpoint's); cleared by that scan.
    void go_on_from(const sig::scan_place& start, std::vector<raw_item_s> records, uint64_t unreadable_before,
                    record_joins joins = {});
    // Called before each block with the place and everything found so far.
    void set_block_hook(block_hook hook) { block_hook_ = std::move(hook); }

    scan_report scan(device_handle& device, const scan_hooks& hooks) override;
    // Takes records found earlier (a saved result) as the result, read again through device.
    // joins: the second pieces of files put together from two.
    scan_report adopt(device_handle& device, std::vector<raw_item_s> records, record_joins joins = {});
    uint64_t unreadable_so_far() const override { return carried_.load(std::memory_order_relaxed) + bad_.total(); }
    // Writes exactly the item's bytes (size from its offset) with its capture time.
    recovery_status recover(const found_item& item, const std::string& destination) override;

    const std::vector<raw_item_s>& records() const { return records_; }
    const carved_type_map& type_index() const { return type_index_; }
    const record_joins& joins() const { return joins_; }
    const std::vector<sig::file_facts>& facts() const { return facts_; }
    // False when the last scan was stopped or lost its device before the end.
    bool finished() const { return finished_; }
    const bad_ranges& bad() const { return bad_; }

private:
    deep_core core_;
    device_handle* device_ = nullptr;
    block_hook block_hook_;
    bool resume_ = false;
    sig::scan_place start_;
    std::vector<raw_item_s> earlier_;
    record_joins earlier_joins_;
    std::atomic<uint64_t> carried_{0};  // read by the interface while a scan runs
    bad_ranges bad_;
    std::vector<raw_item_s> records_;
    record_joins joins_;
    carved_type_map type_index_;
    std::vector<sig::file_facts> facts_;
    bool finished_ = false;
};

}  // namespace qv
