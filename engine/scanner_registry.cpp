// The registry of scanners: the one list of what reads a volume. A new file
// system adds its row here (declared, then listed) and nowhere else.
#include <array>

#include "devices/device_handle.hpp"
#include "engine/fs_scanners.hpp"
#include "engine/scanner.hpp"

namespace qv {

extern const scanner_kind fat_scanner_kind;    // engine/fat_scanner.cpp
extern const scanner_kind exfat_scanner_kind;  // engine/exfat_scanner.cpp
extern const scanner_kind ntfs_scanner_kind;   // engine/ntfs_scanner.cpp
extern const scanner_kind deep_scanner_kind;   // engine/deep_scanner.cpp
extern const scanner_kind ext4_scanner_kind;   // engine/ext4_scanner.cpp

namespace {

// A scanner's place in this list is its number in the window (recovery_engine_kind).
const std::array<const scanner_kind*, 5> registry{
    &fat_scanner_kind,
    &ntfs_scanner_kind,
    &deep_scanner_kind,
    &exfat_scanner_kind,
    &ext4_scanner_kind,
};

}  // namespace

std::span<const scanner_kind* const> scanner_registry() { return registry; }

const scanner_kind* scanner_named(std::string_view name) {
    for (const scanner_kind* kind : registry)
        if (kind->name == name) return kind;
    return nullptr;
}

const scanner_kind& carving_scanner() {
    for (const scanner_kind* kind : registry)
        if (kind->carver) return *kind;
    return deep_scanner_kind;
}

const scanner_kind* scanner_for(std::string_view file_system, device_handle* device) {
    for (const scanner_kind* kind : registry)
        if (!kind->carver && kind->takes && kind->takes(file_system)) return kind;
    // A name the catalog gave is trusted: another file system's boot sector
    // may still look like one of ours (an old FAT one under ext4, say).
    if (!file_system.empty() || !device) return nullptr;
    for (const scanner_kind* kind : registry)
        if (!kind->carver && kind->probe && kind->probe(*device)) return kind;
    return nullptr;
}

std::vector<byte_range> scanner::item_extents(std::span<const found_item> items) const {
    std::vector<byte_range> out;
    for (const found_item& item : items) {
        if (item.directory) continue;
        if (!item.pieces.empty()) {
            for (const item_piece& p : item.pieces)
                if (p.size > 0) out.push_back({p.offset, p.size});
        } else if (!item.type.empty() && item.size > 0) {
            out.push_back({item.offset, item.size});  // a carved file lies whole at its offset
        }
    }
    return out;
}

read_end scan_end(const scan_hooks& hooks, bool device_gone) {
    if (device_gone) return read_end::device_gone;
    if (hooks.token && hooks.token->stop_requested()) return read_end::stopped;
    return read_end::complete;
}

const char* read_end_name(read_end end) {
    switch (end) {
        case read_end::complete:
            return "complete";
        case read_end::io_error:
            return "I/O error";
        case read_end::corrupt:
            return "corrupt structure";
        case read_end::device_gone:
            return "the device went away";
        case read_end::stopped:
            return "stopped";
    }
    return "?";
}

std::string failure_text(const recovery_status& status) {
    if (status.destination_failed) return "the destination cannot be written";
    std::string text = read_end_name(status.end);
    if (status.end == read_end::io_error && status.offset != 0) text += " at byte " + std::to_string(status.offset);
    if (!status.what.empty()) text += ": " + status.what;
    return text;
}

}  // namespace qv
