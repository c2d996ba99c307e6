#include "ntfsscan/ntfsscan.hpp"

#include <algorithm>
#include <vector>

#include "devices/device_catalog.hpp"
#include "devices/read_problems.hpp"
#include "ntfsscan/cluster_bitmap.hpp"
#include "ntfsscan/file_recovery.hpp"
#include "ntfsscan/ntfs_volume.hpp"

using qv::ntfs_context_counter_a;
using qv::ntfs_context_counter_b;
using qv::ntfs_context_counter_c;
using qv::ntfs_context_s;
using qv::ntfs_context_started;
using qv::ntfs_context_total;
using qv::ntfs_flag_deleted;
using qv::ntfs_flag_directory;
using qv::ntfs_flag_file;
using qv::ntfs_record_s;
using qv::ntfs_state_intact;
using qv::ntfs_state_overwritten;
using qv::ntfs_state_unknown;

namespace {

using namespace qv::ntfs;

// Where the library keeps its state object's address inside the context.
constexpr size_t context_state = 16;
// MFT bytes read per block during the walk.
constexpr size_t walk_block_bytes = 4u << 20;
constexpr int32_t context_started_value = 1;

struct scan_state {
    std::unique_ptr<volume> vol;
    cluster_bitmap bitmap;  // which clusters live data holds
    std::vector<uint8_t> block;
    uint64_t block_first = 0;
    uint64_t block_records = 0;
    uint64_t next = 0;
    uint32_t in_use = 0;  // counter a
    uint32_t other = 0;   // counter b
    qv::read_problems problems;  // MFT records that could not be read, a vanished device
    bool gone = false;
};

void put32(ntfs_context_s* c, size_t offset, uint32_t v) { std::memcpy(c->bytes + offset, &v, sizeof v); }
void put64(ntfs_context_s* c, size_t offset, int64_t v) { std::memcpy(c->bytes + offset, &v, sizeof v); }

scan_state* state_of(ntfs_context_s* c) {
    if (!c || ntfs_context_u32(*c, ntfs_context_started) == 0) return nullptr;
    scan_state* s;
    std::memcpy(&s, c->bytes + context_state, sizeof s);
    return s;
}

void publish_counters(ntfs_context_s* c, const scan_state& s) {
    put32(c, ntfs_context_counter_a, s.in_use);
    put32(c, ntfs_context_counter_b, s.other);
    put32(c, ntfs_context_counter_c, 0);
}

// A deleted file is overwritten when any cluster of its data is in use now.
uint8_t data_state(scan_state& s, const uint8_t* raw, const record_header& header, uint64_t number,
                   const file_info& info) {
    if (info.in_use || info.directory || !info.data.present || info.data.resident) return ntfs_state_intact;
    if (!s.bitmap.known() || info.data.corrupt) return ntfs_state_unknown;
    file_info content;
    parse_file_record(qv::byte_view(raw, s.vol->geometry().record_size), header, number, *s.vol,
                      parse_depth::content, true, content);
    if (!content.data.runs_valid) return ntfs_state_unknown;
    return s.bitmap.any_in_use(content.data.runs) ? ntfs_state_overwritten : ntfs_state_intact;
}

void fill_item(const file_info& info, uint64_t number, ntfs_record_s* item) {
    item->id = number;
    item->parent = info.parent;
    item->parent_sequence = info.parent_sequence;
    item->size = info.directory ? 0 : info.data.size;
    item->date2 = info.created;
    item->date1 = info.modified;
    item->flags = info.directory ? ntfs_flag_directory : ntfs_flag_file;
    if (!info.in_use) item->flags |= ntfs_flag_deleted;
    size_t units = std::min<size_t>(info.name_length, std::size(item->name) - 1);
    std::copy_n(info.name, units, item->name);
    item->name[units] = 0;
}

}  // namespace

