#pragma once
// An opened NTFS volume: its geometry, the $MFT's own runs, and checked reads of
// MFT records (in large sequential blocks or one at a time) and of clusters.

#include <cstdint>
#include <memory>
#include <vector>

#include "devices/device_handle.hpp"
#include "ntfsscan/file_record.hpp"
#include "ntfsscan/ntfs_boot.hpp"

namespace qv::ntfs {

// Results of volume::open.
enum open_error : int {
    open_no_device = -1,     // the device name does not resolve
    open_unreadable = -2,    // the device cannot be opened or read
    open_bad_boot = -3,      // neither boot sector describes an NTFS volume
    open_bad_mft = -4,       // record 0 ($MFT) is unreadable in the MFT and in its mirror
    open_bad_mft_runs = -5,  // the $MFT's runlist is corrupt
    open_gone = -6,          // the device went away while it was being opened
};

class volume final : public record_source {
public:
    // Opens the volume on device (read-only use). 0 and the volume in *out, or an open_error.
    static int open(std::unique_ptr<device_handle> device, std::unique_ptr<volume>* out);

    const boot_geometry& geometry() const { return geometry_; }
    device_handle& device() { return *device_; }
    // MFT records that the $MFT's runs hold.
    uint64_t record_count() const { return record_count_; }

    // A record some of whose bytes could not be read.
    struct unreadable_record {
        uint64_t number = 0;
        uint64_t bytes = 0;
    };
    // Reads records [first, first + count) into buffer (count * record size
    // bytes) with one read per contiguous piece of the MFT. Sectors that
    // cannot be read are zero (so their records fail their fixups) and the
    // records they belong to are added to *unreadable (may be null). False
    // when the device has gone: nothing more will read.
    bool read_records(uint64_t first, size_t count, uint8_t* buffer,
                      std::vector<unreadable_record>* unreadable = nullptr);

    bool load_record(uint64_t number, std::vector<uint8_t>& buffer) override;
    bool read_clusters(uint64_t lcn, uint64_t count, uint8_t* out) override;
    uint32_t cluster_size() const override { return geometry_.cluster_size; }
    uint64_t cluster_count() const override { return geometry_.cluster_count; }

private:
    explicit volume(std::unique_ptr<device_handle> device) : device_(std::move(device)) {}
    // Reads record 0 at lcn and takes the $MFT's runs from it: 0 or an open_error.
    int load_mft_runs(uint64_t lcn);
    bool read_mft_record_zero(uint64_t lcn, std::vector<uint8_t>& buffer);
    bool set_mft_runs(const data_stream& data);

    std::unique_ptr<device_handle> device_;
    boot_geometry geometry_;
    std::vector<cluster_run> mft_runs_;
    uint64_t record_count_ = 0;
};

}  // namespace qv::ntfs
