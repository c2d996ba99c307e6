#pragma once
// The new file a recovered item is written to: never the source, removed unless kept.
#include "devices/device_handle.hpp"

namespace qv {

// True when path names the image file or block device that source reads, so
// it must never be replaced or written.
bool is_source_path(device_handle& source, const char* path);

// Creates destination as a new regular file for writing and returns its
// descriptor, or -1. An existing regular file or symbolic link of that name
// is replaced; anything else (a device, a folder, the source itself) is refused.
int create_destination(device_handle& source, const char* destination);

// Owns a destination descriptor; the file is removed when it goes out of
// scope without keep(), so a failed copy leaves nothing behind.
class destination_file {
public:
    destination_file(int fd, const char* path) : fd_(fd), path_(path) {}
    ~destination_file();
    destination_file(const destination_file&) = delete;
    destination_file& operator=(const destination_file&) = delete;
    int fd() const { return fd_; }
    // Closes the file and keeps it; false when the close reports a write error.
    bool keep();

private:
    int fd_;
    const char* path_;
    bool kept_ = false;
};

}  // namespace qv
