#pragma once
// One scan of the command line: runs the chosen scanner on the calling thread
// with a progress bar, Ctrl+C asking it to stop, and recovers found items.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/volume_items.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/found_item.hpp"
#include "engine/free_space_mask.hpp"
#include "engine/scan_hooks.hpp"
#include "engine/scanner.hpp"

namespace qv {
class deep_scanner;
class device_handle;
}

namespace qv::cli {

class scan_job {
public:
    // every_byte: the carver tests every byte offset, not only sector starts.
    explicit scan_job(const qv::scanner_kind& kind, bool every_byte = false);
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
    // Deep scan: the next run reads only the free space of the volume (its file
    // system by the catalog's name; by probe where empty) and leaves out the
    // files its file-system scan lists; the whole volume where that cannot be told.
    void set_free_space(const std::string& file_system) {
        free_space_wanted_ = true;
        file_system_ = file_system;
    }
    // What the last run of a free-space scan left out (not known: it read the whole volume).
    const std::optional<qv::free_space_mask>& free_space() const { return free_space_; }
    // Bytes the scan could not read (the carver reads them as zeros; the
    // file-system walks skip them); any time.
    uint64_t unreadable_bytes() const;
    bool device_vanished() const { return problems_.device_gone(); }
    // What the scan could not read or make sense of.
    const qv::scan_problems& problems() const { return problems_; }

    const qv::scanner_kind& kind() const { return *kind_; }
    bool carving() const { return kind_->carver; }
    bool complete() const { return complete_; }
    uint64_t entries_read() const { return token_.entries; }
    // The result, in the order the scanner gives it.
    const std::vector<qv::found_item>& items() const { return items_; }
    // Deep scan: renames the carved files after what they carry (a photo's
    // capture time and camera, a song's artist and title, ...), reading each
    // again from the device.
    void name_from_content();
    // Writes one found item's bytes to destination through the scanner.
    qv::recovery_status recover(const qv::found_item& item, const std::string& destination);

private:
    void prepare_carving();

    const qv::scanner_kind* kind_;
    std::unique_ptr<qv::device_handle> device_;  // outlives the scanner, which reads through it
    std::unique_ptr<qv::device_handle> masked_;  // device_ less the free-space mask, when there is one
    std::unique_ptr<qv::scanner> scanner_;
    qv::deep_scanner* deep_ = nullptr;  // scanner_, when it is the carver
    qv::scan_token token_;
    bool complete_ = true;
    std::string device_path_;
    std::vector<qv::found_item> items_;
    qv::scan_problems problems_;
    std::string checkpoint_path_;
    std::chrono::milliseconds checkpoint_interval_{30000};
    std::optional<qv::deep_checkpoint> resume_;
    bool free_space_wanted_ = false;
    std::string file_system_;
    std::optional<qv::free_space_mask> free_space_;
};

}  // namespace qv::cli
