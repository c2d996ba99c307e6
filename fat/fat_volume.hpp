#pragma once
// A mounted FAT12/16/32 volume as a class: opens a device, reads a folder's
// live and deleted entries and a file's bytes, over the f_* reader functions.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fat/fat_reader.hpp"

namespace qv {
class device_handle;
}

namespace qv::fat {

// One directory entry as a folder read gives it, live or deleted.
struct entry {
    std::u16string short_name;         // "NAME.EXT"; a deleted entry's first letter is the mark decoded
    std::u16string long_name;          // empty when the entry has none
    std::u16string deleted_long_name;  // a deleted entry's long name taken back; empty when none
    uint32_t first_cluster = 0;
    uint32_t size = 0;
    uint16_t write_date = 0, write_time = 0;
    uint16_t create_date = 0, create_time = 0;
    uint8_t attributes = 0;  // with attr_deleted for a deleted entry

    bool deleted() const { return attributes & attr_deleted; }
    bool directory() const { return attributes & attr_directory; }
    // The deleted long name taken back, else the long name, else the short name.
    const std::u16string& name() const;
};

// How a folder at a cluster is read.
struct folder_options {
    // Go on into the following free clusters while they read as entries: a
    // deleted folder, whose chain is gone.
    bool free_walk = false;
    // Read the first cluster alone.
    bool one_cluster = false;
};

class volume;

// A folder being read entry by entry; it must not outlive its volume.
class folder {
public:
    folder() = default;
    // The next entry into *out, which an empty short name marks as the end.
    // An error may still come with the entry just read (the folder's chain
    // broke after it). FAT_DISK_ERROR with skipped_sector() set: that sector
    // could not be read and was skipped; more() tells whether reading goes on.
    fat_result next(entry* out);
    // False once the folder's end is reached.
    bool more() const { return dir_.sector != 0; }
    // The sector the last next() skipped (0 = none), counted in 512-byte sectors.
    uint32_t skipped_sector() const { return dir_.skipped_sector; }
    uint32_t start_cluster() const { return dir_.start_cluster; }

private:
    friend class volume;
    volume* volume_ = nullptr;
    fat_dir dir_;
};

// A file being read from its first cluster; it must not outlive its volume.
class file {
public:
    // Up to count bytes from the current position into destination, *got of
    // them given. contiguous: the cluster after each one is taken as the next
    // (a deleted file, whose chain is gone). Sectors that cannot be read come
    // back as zeros, counted in unreadable(). FAT_NOT_READY once the device is gone;
    // after an error the file gives nothing more.
    fat_result read(void* destination, uint32_t count, uint32_t* got, bool contiguous);
    // Bytes given so far that could not be read (zeros in the output).
    uint64_t unreadable() const { return f_->unreadable; }
    uint32_t position() const { return f_->position; }

private:
    friend class volume;
    explicit file(std::unique_ptr<fat_file> f) : f_(std::move(f)) {}
    std::unique_ptr<fat_file> f_;  // its sector buffer stays off the caller's stack
};

// What read_file gives: the bytes read (those of an unreadable sector are
// zeros), why it stopped early, and how many could not be read.
struct file_bytes {
    std::vector<uint8_t> bytes;
    fat_result result = FAT_OK;
    uint64_t unreadable = 0;
};

// A whole folder: its entries, the first error that ended it (FAT_OK when
// read to its end) and the sectors skipped because they could not be read.
struct folder_listing {
    std::vector<entry> entries;
    fat_result result = FAT_OK;
    std::vector<uint32_t> skipped_sectors;
};

class volume {
public:
    // Mounts the volume at the start of device, which must outlive it. FAT_OK
    // and the volume in *out, or why not: FAT_NOT_READY (no medium or gone),
    // FAT_DISK_ERROR (boot sector unreadable) or FAT_NO_FILESYSTEM.
    static fat_result open(device_handle& device, std::unique_ptr<volume>* out);

    volume(const volume&) = delete;
    volume& operator=(const volume&) = delete;

    // The mounted fields: type, table and data positions, counts.
    const fat_volume& layout() const { return v_; }
    device_handle& device() { return device_; }
    uint32_t cluster_bytes() const { return uint32_t(v_.sectors_per_cluster) * 512; }
    // Byte offset of cluster c (2 and up) on the device.
    uint64_t cluster_offset(uint32_t c) const {
        return (uint64_t(v_.data_start) + uint64_t(c - 2) * v_.sectors_per_cluster) * 512;
    }
    // True once a read found the device gone: nothing more will read.
    bool gone() const { return v_.gone; }
    // For a caller whose own reads found the device gone.
    void mark_gone() { v_.gone = true; }

    // Reads chains from FAT copy `copy` (0 = the first) from now on.
    void use_fat_copy(uint8_t copy);
    // Free clusters that read as folder entries, for the folder reads to go on
    // at and to mark; null for none. Not owned: it must outlive its use.
    void set_free_folders(fat_folder_index* index) { v_.free_folders = index; }

    // The folder at path ("/" = the root), names matched without regard to case.
    // FAT_NO_PATH when some part is missing or no folder, FAT_INVALID_NAME.
    fat_result open_folder(const std::u16string& path, folder* out);
    // The folder whose first cluster is cluster (0 = the root, options unused).
    fat_result open_folder_at(uint32_t cluster, const folder_options& options, folder* out);
    // Every entry of the folder at path.
    folder_listing list(const std::u16string& path);

    // The file of size bytes that starts at first_cluster.
    file open_file(uint32_t first_cluster, uint32_t size);
    // Its bytes whole; a deleted file's are read from consecutive clusters.
    file_bytes read_file(uint32_t first_cluster, uint32_t size, bool contiguous);
    file_bytes read_file(const entry& e) { return read_file(e.first_cluster, e.size, e.deleted()); }

private:
    friend class folder;
    explicit volume(device_handle& device) : device_(device) {}

    device_handle& device_;
    fat_volume v_;
    // The reader's name buffers for one folder entry at a time.
    char16_t long_name_[256] = {};
    char16_t deleted_name_[256] = {};
};

}  // namespace qv::fat
