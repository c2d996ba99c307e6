#pragma once
// Helpers for the NTFS tests: real images made with mkntfs and filled through the
// ntfs-3g mount, hand-built MFT records, a device over a byte buffer, and fls listings.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "ntfsscan/ntfsscan.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

// Runs mkntfs on a new image file of size bytes. False with the reason in why.
bool make_ntfs_image(const std::string& path, uint64_t size, std::string* why,
                     const std::string& options = "");

// An image mounted with ntfs-3g; unmounted at scope end.
class ntfs_mount {
public:
    ntfs_mount() = default;
    ~ntfs_mount() { unmount(); }
    ntfs_mount(const ntfs_mount&) = delete;
    ntfs_mount& operator=(const ntfs_mount&) = delete;
    bool mount(const std::string& image, const std::string& dir, std::string* why);
    bool unmount();
    std::string operator/(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    // ntfs-3g runs in the foreground as our child, so unmounting can wait
    // until it has written everything back to the image.
    int pid_ = -1;
};

// Boot-sector facts read with plain byte reads, independent of the reader under test.
struct ntfs_facts {
    uint32_t cluster_size = 0;
    uint32_t record_size = 0;
    uint64_t mft_offset = 0;     // bytes from the start of the volume
    uint64_t mirror_offset = 0;
    uint64_t cluster_count = 0;
};
ntfs_facts read_facts(const std::vector<uint8_t>& image);

// Little-endian stores into a byte vector.
void put16(std::vector<uint8_t>& b, size_t off, uint16_t v);
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v);
void put64(std::vector<uint8_t>& b, size_t off, uint64_t v);

// Attribute values and records for hand-built MFT entries.
std::vector<uint8_t> standard_information(uint64_t created_ft, uint64_t modified_ft, uint32_t attributes = 0);
// parent_sequence: the sequence number the parent reference names (the root's is 5).
std::vector<uint8_t> file_name(uint64_t parent, const std::u16string& name, uint8_t name_space = 1,
                               uint16_t parent_sequence = 1);
std::vector<uint8_t> resident_attribute(uint32_t type, const std::vector<uint8_t>& value, uint16_t id,
                                        uint16_t flags = 0);
std::vector<uint8_t> non_resident_attribute(uint32_t type, const std::vector<uint8_t>& runlist,
                                            uint64_t lowest_vcn, uint64_t highest_vcn,
                                            uint64_t allocated, uint64_t size, uint64_t initialized,
                                            uint16_t id, uint16_t flags = 0);
// One $ATTRIBUTE_LIST entry.
std::vector<uint8_t> list_entry(uint32_t type, uint64_t start_vcn, uint64_t record, uint16_t id);
// A FILE record of record_size bytes holding attrs, with valid fixups.
std::vector<uint8_t> build_record(uint32_t record_size, uint64_t number, uint16_t flags,
                                  uint64_t base_record, const std::vector<std::vector<uint8_t>>& attrs);
// Windows FILETIME for seconds since 1970.
uint64_t filetime(int64_t unix_seconds);

// A read-only device over a caller's buffer (no copy).
class span_device final : public qv::device_handle {
public:
    explicit span_device(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override;
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return bytes_.size(); }

private:
    const std::vector<uint8_t>& bytes_;
};

// Every record the library delivers for a started context.
std::vector<ntfs_record_s> scan_all(ntfs_context_s& context);
std::string utf8(const char16_t* name);
std::u16string u16(const std::string& utf8_text);

// One line of `fls -r -p`: record number, deleted mark, directory type, path.
struct fls_entry {
    uint64_t id = 0;
    bool deleted = false;
    bool directory = false;
    std::string path;
};
// fls's listing of an image; empty when fls is missing or fails.
std::vector<fls_entry> run_fls(const std::string& image, bool deleted_only);

// A started library context that is cleaned up at scope end.
struct scoped_context {
    ntfs_context_s context{};
    ~scoped_context() { ntfs_scan_cleanup(&context); }
};

}  // namespace qv::test
