#pragma once
// One scan of the command line: runs the chosen engine's core on the calling
// thread with a progress bar, Ctrl+C asking it to stop, and recovers found items.

#include <chrono>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "devices/tolerant_read.hpp"
#include "devices/volume_items.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/deep_core.hpp"
#include "engine/engine_choice.hpp"
#include "engine/exfat_core.hpp"
#include "engine/fat_core.hpp"
#include "engine/found_item.hpp"
#include "engine/ntfs_core.hpp"
#include "engine/scan_hooks.hpp"

namespace qv {
class device_handle;
}

class scan_job {
public:
    // every_byte: the deep scan tests every byte offset, not only sector starts.
    explicit scan_job(recovery_engine_kind kind, bool every_byte = false);
    ~scan_job();

    // Opens the volume and scans it to the end, or until Ctrl+C. False with a
    // message when the volume cannot be opened. complete() tells whether it was stopped.
    bool run(const volume_item_s& volume, std::string* error);
    // Takes a saved deep-scan result over (its records and device path): false
    // with a message when it is refused or its device cannot be opened.
    // allow_empty takes a result without records too.
    bool load_saved(const std::string& file, std::string* error, bool allow_empty = false);
    // Saves the deep-scan result: 0, or -1 when there is none or it cannot be written.
    // allow_empty saves a result without records (a scan that found nothing).
    int save(const std::string& file, bool allow_empty = false) const;

    // Deep scan: checkpoints go to path every interval (and when it stops);
    // with resume, the scan goes on from that checkpoint.
    void set_checkpoint(const std::string& path, std::chrono::milliseconds interval) {
        checkpoint_path_ = path;
        checkpoint_interval_ = interval;
    }
    void resume_from(const qv::deep_checkpoint& checkpoint) { resume_ = checkpoint; }
    // Deep scan: bytes that could not be read (read as zeros), and whether the device went away.
    uint64_t unreadable_bytes() const { return carried_unreadable_ + bad_.total(); }
    bool device_vanished() const { return vanished_; }

    recovery_engine_kind kind() const { return kind_; }
    bool complete() const { return complete_; }
    uint64_t entries_read() const { return token_.entries; }
    // The result, in the order the engine gives it.
    const std::vector<qv::found_item>& items() const { return items_; }
    // Writes one found item's bytes to destination: 0, or negative
    // (recover_destination_failed when the destination cannot be written).
    // *unreadable: bytes of it that could not be read and are zeros.
    int recover(const qv::found_item& item, const std::string& destination, uint64_t* unreadable = nullptr);

private:
    recovery_engine_kind kind_;
    qv::scan_token token_;
    bool complete_ = true;
    std::string device_path_;
    std::unique_ptr<qv::device_handle> device_;
    qv::fat_core fat_;
    qv::ntfs_core ntfs_;
    qv::exfat_core exfat_;
    qv::deep_core deep_;
    std::vector<raw_item_s> records_;
    std::vector<qv::found_item> items_;
    qv::bad_ranges bad_;
    uint64_t carried_unreadable_ = 0;
    bool vanished_ = false;
    std::string checkpoint_path_;
    std::chrono::milliseconds checkpoint_interval_{30000};
    std::optional<qv::deep_checkpoint> resume_;
};