namespace qv {

int ntfs_scan_startup_device(std::unique_ptr<device_handle> device, ntfs_context_s* context) {
    if (!context) return open_no_device;
    std::unique_ptr<volume> vol;
    int r = volume::open(std::move(device), &vol);
    if (r < 0) return r;
    auto* s = new scan_state;
    s->vol = std::move(vol);
    s->bitmap = cluster_bitmap::load(*s->vol);
    std::memset(context->bytes, 0, sizeof context->bytes);
    std::memcpy(context->bytes + context_state, &s, sizeof s);
    // Each record is worth 8 steps, so 8 * (a + b) reaches the total at the end.
    uint64_t records = s->vol->record_count();
    put64(context, ntfs_context_total, int64_t(records * 8));
    put32(context, ntfs_context_started, context_started_value);
    return 0;
}

}  // namespace qv

int ntfs_scan_startup(const char* device_name, ntfs_context_s* context) {
    if (!device_name || !context) return open_no_device;
    auto& catalog = qv::device_catalog::shared();
    auto path = catalog.resolve_ntfs_name(device_name);
    if (!path) return open_no_device;
    auto device = catalog.open(*path, qv::access_mode::read_only);
    if (!device) return open_unreadable;
    return qv::ntfs_scan_startup_device(std::move(device), context);
}

int ntfs_scan_next(ntfs_context_s* context, ntfs_record_s* item) {
    scan_state* s = state_of(context);
    if (!s || !item) return 0;
    volume& vol = *s->vol;
    const uint64_t rs = vol.geometry().record_size;
    const uint64_t count = vol.record_count();
    while (s->next < count) {
        if (s->next >= s->block_first + s->block_records || s->block.empty()) {
            uint64_t per_block = std::max<uint64_t>(1, walk_block_bytes / rs);
            s->block_first = s->next;
            s->block_records = std::min(per_block, count - s->next);
            s->block.resize(size_t(per_block * rs));
            std::vector<volume::unreadable_record> unreadable;
            if (!vol.read_records(s->block_first, size_t(s->block_records), s->block.data(), &unreadable)) {
                // The device has gone: the walk ends with what it found.
                s->gone = true;
                s->problems.note_vanished();
                break;
            }
            for (const auto& r : unreadable) {
                s->problems.note(r.bytes, "MFT record " + std::to_string(r.number));
                // A record with holes is not trusted: skipped whole.
                std::memset(s->block.data() + (r.number - s->block_first) * rs, 0, size_t(rs));
            }
        }
        uint64_t number = s->next++;
        uint8_t* raw = s->block.data() + (number - s->block_first) * rs;
        record_header header;
        bool valid = apply_fixups(raw, rs) && read_record_header(qv::byte_view(raw, rs), header);
        if (valid && header.in_use())
            ++s->in_use;
        else
            ++s->other;
        publish_counters(context, *s);
        if (!valid || header.base_record != 0) continue;  // extension records belong to their base

        file_info info;
        parse_file_record(qv::byte_view(raw, rs), header, number, vol, parse_depth::summary, true, info);
        if (!info.has_name) continue;  // never used, or nothing left to show
        fill_item(info, number, item);
        item->sequence = header.sequence;
        item->state = data_state(*s, raw, header, number, info);
        return 1;
    }
    // The walk is over (or the device gone): the block buffer is not needed for recoveries.
    std::vector<uint8_t>().swap(s->block);
    s->block_records = 0;
    return 0;
}

void ntfs_scan_cleanup(ntfs_context_s* context) {
    if (!context) return;
    delete state_of(context);
    std::memset(context->bytes, 0, sizeof context->bytes);
}

int ntfs_recover_file(ntfs_context_s* context, uint64_t id, const char* destination, uint64_t* unreadable) {
    if (unreadable) *unreadable = 0;
    scan_state* s = state_of(context);
    if (!s) return recover_not_started;
    return recover_record(*s->vol, id, destination, unreadable);
}

namespace qv {

const read_problems* ntfs_scan_problems(ntfs_context_s* context) {
    scan_state* s = state_of(context);
    return s ? &s->problems : nullptr;
}

bool ntfs_is_source_path(ntfs_context_s* context, const char* path) {
    scan_state* s = state_of(context);
    return s && is_source_path(*s->vol, path);
}

}  // namespace qv
