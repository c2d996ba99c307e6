#pragma once
// The window's NTFS engine: runs the NTFS scanner on its own thread over the volume's
// device handle and keeps the result for the tree, the table and recoveries.

#include <QByteArray>

#include <memory>

#include "engine/fs_scanners.hpp"
#include "engine/recovery_base.hpp"

class ntfs_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    using item_map = qv::ntfs_item_map;

    explicit ntfs_recovery_c(QObject* parent = nullptr);
    ~ntfs_recovery_c() override;

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
    // Removes a regular file at destination, then has the library write the
    // item's data there, live or deleted: 0, or -1 (recover_destination_failed
    // when the destination cannot be written).
    int32_t recover_file(uint64_t id, QString destination) override;
    qv::recovery_status recover(uint64_t id, const QString& destination) override;
    uint64_t unreadable_bytes() const override { return unreadable_.load(std::memory_order_relaxed); }
    bool device_vanished() const override { return vanished_.load(std::memory_order_relaxed); }
    uint64_t last_unreadable_bytes() const override { return last_.unreadable_bytes; }
    // mount_path without its trailing separator, then "/" and each name from
    // the topmost folder below the root down to the item. -1 when an item of
    // the chain is missing or the parents loop.
    int32_t build_item_path(uint64_t id, QString* out) override;

    // The result: read only after the thread has finished.
    const item_map& items() const {
        result_published();
        return items_;
    }
    const volume_item_s& volume() const { return volume_; }
    // The name of the folder for lost files; set before the scan starts.
    void set_lost_files_name(const QString& name) { scanner_.core().set_lost_files_name(name.toStdU16String()); }

    // "/dev/hd<letter><partition>" for the library: the letter is 'a' + disk_number.
    static QByteArray device_name(int32_t disk_number, int32_t partition_number);
    // Where the start-up failure line goes: "Pellacord.log" in the application's local data folder.
    static QString log_path();
    // Appends the start-up failure line for value to the log and writes it to standard error.
    static void log_startup_failure(int value);

protected:
    void run() override;
    std::vector<qv::found_item> make_found_items() override;

private:
    volume_item_s volume_;
    qv::scan_token token_;
    std::unique_ptr<qv::device_handle> device_;
    qv::ntfs_scanner scanner_;
    qv::recovery_status last_;
    std::atomic<uint64_t> unreadable_{0};  // copied from the core on the scanning thread
    std::atomic<bool> vanished_{false};
    item_map items_;
};
