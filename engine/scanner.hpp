#pragma once
// What a scanner is: a file-system reader or the carver behind one face, and
// the registry that lists them. The engine choice, the command line, the
// window, the recovery worker, the free-space count and the tests all go
// through the registry; nothing else switches on a kind of engine.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devices/byte_ranges.hpp"
#include "engine/found_item.hpp"
#include "engine/recovery_status.hpp"
#include "engine/scan_hooks.hpp"

namespace qv {

class device_handle;
class scanner;

// What a scan could not read or make sense of.
struct scan_problems {
    uint64_t unreadable_bytes = 0;         // skipped by a walk, read as zeros by the carver
    uint64_t read_errors = 0;              // places that could not be read
    std::vector<std::string> places;       // the first of them, in words ("MFT record 40"), for the log
    std::vector<std::string> corrupt;      // structures that failed their checks: what and where
    read_end end = read_end::complete;     // complete, corrupt (nothing to walk), device_gone or stopped

    bool device_gone() const { return end == read_end::device_gone; }
};

// One scan's result: the found items and what stood in the way.
struct scan_report {
    std::vector<found_item> items;
    scan_problems problems;
};

// One row of the registry: what a scanner reads and how to make one.
struct scanner_kind {
    std::string_view name;  // "fat", "exfat", "ntfs", "deep": the command line's and the log's word
    bool carver = false;    // reads any device by its content; chosen only when asked for
    // True for the device catalog's (blkid's) name of a file system this scanner reads.
    bool (*takes)(std::string_view file_system) = nullptr;
    // Its own look at the boot sector or superblock, for volumes the catalog names no file system for.
    bool (*probe)(device_handle& device) = nullptr;
    // Free bytes of an unmounted volume from its own allocation records; nothing
    // when they cannot be counted. May be null.
    std::optional<uint64_t> (*free_bytes)(device_handle& device) = nullptr;
    std::unique_ptr<scanner> (*make)() = nullptr;
    // The bytes of the volume its allocation records give to something: the
    // areas before the data area (boot and reserved sectors, tables, the MFT)
    // and the clusters or blocks a bitmap or table marks used; merged, sorted
    // runs. Nothing when the records cannot be read. May be null.
    std::optional<std::vector<byte_range>> (*in_use)(device_handle& device) = nullptr;
};

class scanner {
public:
    virtual ~scanner() = default;
    virtual const scanner_kind& kind() const = 0;
    // Scans device to its end, until the hooks' token asks to stop, or until
    // the device goes away. device must stay open while items of the report
    // are recovered.
    virtual scan_report scan(device_handle& device, const scan_hooks& hooks) = 0;
    // Bytes the running or last scan could not read; any thread, while it runs.
    virtual uint64_t unreadable_so_far() const = 0;
    // Writes an item of the last report to destination (replacing a regular
    // file there, never the scanned source). Only while no scan runs.
    virtual recovery_status recover(const found_item& item, const std::string& destination) = 0;
    // Where the data of items of the last report lies on the volume (deleted
    // files too, where the scan knows): the carver's offset and pieces by
    // default; a file-system scanner adds what its records say.
    virtual std::vector<byte_range> item_extents(std::span<const found_item> items) const;
};

// Every scanner, in a fixed order (a scanner's place is its number in the window).
std::span<const scanner_kind* const> scanner_registry();
// The scanner of that name ("fat"), or null.
const scanner_kind* scanner_named(std::string_view name);
// The carver (the deep scan).
const scanner_kind& carving_scanner();
// The file-system scanner for a volume: by the catalog's name of its file
// system; where that is empty, by each scanner's probe of device (may be
// null: then no probe). Null when no scanner reads it.
const scanner_kind* scanner_for(std::string_view file_system, device_handle* device = nullptr);

}  // namespace qv
