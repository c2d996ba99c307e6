#pragma once
// Narrows a scan's found items by type, size, name, date and state for listing,
// ticking and recovering; never changes what the scan found.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/found_item.hpp"

namespace qv {

struct item_filter {
    std::vector<std::string> types;   // lower case, no dot ("jpg", "heic"); empty: any type
    uint64_t min_size = 0;            // bytes; 0: any size
    // Shell patterns, any case: the name matches one of them (a pattern with a
    // '/' is matched against the path from the volume root instead); empty: any name.
    std::vector<std::string> name_globs;
    std::string name_contains;        // part of the name, ASCII letters in any case; empty: any name
    std::optional<int64_t> after;     // modified at or after (seconds since 1970 UTC)
    std::optional<int64_t> before;    // modified before
    std::vector<item_state> states;   // empty: any state

    // True when some condition is set.
    bool active() const;
    // An inactive filter passes every item; an active one passes only files
    // that meet every condition set. A file whose time is unknown (0) fails
    // any date condition. path: the item's path from the volume root, for
    // patterns with a '/'.
    bool matches(const found_item& item, std::string_view path = {}) const;
};

// The type a filter compares: a carved file's type, else the name's extension;
// lower case, with common second spellings folded ("jpeg" -> "jpg", "tif" -> "tiff").
std::string item_type(const found_item& item);
std::string canonical_type(std::string_view type);

// "50K", "1.5M", "2G", "700" (bytes); K, M, G and T are powers of 1024 and may
// be followed by "B" or "iB". Nothing for anything else or a size past 2^64.
std::optional<uint64_t> parse_size(std::string_view text);
// "2024-05-01", optionally followed by " 13:45" or "T13:45:10", in local time
// (as the window shows dates): seconds since 1970 UTC. Nothing for a date that
// does not exist.
std::optional<int64_t> parse_date(std::string_view text);
// "jpg,heic, .PNG" -> {"jpg", "heic", "png"} folded as canonical_type does.
std::vector<std::string> parse_types(std::string_view text);
// "intact", "assembled", "overwritten", "damaged", "unknown" (any case).
std::optional<item_state> parse_state(std::string_view text);
const char* state_name(item_state state);

}  // namespace qv
