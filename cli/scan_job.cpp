#include "cli/scan_job.hpp"

#include <chrono>
#include <csignal>

#include "cli/terminal_progress.hpp"
#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "devices/format_size.hpp"

namespace {

// The token of the scan that runs now; Ctrl+C asks it to stop. A relaxed
// store to a lock-free atomic is safe in a signal handler.
std::atomic<qv::scan_token*> interrupted_token{nullptr};

void on_interrupt(int) {
    if (qv::scan_token* token = interrupted_token.load()) token->request_stop(qv::stop_reason::user_stopped);
}

// Installs the Ctrl+C handler for one scan and takes it away again.
class interrupt_scope {
public:
    explicit interrupt_scope(qv::scan_token& token) {
        interrupted_token = &token;
        previous_ = std::signal(SIGINT, on_interrupt);
    }
    ~interrupt_scope() {
        std::signal(SIGINT, previous_);
        interrupted_token = nullptr;
    }

private:
    void (*previous_)(int) = SIG_DFL;
};

constexpr auto redraw_every = std::chrono::milliseconds(200);

}  // namespace

scan_job::scan_job(recovery_engine_kind kind, bool every_byte) : kind_(kind) { deep_.set_every_byte(every_byte); }

scan_job::~scan_job() = default;

bool scan_job::run(const volume_item_s& volume, std::string* error) {
    token_.clear();
    items_.clear();
    records_.clear();
    bad_.clear();
    carried_unreadable_ = 0;
    vanished_ = false;
    device_path_ = volume.volume_name.toStdString();
    device_ = qv::device_catalog::shared().open(device_path_, qv::access_mode::read_only, error);
    if (!device_) return false;

    terminal_progress bar;
    auto last = std::chrono::steady_clock::now() - redraw_every;
    const bool deep = kind_ == engine_kind_deep;
    const uint64_t total_bytes = volume.total_bytes;
    qv::scan_hooks hooks;
    hooks.token = &token_;
    hooks.progress = [&](double fraction, uint64_t entries, uint64_t items) {
        auto now = std::chrono::steady_clock::now();
        if (now - last < redraw_every) return;
        last = now;
        std::string status;
        if (deep)
            status = "scanned " + format_size(uint64_t(fraction * double(total_bytes))).toStdString();
        else
            status = "entries " + std::to_string(entries);
        if (!deep && items > 0) status += ", found " + std::to_string(items);
        if (deep && unreadable_bytes() > 0) status += ", unreadable " + format_size(unreadable_bytes()).toStdString();
        bar.update(fraction, status);
    };

    {
        interrupt_scope interrupt(token_);
        switch (kind_) {
            case engine_kind_fat:
                items_ = qv::fat_found_items(fat_.scan(*device_, hooks));
                break;
            case engine_kind_ntfs:
                items_ = qv::ntfs_found_items(ntfs_.scan(std::move(device_), hooks).items);
                break;
            case engine_kind_exfat:
                items_ = exfat_.scan(std::move(device_), hooks).items;
                break;
            case engine_kind_deep: {
                qv::deep_scan_extras extras;
                extras.bad = &bad_;
                if (resume_ && resume_->device_path == device_path_ && resume_->device_length == device_->length() &&
                    resume_->every_byte == deep_.every_byte()) {
                    extras.start = {resume_->position, resume_->search_from, resume_->reported_end};
                    extras.records = resume_->records;
                    carried_unreadable_ = resume_->unreadable_bytes;
                }
                qv::deep_checkpointer checkpoints(checkpoint_path_, device_path_, device_->length(),
                                                  deep_.every_byte(), checkpoint_interval_, carried_unreadable_,
                                                  &bad_);
                extras.at_block = [&](const qv::sig::scan_place& place, const std::vector<raw_item_s>& records) {
                    checkpoints.at_block(place, records);
                };
                qv::deep_scan_result result = deep_.scan(*device_, hooks, &extras);
                checkpoints.finish(result.finished, result.records);
                vanished_ = result.vanished;
                records_ = std::move(result.records);
                items_ = qv::deep_found_items(records_, result.type_index, result.facts);
                break;
            }
            default:
                break;
        }
    }
    bar.clear();
    complete_ = token_.stop() != qv::stop_reason::user_stopped && !vanished_;
    token_.progress = 1.0;
    return true;
}

bool scan_job::load_saved(const std::string& file, std::string* error, bool allow_empty) {
    auto header = qv::read_scan_result_path(file);
    if (!header) {
        if (error) *error = file + ": not a scan result file";
        return false;
    }
    device_path_ = *header;
    device_ = qv::device_catalog::shared().open(device_path_, qv::access_mode::read_only);
    auto result = device_ ? qv::read_scan_result(file, device_->length(), nullptr, allow_empty) : std::nullopt;
    if (!result || result->device_path != *header) {
        if (error)
            *error = file + ": the result cannot be used: its volume " + *header +
                     " is missing, too short, or the file is damaged";
        return false;
    }
    kind_ = engine_kind_deep;
    records_ = std::move(result->records);
    // Capture times and checks are not kept in the file: read them again.
    items_ = qv::deep_found_items(records_, qv::type_index_of(records_), qv::deep_core::examine(*device_, records_));
    return true;
}

int scan_job::save(const std::string& file, bool allow_empty) const {
    if (kind_ != engine_kind_deep) return -1;
    return qv::write_scan_result(file, device_path_, records_, allow_empty);
}

int scan_job::recover(const qv::found_item& item, const std::string& destination, uint64_t* unreadable) {
    if (unreadable) *unreadable = 0;
    switch (kind_) {
        case engine_kind_fat:
            return fat_.recover(item, destination);
        case engine_kind_ntfs:
            return ntfs_.recover(item, destination);
        case engine_kind_exfat:
            return exfat_.recover(item, destination);
        case engine_kind_deep:
            return device_ ? qv::deep_core::recover(*device_, item, destination, unreadable) : -1;
        default:
            return -1;
    }
}
