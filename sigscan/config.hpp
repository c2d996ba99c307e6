#pragma once
// The deep scan's file types: the Quorvane.conf text format, the built-in
// defaults and where the file is looked for.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sigscan/pattern.hpp"

namespace qv::sig {

// How a found file's length is measured. Structure rules walk the format;
// footer takes the first footer after the header; max takes the maximum size.
enum class size_rule {
    jpeg, png, gif, bmp, tiff, pdf, zip, sevenzip, rar, gzip, bzip2, xz, mp3, riff, isobmff,
    flac, ogg, ole, rtf, html, xml, sqlite, elf, pe,
    raf, matroska, mpegts, mpegps, asf, flv, adts, iff, amr, midi, psd, ico, font, iso9660,
    qcow2, vdi, vmdk,
    footer, max  // keep these two last
};

// The rule's name in the configuration ("jpeg", "7z", ...).
const char* rule_name(size_rule rule);
std::optional<size_rule> rule_from_name(std::string_view name);

struct file_type {
    std::string name;                   // reported type, 1 to 16 of [a-z0-9_+-]
    std::vector<byte_pattern> headers;  // any of them starts a candidate
    std::optional<byte_pattern> footer;
    uint64_t max_size = 0;              // bytes, at least 1
    size_rule rule = size_rule::max;

    bool operator==(const file_type&) const = default;
};

struct signature_config {
    std::vector<file_type> types;  // tried in this order at each offset
    std::string source;            // file it came from; empty for the built-in one

    bool operator==(const signature_config& o) const { return types == o.types; }
};

// Parses the configuration text. Empty with a message ("line 12: ...") on any error:
// a file with a mistake is refused whole rather than half used.
std::optional<signature_config> parse_config(std::string_view text, std::string* error);
// Reads and parses a file.
std::optional<signature_config> load_config_file(const std::string& path, std::string* error);
// The types that apply when no configuration file can be loaded: the text that
// resources/Quorvane.conf ships, compiled in.
std::string_view default_config_text();
const signature_config& default_config();

// Where a configuration path is found: the path itself, then (for a relative
// path) its file name in each of places, by default qv::data_places().
std::optional<std::string> find_config_file(const std::string& path);
std::optional<std::string> find_config_file(const std::string& path, const std::vector<std::string>& places);

// The configuration sc_scan uses; sc_load_config replaces it.
std::shared_ptr<const signature_config> current_config();
void set_current_config(std::shared_ptr<const signature_config> config);

}  // namespace qv::sig
