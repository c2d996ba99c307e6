#pragma once
// The window's exFAT engine: runs the exFAT scanner on its own thread over the volume's
// device handle and keeps the result for the tree, the table and recoveries.

#include <memory>
#include <string>

#include "engine/fs_scanners.hpp"
#include "engine/recovery_base.hpp"

class exfat_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    explicit exfat_recovery_c(QObject* parent = nullptr);
    ~exfat_recovery_c() override;

    void set_volume(const volume_item_s& volume) override;
    double progress() override { return token_.progress; }
    void set_progress(double value) override { token_.progress = value; }
    void set_stop(qv::stop_reason why) override { token_.request_stop(why); }
    qv::stop_reason stop_state() override { return token_.stop(); }
    int32_t is_paused() override { return token_.paused() ? 1 : 0; }
    void set_paused(int32_t value) override { token_.set_paused(value != 0); }
    uint64_t entries_read() override { return token_.entries; }
    uint64_t items_found() override { return token_.items; }
    void reset() override;
    // Writes the item's data to destination through the scanner: 0, or -1
    // (recover_destination_failed when the destination cannot be written).
    int32_t recover_file(uint64_t id, QString destination) override;
    qv::recovery_status recover(uint64_t id, const QString& destination) override;
    uint64_t unreadable_bytes() const override { return unreadable_.load(std::memory_order_relaxed); }
    bool device_vanished() const override { return vanished_.load(std::memory_order_relaxed); }
    uint64_t last_unreadable_bytes() const override { return last_.unreadable_bytes; }
    // mount_path, then "/" and each name from the topmost folder below the
    // root down to the item; -1 when an item of the chain is missing or the parents loop.
    int32_t build_item_path(uint64_t id, QString* out) override;

    const volume_item_s& volume() const { return volume_; }
    // 0, or why the last scan could not open the volume (exfat::open_error).
    int open_error() const {
        result_published();
        return open_error_;
    }

protected:
    void run() override;
    std::vector<qv::found_item> make_found_items() override;

public:
    // The folder for files whose folder is gone, in the user's language (next scans).
    void set_lost_files_name(const QString& name) { lost_files_name_ = name.toStdString(); }

private:
    std::string lost_files_name_;
    volume_item_s volume_;
    qv::scan_token token_;
    std::unique_ptr<qv::device_handle> device_;
    qv::exfat_scanner scanner_;
    qv::recovery_status last_;
    std::vector<qv::found_item> items_;
    int open_error_ = 0;
    std::atomic<uint64_t> unreadable_{0};  // of the last walk, once it has ended
    std::atomic<bool> vanished_{false};
};
