#pragma once
// The ext2/3/4 scan: live files from today's inodes and folders, deleted files from the
// newest journal copy of their inode in which they were in use (ext2: the inode as it
// lies), their names and folders from journal copies of folder blocks and from entries
// left inside other entries, and copies of one file's bytes. No threads: the caller's
// callback reports progress and may stop the scan or a copy.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ext4/ext4_volume.hpp"
#include "ext4/journal.hpp"

namespace qv::ext4 {

// How much of a file can still be had.
enum class file_state : uint8_t {
    unknown,
    intact,       // every block of it is free (deleted files) or it is live
    overwritten,  // some block of it is in use by something else today
    damaged,      // the map of its blocks is incomplete (an extent or indirect block was lost)
};

// The id of the folder that collects files and folders without a known parent.
constexpr uint64_t lost_files_id = uint64_t(1) << 32;
constexpr const char* lost_files_name = "Lost files";

struct found_file {
    uint64_t id = 0;         // the inode number (lost_files_id for "Lost files")
    uint64_t parent = 0;     // folder's id; 0 = the root folder
    std::string name;        // UTF-8 as stored; "inode N[.ext]" when no name survived
    uint64_t size = 0;
    int64_t mtime = 0, atime = 0, ctime = 0, crtime = 0;  // seconds since 1970 UTC; crtime 0 when unknown
    uint16_t mode = 0;
    bool deleted = false;
    bool directory = false;
    bool symlink = false;
    bool named = false;          // a directory entry gave the name
    bool doubtful = false;       // its inode copy failed its checksum
    std::string symlink_target;
    file_state state = file_state::unknown;
    uint32_t sequence = 0;       // journal transaction its inode came from; 0 = the inode table today
    // How to read it: block runs (holes between them read as zeros) or inline bytes.
    std::vector<block_run> runs;
    std::vector<uint8_t> inline_data;
    bool is_inline = false;
};

struct scan_options {
    bool live_files = true;  // list live files and folders too
    // Asked now and then with the fraction done (0..1); false stops the scan.
    std::function<bool(double)> keep_going;
    // Name of the folder for files without a known folder; empty: lost_files_name.
    std::string lost_files_name;
};

struct scan_result {
    std::vector<found_file> files;  // folders before what they hold is not promised
    bool stopped = false;
    int journal_status = 0;         // 0 read, or a journal_error
    journal_stats journal;
    volume_problems problems;
    uint64_t deleted = 0, live = 0, unnamed = 0;
    uint64_t entries_read = 0;      // inodes and folder entries (today's and the journal's) read
};

scan_result scan(volume& vol, const scan_options& options);

enum class copy_error : uint8_t {
    none,
    io_error,      // some blocks could not be read: zeros in their place, counted
    corrupt,       // the file's block map is incomplete or points outside the volume
    device_gone,   // the device went away; the rest is missing
    stopped,       // keep_going said stop
    write_failed,  // the destination refused bytes
};

struct copy_report {
    copy_error error = copy_error::none;
    uint64_t error_offset = 0;  // file offset of the first unreadable byte (io_error)
    uint64_t unreadable = 0;    // bytes that could not be read (zeros written instead)
    uint64_t written = 0;
};

using write_fn = std::function<bool(const uint8_t* data, size_t len)>;

// Writes the file's bytes (size bytes; a symlink's target) through write.
copy_report copy_file(volume& vol, const found_file& f, const write_fn& write,
                      const std::function<bool()>& keep_going = nullptr);
// The same into an open descriptor at its position.
copy_report copy_file(volume& vol, const found_file& f, int fd, const std::function<bool()>& keep_going = nullptr);

// An extension for a nameless file from its first bytes ("jpg", "png", ...), or empty.
std::string extension_from_content(const uint8_t* data, size_t len);

}  // namespace qv::ext4
