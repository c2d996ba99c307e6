#pragma once
// The window's FAT engine: runs the FAT scanner on its own thread over the volume's
// device handle and keeps the result for the tree, the table and recoveries.

#include <memory>

#include "engine/fs_scanners.hpp"
#include "engine/fat_item.hpp"
#include "engine/recovery_base.hpp"

namespace qv {
class device_handle;
}

class fat_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    using item_map = qv::fat_item_map;

    explicit fat_recovery_c(QObject* parent = nullptr);
    ~fat_recovery_c() override;

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
    int32_t recover_file(uint64_t id, QString destination) override;
    qv::recovery_status recover(uint64_t id, const QString& destination) override;
    uint64_t unreadable_bytes() const override { return scanner_.core().problems().unreadable_bytes(); }
    bool device_vanished() const override { return scanner_.core().problems().vanished(); }
    uint64_t last_unreadable_bytes() const override { return last_.unreadable_bytes; }
    int32_t build_item_path(uint64_t id, QString* out) override;

    // The scan itself on the calling thread, over a device opened by the
    // caller (tests and fuzzing; run() opens the volume's path). Clears the
    // result first; the engine keeps the device for later recoveries.
    void scan_device(std::unique_ptr<qv::device_handle> device);
    // The folder for files whose folder is gone, in the user's language (next scans).
    void set_lost_files_name(const QString& name) { lost_files_name_ = name; }

    // The result: read only after the thread has finished.
    const item_map& items() const {
        result_published();
        return items_;
    }
    const volume_item_s& volume() const { return volume_; }
    // Byte offset of the scanned volume on its drive.
    uint64_t volume_offset() const { return scanner_.core().volume_offset(); }

    static int64_t fat_time(uint16_t date, uint16_t time) { return qv::fat_core::fat_time(date, time); }
    static double entry_progress(uint64_t entries_before) { return qv::fat_core::entry_progress(entries_before); }

protected:
    void run() override;
    std::vector<qv::found_item> make_found_items() override;

private:
    void scan_open_device();

    item_map items_;
    volume_item_s volume_;
    qv::scan_token token_;
    std::unique_ptr<qv::device_handle> device_;
    qv::fat_scanner scanner_;
    qv::recovery_status last_;
    QString lost_files_name_;
};
