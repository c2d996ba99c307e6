#include "engine/free_space_mask.hpp"

#include <algorithm>
#include <optional>

#include "devices/device_handle.hpp"
#include "engine/scanner.hpp"

namespace qv {

namespace {

// The ranges cut to the device's length.
std::vector<byte_range> inside(std::vector<byte_range> ranges, uint64_t length) {
    for (byte_range& r : ranges) {
        if (r.offset >= length) r.length = 0;
        else r.length = std::min(r.length, length - r.offset);
    }
    return merged_ranges(std::move(ranges));
}

free_space_mask unknown(std::string why) {
    free_space_mask mask;
    mask.unknown_why = std::move(why);
    return mask;
}

// The volume's scanner and the ranges its allocation records give to
// something, or why they are not known.
struct allocation {
    const scanner_kind* kind = nullptr;
    std::optional<std::vector<byte_range>> in_use;
    std::string unknown_why;
};

allocation read_allocation(device_handle& device, std::string_view file_system) {
    allocation a;
    a.kind = scanner_for(file_system, &device);
    if (!a.kind) a.unknown_why = "no file system this program reads";
    else if (!a.kind->in_use) a.unknown_why = std::string(a.kind->name) + ": its allocation is not read";
    else if (!(a.in_use = a.kind->in_use(device)))
        a.unknown_why = std::string(a.kind->name) + " allocation records cannot be read";
    return a;
}

}  // namespace

bool free_space_readable(device_handle& device, std::string_view file_system) {
    return read_allocation(device, file_system).in_use.has_value();
}

free_space_mask read_free_space_mask(device_handle& device, std::string_view file_system, const scan_hooks& hooks) {
    allocation a = read_allocation(device, file_system);
    if (!a.in_use) return unknown(std::move(a.unknown_why));
    const scanner_kind* kind = a.kind;
    auto& in_use = a.in_use;

    free_space_mask mask;
    mask.known = true;
    mask.scanner = std::string(kind->name);
    const uint64_t length = device.length();
    std::vector<byte_range> allocated = inside(std::move(*in_use), length);
    mask.in_use_bytes = covered_bytes(allocated);

    std::unique_ptr<scanner> fs = kind->make();
    scan_report report = fs->scan(device, hooks);
    std::vector<byte_range> all = fs->item_extents(report.items);
    mask.found_items = size_t(std::count_if(report.items.begin(), report.items.end(),
                                            [](const found_item& i) { return !i.directory; }));
    all.insert(all.end(), allocated.begin(), allocated.end());
    mask.masked = inside(std::move(all), length);
    mask.found_bytes = covered_bytes(mask.masked) - mask.in_use_bytes;
    return mask;
}

}  // namespace qv
