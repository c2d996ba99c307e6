#include "ntfsscan/file_recovery.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "devices/destination_file.hpp"
#include "devices/fd_write.hpp"
#include "ntfsscan/ntfs_layout.hpp"

namespace qv::ntfs {

namespace {

constexpr size_t copy_block = 1u << 20;

int write_non_resident(volume& vol, const data_stream& data, int fd) {
    const uint64_t cs = vol.cluster_size();
    const uint64_t readable = data.initialized;  // bytes past it are zeros
    std::vector<uint8_t> block;
    for (const auto& run : data.runs) {
        uint64_t run_start = run.vcn * cs;
        if (run_start >= readable) break;
        if (run.sparse) continue;  // a hole: left unwritten, reads back as zeros
        uint64_t run_end = std::min(run_start + run.length * cs, readable);
        for (uint64_t pos = run_start; pos < run_end;) {
            uint64_t piece = std::min<uint64_t>(copy_block, run_end - pos);
            block.resize(size_t(piece));
            uint64_t device_offset = run.lcn * cs + (pos - run_start);
            if (!vol.device().read_exact(device_offset, block.data(), block.size()))
                return recover_read_failed;
            if (!qv::pwrite_all(fd, block.data(), block.size(), pos)) return recover_write_failed;
            pos += piece;
        }
    }
    return 0;
}

}  // namespace

bool is_source_path(volume& vol, const char* path) { return qv::is_source_path(vol.device(), path); }

int recover_record(volume& vol, uint64_t number, const char* destination) {
    if (!destination || !*destination) return recover_destination;
    std::vector<uint8_t> record;
    if (!vol.load_record(number, record)) return recover_bad_record;
    byte_view view(record.data(), record.size());
    record_header header;
    if (!read_record_header(view, header) || header.base_record != 0) return recover_bad_record;

    file_info info;
    parse_file_record(view, header, number, vol, parse_depth::content, true, info);
    const data_stream& data = info.data;
    if (info.directory || !data.present) return recover_no_data;
    if (data.compressed || data.encrypted || (info.file_attributes & si::attribute_encrypted))
        return recover_unsupported;
    if (data.corrupt) return recover_bad_runs;
    if (!data.resident) {
        const uint64_t cs = vol.cluster_size();
        if (!data.runs_valid || data.mapped_clusters < (data.size + cs - 1) / cs)
            return recover_bad_runs;
    }

    int fd = qv::create_destination(vol.device(), destination);
    if (fd < 0) return recover_destination;
    qv::destination_file out(fd, destination);
    if (data.resident) {
        if (!qv::pwrite_all(fd, data.resident_bytes.data(), data.resident_bytes.size(), 0))
            return recover_write_failed;
    } else {
        int r = write_non_resident(vol, data, fd);
        if (r != 0) return r;
        if (::ftruncate(fd, off_t(data.size)) != 0) return recover_write_failed;
    }
    return out.keep() ? 0 : recover_write_failed;
}

}  // namespace qv::ntfs
