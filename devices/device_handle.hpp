#pragma once
// An open drive or volume: byte-addressed reads (and, for the repair, writes)
// inside a window of a block device, an image file or memory.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv {

enum class access_mode { read_only, read_write };

class device_handle {
public:
    virtual ~device_handle() = default;

    // Reads up to len bytes at offset (relative to the window). Returns the
    // number of bytes read, which is short only at the end of the window, or
    // -1 on an I/O error. Never reads outside the window.
    virtual int64_t read_at(uint64_t offset, void* buffer, size_t len) = 0;
    // Writes len bytes at offset; -1 on error or when opened read-only.
    virtual int64_t write_at(uint64_t offset, const void* buffer, size_t len) = 0;
    // Flushes written data to the medium; 0 on success.
    virtual int sync() { return 0; }
    // Length of the window in bytes.
    virtual uint64_t length() const = 0;
    // Byte offset of the window on the whole drive (0 for a drive itself).
    virtual uint64_t base_offset() const { return 0; }
    // Path this handle was opened from, for messages.
    virtual std::string path() const { return {}; }
    // False when the medium has gone (a size query fails or gives 0).
    virtual bool medium_present() const { return length() > 0; }
    // Says whether the reads that follow are small ones far apart (the system
    // then reads nothing ahead of them) or go forward again.
    virtual void expect_scattered_reads(bool) {}
    // Where the run of bytes from offset that this handle gives as zeros
    // without reading anything ends (a range left out of a scan); offset itself
    // when offset begins no such run. Readers may skip such a run unread.
    virtual uint64_t unread_zeros_end(uint64_t offset) const { return offset; }

    // Reads exactly len bytes; false on an error or a short read.
    bool read_exact(uint64_t offset, void* buffer, size_t len) {
        return read_at(offset, buffer, len) == int64_t(len);
    }
};

// A window of a file or block device, read with pread/pwrite.
class file_device final : public device_handle {
public:
    // Opens path; length 0 with whole = true means "to the end of the file or device".
    static std::unique_ptr<file_device> open(const std::string& path, uint64_t offset,
                                             uint64_t length, bool whole, access_mode mode,
                                             std::string* error);
    // Takes over an open descriptor (closed on failure too) as above; path is for messages.
    static std::unique_ptr<file_device> adopt(int fd, const std::string& path, uint64_t offset,
                                              uint64_t length, bool whole, access_mode mode,
                                              std::string* error);
    ~file_device() override;
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override;
    int64_t write_at(uint64_t offset, const void* buffer, size_t len) override;
    int sync() override;
    uint64_t length() const override { return length_; }
    uint64_t base_offset() const override { return offset_; }
    std::string path() const override { return path_; }
    bool medium_present() const override;
    void expect_scattered_reads(bool scattered) override;
    int fd() const { return fd_; }

private:
    file_device(int fd, std::string path, uint64_t offset, uint64_t length, bool writable);
    int fd_;
    std::string path_;
    uint64_t offset_;
    uint64_t length_;
    bool writable_;
};

// A device held in memory: fuzz targets and tests that build structures in code.
class memory_device final : public device_handle {
public:
    explicit memory_device(std::vector<uint8_t> bytes, bool writable = false)
        : bytes_(std::move(bytes)), writable_(writable) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override;
    int64_t write_at(uint64_t offset, const void* buffer, size_t len) override;
    uint64_t length() const override { return bytes_.size(); }
    std::string path() const override { return "(memory)"; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    bool writable_;
};

// Size in bytes of an open block device or regular file; -1 on error.
int64_t device_size_of_fd(int fd);

}  // namespace qv
