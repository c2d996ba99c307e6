#include "sigscan/config.hpp"

#include <unistd.h>

#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "devices/data_places.hpp"

namespace qv::sig {

namespace {

struct rule_entry {
    size_rule rule;
    const char* name;
};

constexpr std::array<rule_entry, 43> rule_names{{
    {size_rule::jpeg, "jpeg"},     {size_rule::png, "png"},       {size_rule::gif, "gif"},
    {size_rule::bmp, "bmp"},       {size_rule::tiff, "tiff"},     {size_rule::pdf, "pdf"},
    {size_rule::zip, "zip"},       {size_rule::sevenzip, "7z"},   {size_rule::rar, "rar"},
    {size_rule::gzip, "gzip"},     {size_rule::bzip2, "bzip2"},   {size_rule::xz, "xz"},
    {size_rule::mp3, "mp3"},       {size_rule::riff, "riff"},     {size_rule::isobmff, "isobmff"},
    {size_rule::flac, "flac"},     {size_rule::ogg, "ogg"},       {size_rule::ole, "ole"},
    {size_rule::rtf, "rtf"},       {size_rule::html, "html"},     {size_rule::xml, "xml"},
    {size_rule::sqlite, "sqlite"}, {size_rule::elf, "elf"},       {size_rule::pe, "pe"},
    {size_rule::raf, "raf"},       {size_rule::matroska, "matroska"}, {size_rule::mpegts, "mpegts"},
    {size_rule::mpegps, "mpegps"}, {size_rule::asf, "asf"},       {size_rule::flv, "flv"},
    {size_rule::adts, "adts"},     {size_rule::iff, "iff"},       {size_rule::amr, "amr"},
    {size_rule::midi, "midi"},     {size_rule::psd, "psd"},       {size_rule::ico, "ico"},
    {size_rule::font, "font"},     {size_rule::iso9660, "iso9660"}, {size_rule::qcow2, "qcow2"},
    {size_rule::vdi, "vdi"},       {size_rule::vmdk, "vmdk"},
    {size_rule::footer, "footer"}, {size_rule::max, "max"},
}};

constexpr uint64_t max_allowed_size = uint64_t(1) << 50;  // 1 PiB: anything larger is a typo

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool valid_type_name(std::string_view name) {
    if (name.empty() || name.size() > 16) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::optional<uint64_t> parse_size(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    std::string_view unit = trim(std::string_view(end, size_t(text.data() + text.size() - end)));
    int shift = 0;
    if (unit.empty() || unit == "B") shift = 0;
    else if (unit == "K") shift = 10;
    else if (unit == "M") shift = 20;
    else if (unit == "G") shift = 30;
    else if (unit == "T") shift = 40;
    else return std::nullopt;
    if (value == 0 || value > (max_allowed_size >> shift)) return std::nullopt;
    return value << shift;
}

std::mutex config_mutex;
std::shared_ptr<const signature_config> config_in_force;

}  // namespace

const char* rule_name(size_rule rule) {
    for (const auto& e : rule_names)
        if (e.rule == rule) return e.name;
    return "?";
}

std::optional<size_rule> rule_from_name(std::string_view name) {
    for (const auto& e : rule_names)
        if (name == e.name) return e.rule;
    return std::nullopt;
}

std::optional<signature_config> parse_config(std::string_view text, std::string* error) {
    signature_config config;
    file_type* current = nullptr;
    bool has_rule = false, has_max = false;
    int line_number = 0;
    std::string why;

    auto finish_entry = [&]() -> bool {
        if (!current) return true;
        if (current->headers.empty()) {
            why = "type \"" + current->name + "\" has no header";
            return false;
        }
        if (!has_max) {
            why = "type \"" + current->name + "\" has no max";
            return false;
        }
        if (!has_rule) current->rule = current->footer ? size_rule::footer : size_rule::max;
        if (current->rule == size_rule::footer && !current->footer) {
            why = "type \"" + current->name + "\" uses rule footer but has no footer";
            return false;
        }
        return true;
    };
    auto fail = [&](const std::string& message) -> std::optional<signature_config> {
        if (error) *error = "line " + std::to_string(line_number) + ": " + message;
        return std::nullopt;
    };

    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view raw = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++line_number;
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;

        if (line.front() == '[') {
            if (line.back() != ']') return fail("a type line looks like [name]");
            if (!finish_entry()) return fail(why);
            std::string_view name = trim(line.substr(1, line.size() - 2));
            if (!valid_type_name(name))
                return fail("a type name has 1 to 16 characters of a-z, 0-9, _, + and -");
            for (const auto& t : config.types)
                if (t.name == name) return fail("type \"" + std::string(name) + "\" is listed twice");
            config.types.push_back(file_type{});
            current = &config.types.back();
            current->name = std::string(name);
            has_rule = has_max = false;
            continue;
        }

        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return fail("expected \"key = value\" or [name]");
        std::string_view key = trim(line.substr(0, eq));
        std::string_view value = trim(line.substr(eq + 1));
        if (!current) return fail("\"" + std::string(key) + "\" comes before the first [name]");
        std::string pattern_error;
        if (key == "header") {
            auto p = byte_pattern::parse(value, &pattern_error);
            if (!p) return fail(pattern_error);
            current->headers.push_back(std::move(*p));
        } else if (key == "footer") {
            if (current->footer) return fail("a type has at most one footer");
            auto p = byte_pattern::parse(value, &pattern_error);
            if (!p) return fail(pattern_error);
            current->footer = std::move(*p);
        } else if (key == "max") {
            auto size = parse_size(value);
            if (!size) return fail("max is a size such as 4096, 512K, 64M or 2G");
            current->max_size = *size;
            has_max = true;
        } else if (key == "rule") {
            auto rule = rule_from_name(value);
            if (!rule) return fail("unknown rule \"" + std::string(value) + "\"");
            current->rule = *rule;
            has_rule = true;
        } else {
            return fail("unknown key \"" + std::string(key) + "\"");
        }
    }
    if (!finish_entry()) return fail(why);
    if (config.types.empty()) return fail("no file type is configured");
    return config;
}

std::optional<signature_config> load_config_file(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot be opened";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().size() > (1u << 20)) {
        if (error) *error = path + ": larger than 1 MiB";
        return std::nullopt;
    }
    std::string why;
    auto config = parse_config(text.str(), &why);
    if (!config) {
        if (error) *error = path + ": " + why;
        return std::nullopt;
    }
    config->source = path;
    return config;
}

const signature_config& default_config() {
    static const signature_config config = [] {
        auto parsed = parse_config(default_config_text(), nullptr);
        return parsed ? *parsed : signature_config{};
    }();
    return config;
}

std::optional<std::string> find_config_file(const std::string& path) {
    return find_config_file(path, data_places());
}

std::optional<std::string> find_config_file(const std::string& path, const std::vector<std::string>& places) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.empty()) return std::nullopt;
    if (fs::is_regular_file(path, ec)) return path;
    fs::path p(path);
    if (p.is_absolute()) return std::nullopt;
    for (const auto& place : places) {
        fs::path candidate = fs::path(place) / p.filename();
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return std::nullopt;
}

std::shared_ptr<const signature_config> current_config() {
    std::lock_guard lock(config_mutex);
    if (!config_in_force)
        config_in_force = std::shared_ptr<const signature_config>(&default_config(), [](auto*) {});
    return config_in_force;
}

void set_current_config(std::shared_ptr<const signature_config> config) {
    std::lock_guard lock(config_mutex);
    config_in_force = std::move(config);
}

}  // namespace qv::sig
