#pragma once
// Turns a base MFT record (and the extension records its $ATTRIBUTE_LIST names) into what a
// scan shows and what a recovery needs: name, parent, times, flags and the unnamed $DATA stream.

#include <cstdint>
#include <vector>

#include "devices/le_bytes.hpp"
#include "ntfsscan/mft_record.hpp"
#include "ntfsscan/runlist.hpp"

namespace qv::ntfs {

// Where extension records and non-resident attribute lists are read from.
class record_source {
public:
    virtual ~record_source() = default;
    // Reads record number into buffer (resized to the record size) and
    // applies its fixups; false when it cannot be read or is not a valid record.
    virtual bool load_record(uint64_t number, std::vector<uint8_t>& buffer) = 0;
    // Reads count clusters from lcn; false on a short read or a range outside the volume.
    virtual bool read_clusters(uint64_t lcn, uint64_t count, uint8_t* out) = 0;
    virtual uint32_t cluster_size() const = 0;
    virtual uint64_t cluster_count() const = 0;
};

// Largest file size the reader believes (256 TiB); larger sizes are corrupt.
inline constexpr uint64_t max_file_size = uint64_t(1) << 48;
// Longest NTFS name in UTF-16 units.
inline constexpr size_t max_name_units = 255;

struct data_stream {
    bool present = false;
    bool resident = false;
    bool compressed = false;
    bool encrypted = false;
    bool corrupt = false;      // sizes or value bounds that cannot be right
    uint64_t size = 0;         // bytes of file data
    uint64_t initialized = 0;  // bytes past this read as zeros
    // Filled only when content is asked for:
    std::vector<uint8_t> resident_bytes;
    std::vector<cluster_run> runs;  // in VCN order, contiguous from VCN 0
    uint64_t mapped_clusters = 0;   // VCNs the runs cover
    bool runs_valid = false;        // every segment decoded and the segments join up
};

struct file_info {
    bool in_use = false;
    bool directory = false;
    bool has_name = false;
    uint8_t name_rank = 0;
    uint16_t name_length = 0;
    char16_t name[max_name_units + 1] = {};
    uint64_t parent = 0;  // record number of the parent directory
    uint16_t parent_sequence = 0;  // the sequence number that reference expects there
    bool has_times = false;
    int64_t created = 0;   // seconds since 1970-01-01 UTC
    int64_t modified = 0;
    uint32_t file_attributes = 0;
    data_stream data;
};

enum class parse_depth {
    summary,  // name, parent, times, flags, data size: what a scan lists
    content,  // also the resident bytes and the full runlist: what a recovery writes
};

// Parses the base record number (already fixed up, header read). With
// follow_lists, extension records named by its attribute list are read
// through source; they count only when they name this record as their base,
// and their own attribute lists are never followed.
void parse_file_record(byte_view record, const record_header& header, uint64_t number,
                       record_source& source, parse_depth depth, bool follow_lists, file_info& out);

// Windows FILETIME (100 ns units since 1601) to seconds since 1970; 0 stays 0.
int64_t filetime_to_unix(uint64_t filetime);

}  // namespace qv::ntfs
