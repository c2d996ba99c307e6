#include "fat/fat_volume.hpp"

#include <iterator>

#include "devices/device_handle.hpp"

namespace qv::fat {

namespace {

constexpr uint32_t read_chunk = 64 * 1024;

}  // namespace

const std::u16string& entry::name() const {
    if (!deleted_long_name.empty()) return deleted_long_name;
    return long_name.empty() ? short_name : long_name;
}

fat_result folder::next(entry* out) {
    *out = entry{};
    if (!volume_) return FAT_INVALID_OBJECT;
    fat_entry_info info;
    info.long_name = volume_->long_name_;
    info.long_name_size = std::size(volume_->long_name_);
    info.deleted_long_name = volume_->deleted_name_;
    info.deleted_long_name_size = std::size(volume_->deleted_name_);
    fat_result r = f_readdir(&dir_, &info);
    // The reader fills the entry before it moves on, so an error may come with one.
    out->short_name = info.short_name;
    if (out->short_name.empty()) return r;
    out->long_name = info.long_name;
    out->deleted_long_name = info.deleted_long_name;
    out->first_cluster = info.first_cluster;
    out->size = info.size;
    out->write_date = info.write_date;
    out->write_time = info.write_time;
    out->create_date = info.create_date;
    out->create_time = info.create_time;
    out->attributes = info.attributes;
    return r;
}

fat_result file::read(void* destination, uint32_t count, uint32_t* got, bool contiguous) {
    return f_readfile(f_.get(), destination, count, got, contiguous ? 1 : 0);
}

fat_result volume::open(device_handle& device, std::unique_ptr<volume>* out) {
    out->reset();
    std::unique_ptr<volume> v(new volume(device));
    fat_result r = f_mount(&v->v_, device);
    if (r == FAT_OK) *out = std::move(v);
    return r;
}

void volume::use_fat_copy(uint8_t copy) {
    v_.active_fat = copy;
    v_.window_sector = 0;  // the window may hold a sector of the other copy
}

fat_result volume::open_folder(const std::u16string& path, folder* out) {
    out->volume_ = nullptr;
    fat_result r = f_opendir(&out->dir_, &v_, path.c_str());
    if (r == FAT_OK) out->volume_ = this;
    return r;
}

fat_result volume::open_folder_at(uint32_t cluster, const folder_options& options, folder* out) {
    fat_result r = open_folder(u"/", out);
    if (r != FAT_OK || cluster == 0) return r;
    fat_dir& d = out->dir_;
    d.start_cluster = cluster;
    d.cluster = cluster;
    d.free_walk = options.free_walk ? 1 : 0;
    d.one_cluster = options.one_cluster ? 1 : 0;
    // Rewinding positions the folder at its first cluster.
    r = f_readdir(&d, nullptr);
    if (r != FAT_OK) out->volume_ = nullptr;
    return r;
}

folder_listing volume::list(const std::u16string& path) {
    folder_listing listing;
    folder f;
    listing.result = open_folder(path, &f);
    if (listing.result != FAT_OK) return listing;
    for (;;) {
        entry e;
        const fat_result r = f.next(&e);
        const bool had_entry = !e.short_name.empty();
        if (had_entry) listing.entries.push_back(std::move(e));
        if (r == FAT_DISK_ERROR && f.skipped_sector() != 0 && !gone()) {
            listing.skipped_sectors.push_back(f.skipped_sector());
            if (!f.more()) break;
            continue;
        }
        if (r != FAT_OK) {
            listing.result = r;
            break;
        }
        if (!had_entry) break;
    }
    return listing;
}

file volume::open_file(uint32_t first_cluster, uint32_t size) {
    auto f = std::make_unique<fat_file>();
    f->volume = &v_;
    f->mount_id = v_.mount_id;
    f->flags = fat_file_read;
    f->size = size;
    f->start_cluster = first_cluster;
    return file(std::move(f));
}

file_bytes volume::read_file(uint32_t first_cluster, uint32_t size, bool contiguous) {
    file_bytes out;
    file f = open_file(first_cluster, size);
    // Grown as bytes come, so a size no volume holds allocates no more than was read.
    for (;;) {
        const size_t had = out.bytes.size();
        out.bytes.resize(had + read_chunk);
        uint32_t got = 0;
        out.result = f.read(out.bytes.data() + had, read_chunk, &got, contiguous);
        out.bytes.resize(had + got);
        if (out.result != FAT_OK || got == 0) break;
    }
    out.unreadable = f.unreadable();
    return out;
}

}  // namespace qv::fat
