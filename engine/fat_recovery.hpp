#pragma once
// The scan engine for FAT12/16/32 volumes: files every directory and every
// deleted file, and copies a deleted file out from consecutive clusters.

#include <unordered_map>

#include "engine/fat_item.hpp"
#include "engine/recovery_base.hpp"
#include "engine/scan_controls.hpp"

struct fat_dir;

class fat_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    using item_map = std::unordered_map<uint32_t, fat_item_s>;

    explicit fat_recovery_c(QObject* parent = nullptr);

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
    int32_t recover_file(uint64_t id, QString destination) override;
    int32_t build_item_path(uint64_t id, QString* out) override;

    // The scan itself on the calling thread, over the volume that the sector
    // layer's volume_locations[0] names (tests and fuzzing; run() maps the
    // volume path first). Clears the result first.
    void scan_located_volume();

    // The result: read only after the thread has finished.
    const item_map& items() const {
        result_published();
        return items_;
    }
    const volume_item_s& volume() const { return volume_; }

    // FAT date and time words as seconds since 1970, read as local time; 0
    // when not representable.
    static int64_t fat_time(uint16_t date, uint16_t time);
    // The progress shown before reading an entry: the entries read so far over
    // 2000, held at 0.99 once that passes 1.
    static double entry_progress(uint64_t entries_before);

protected:
    void run() override;

private:
    void walk(uint32_t cluster, uint32_t parent, uint8_t under_deleted, bool deleted_folder, int depth);
    // Directory entries the whole walk may read on the mounted volume.
    static uint64_t walk_entry_budget();
    // Files an item by the replacement rules; true when its cluster was new.
    bool file_item(const fat_item_s& item);
    void walk_located_volume();
    // Files the root and links the tree.
    void finish_items();
    void link_and_mark();

    item_map items_;
    volume_item_s volume_;
    scan_controls controls_;
};

// Walks deeper than this are cut off (a hostile image could nest without end).
inline constexpr int fat_max_walk_depth = 256;
