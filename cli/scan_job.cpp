#include "cli/scan_job.hpp"

#include <chrono>
#include <csignal>

#include "cli/terminal_progress.hpp"
#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "devices/masked_device.hpp"
#include "engine/content_names.hpp"
#include "devices/format_size.hpp"
#include "engine/deep_scanner.hpp"
#include "engine/scan_result_file.hpp"
#include "sigscan/config.hpp"

namespace qv::cli {

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

scan_job::scan_job(const qv::scanner_kind& kind, bool every_byte) : kind_(&kind), scanner_(kind.make()) {
    deep_ = dynamic_cast<qv::deep_scanner*>(scanner_.get());
    if (deep_) deep_->set_every_byte(every_byte);
}

scan_job::~scan_job() = default;

bool scan_job::run(const volume_item_s& volume, std::string* error) {
    token_.clear();
    items_.clear();
    problems_ = {};
    device_path_ = volume.volume_name.toStdString();
    masked_.reset();
    free_space_.reset();
    device_ = qv::device_catalog::shared().open(device_path_, qv::access_mode::read_only, error);
    if (!device_) return false;
    if (deep_ && free_space_wanted_) {
        // The file-system scan runs first, on its own token: its counts are not the carver's.
        qv::scan_token fs_token;
        qv::scan_hooks fs_hooks;
        fs_hooks.token = &fs_token;
        free_space_ = qv::read_free_space_mask(*device_, file_system_, fs_hooks);
        if (free_space_->known) masked_ = std::make_unique<qv::masked_device>(*device_, free_space_->masked);
    }
    const bool free_space_scan = masked_ != nullptr;
    qv::device_handle& scanned = masked_ ? *masked_ : *device_;

    terminal_progress bar;
    auto last = std::chrono::steady_clock::now() - redraw_every;
    const bool carving = kind_->carver;
    const uint64_t total_bytes = volume.total_bytes;
    qv::scan_hooks hooks;
    hooks.token = &token_;
    hooks.file_types = qv::sig::current_config();  // as main loaded them
    hooks.progress = [&](double fraction, uint64_t entries, uint64_t items) {
        auto now = std::chrono::steady_clock::now();
        if (now - last < redraw_every) return;
        last = now;
        std::string status;
        if (carving)
            status = "scanned " + format_size(uint64_t(fraction * double(total_bytes))).toStdString();
        else
            status = "entries " + std::to_string(entries);
        if (!carving && items > 0) status += ", found " + std::to_string(items);
        if (unreadable_bytes() > 0) status += ", unreadable " + format_size(unreadable_bytes()).toStdString();
        bar.update(fraction, status);
    };

    std::optional<qv::deep_checkpointer> checkpoints;
    if (deep_) {
        if (resume_ && resume_->device_path == device_path_ && resume_->device_length == device_->length() &&
            resume_->every_byte == deep_->every_byte() && resume_->free_space == free_space_scan)
            deep_->go_on_from({resume_->position, resume_->search_from, resume_->reported_end}, resume_->records,
                              resume_->unreadable_bytes, resume_->joins);
        const uint64_t carried = deep_->unreadable_so_far();
        checkpoints.emplace(checkpoint_path_, device_path_, device_->length(), deep_->every_byte(),
                            checkpoint_interval_, carried, &deep_->bad());
        checkpoints->set_free_space(free_space_scan);
        deep_->set_block_hook([&](const qv::sig::scan_place& place, const std::vector<raw_item_s>& records,
                                  const qv::record_joins& joins) {
            checkpoints->at_block(place, records, joins);
        });
    }
    {
        interrupt_scope interrupt(token_);
        qv::scan_report report = scanner_->scan(scanned, hooks);
        items_ = std::move(report.items);
        problems_ = std::move(report.problems);
    }
    if (deep_) {
        checkpoints->finish(deep_->finished(), deep_->records(), deep_->joins());
        deep_->set_block_hook({});
    }
    bar.clear();
    complete_ = token_.stop() != qv::stop_reason::user_stopped && !problems_.device_gone();
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
    if (!result || result->device_path != *header || !deep_) {
        if (error)
            *error = file + ": the result cannot be used: its volume " + *header +
                     " is missing, too short, or the file is damaged";
        return false;
    }
    items_ = deep_->adopt(*device_, std::move(result->records), std::move(result->joins)).items;
    return true;
}

int scan_job::save(const std::string& file, bool allow_empty) const {
    if (!deep_) return -1;
    return qv::write_scan_result(file, device_path_, deep_->records(), allow_empty, deep_->joins());
}

uint64_t scan_job::unreadable_bytes() const { return scanner_->unreadable_so_far(); }

qv::recovery_status scan_job::recover(const qv::found_item& item, const std::string& destination) {
    if (!device_) return qv::recovery_status::failed(qv::read_end::corrupt, "no volume was scanned");
    return scanner_->recover(item, destination);
}

void scan_job::name_from_content() {
    if (device_ && carving()) qv::name_carved_from_content(*device_, items_);
}

}  // namespace qv::cli
