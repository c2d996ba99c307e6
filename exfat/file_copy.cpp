#include "exfat/file_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "devices/destination_file.hpp"
#include "devices/fd_write.hpp"

namespace qv::exfat {

namespace {

constexpr size_t copy_block = 4u << 20;

timespec to_timespec(const timestamp& t) {
    timespec ts{};
    ts.tv_sec = time_t(t.seconds);
    ts.tv_nsec = long(t.nanoseconds);
    return ts;
}

}  // namespace

bool is_source_path(volume& vol, const char* path) { return qv::is_source_path(vol.device(), path); }

int copy_file(volume& vol, const found_entry& item, const char* destination, copy_report* report) {
    if (item.set.directory()) return copy_not_a_file;
    if (!destination || !*destination) return copy_destination;
    const geometry& g = vol.layout();
    const entry_set& set = item.set;
    const uint64_t valid = std::min(set.valid_length, set.data_length);
    if (set.data_length > 0 && !g.valid_cluster(set.first_cluster)) return copy_no_data;

    data_plan plan = plan_data(vol, set, item.deleted, UINT64_MAX);
    int fd = qv::create_destination(vol.device(), destination);
    if (fd < 0) return copy_destination;
    qv::destination_file out(fd, destination);

    copy_report local;
    std::vector<uint8_t> block;
    uint64_t pos = 0;
    for (const extent& r : plan.runs) {
        if (pos >= valid) break;
        const uint64_t run_bytes = std::min<uint64_t>(uint64_t(r.count) * g.cluster_size, valid - pos);
        const uint64_t source = g.cluster_offset(r.cluster);
        for (uint64_t done = 0; done < run_bytes;) {
            const size_t piece = size_t(std::min<uint64_t>(copy_block, run_bytes - done));
            block.resize(piece);
            int64_t got = vol.device().read_at(source + done, block.data(), piece);
            if (got < 0) got = 0;
            if (size_t(got) < piece) {
                std::memset(block.data() + got, 0, piece - size_t(got));
                local.unreadable += piece - size_t(got);
            }
            if (!qv::pwrite_all(fd, block.data(), piece, pos + done)) return copy_write_failed;
            done += piece;
        }
        pos += run_bytes;
    }
    if (pos < valid) local.missing = valid - pos;
    // The rest reads as zeros: past the valid data length, and what no cluster holds.
    if (::ftruncate(fd, off_t(set.data_length)) != 0) return copy_write_failed;
    const timespec modified = to_timespec(set.modified);
    const timespec accessed = set.accessed.seconds != 0 ? to_timespec(set.accessed) : modified;
    if (set.modified.seconds != 0) {
        const timespec times[2] = {accessed, modified};
        ::futimens(fd, times);
    }
    if (!out.keep()) return copy_write_failed;
    if (report) *report = local;
    return 0;
}

}  // namespace qv::exfat
