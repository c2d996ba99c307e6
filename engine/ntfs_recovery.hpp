#pragma once
// The scan engine for NTFS volumes: keeps the directories and deleted files that the
// NTFS scanning library delivers, links them into a tree, and has the library copy one out.

#include <QByteArray>

#include <unordered_map>
#include <vector>

#include "engine/recovery_base.hpp"
#include "engine/scan_controls.hpp"
#include "ntfsscan/ntfsscan.hpp"

// One file record as the library wrote it (576 bytes), then the engine's own fields.
struct ntfs_item_s : ntfs_record_s {
    uint8_t has_files = 0;                 // 1 when a file lies somewhere below
    std::vector<ntfs_item_s*> children;    // items whose parent is this item's id
};

// Record numbers 0-11 are the volume's metadata files; 5 is the root directory.
inline constexpr uint64_t ntfs_root_id = 5;
inline constexpr uint64_t ntfs_last_metadata_id = 11;

class ntfs_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    using item_map = std::unordered_map<uint64_t, ntfs_item_s>;

    explicit ntfs_recovery_c(QObject* parent = nullptr);
    ~ntfs_recovery_c() override;

    void set_volume(const volume_item_s& volume) override;
    double progress() override { return controls_.progress; }
    void set_progress(double value) override { controls_.progress = value; }
    void set_stop(int32_t value) override { controls_.stop = value; }
    int32_t stop_state() override { return controls_.stop; }
    int32_t is_paused() override { return controls_.paused; }
    void set_paused(int32_t value) override { controls_.paused = value; }
    uint64_t entries_read() override { return controls_.entries; }
    uint64_t items_found() override { return controls_.items; }
    void reset() override;
    // Removes a regular file at destination, then has the library write the
    // item's data there: 0, or the library's negative result.
    int32_t recover_file(uint64_t id, QString destination) override;
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

    // "/dev/hd<letter><partition>" for the library: the letter is 'a' + disk_number.
    static QByteArray device_name(int32_t disk_number, int32_t partition_number);
    // Where the start-up failure line goes: "Pellacord.log" in the application's local data folder.
    static QString log_path();
    // Appends the start-up failure line for value to the log and writes it to standard error.
    static void log_startup_failure(int value);

protected:
    void run() override;

private:
    void link_and_mark();

    ntfs_context_s context_{};
    volume_item_s volume_;
    scan_controls controls_;
    item_map items_;
};
