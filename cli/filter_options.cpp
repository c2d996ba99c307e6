#include "cli/filter_options.hpp"

#include <CLI/CLI.hpp>

#include "cli/json_text.hpp"

namespace qv::cli {

void add_filter_options(CLI::App& command, filter_arguments& a) {
    command.add_option("--type", a.types, "Only these types, by extension or carved type: jpg,heic");
    command.add_option("--min-size", a.min_size, "Only files at least this large: 700, 50K, 1.5M, 2G");
    command.add_option("--name", a.names,
                       "Only names matching this glob; with a '/' the path from the volume root (repeatable)");
    command.add_option("--after", a.after, "Only files modified on or after DATE (YYYY-MM-DD[ HH:MM[:SS]], local time)");
    command.add_option("--before", a.before, "Only files modified before DATE");
    command.add_option("--state", a.states, "Only these states: intact,assembled,overwritten,damaged,unknown");
}

std::optional<qv::item_filter> make_item_filter(const filter_arguments& a, std::string* error) {
    qv::item_filter f;
    f.types = qv::parse_types(a.types);
    if (!a.types.empty() && f.types.empty()) {
        *error = "--type " + a.types + ": name at least one type, as in jpg,heic";
        return std::nullopt;
    }
    if (!a.min_size.empty()) {
        auto size = qv::parse_size(a.min_size);
        if (!size) {
            *error = "--min-size " + a.min_size + ": a size as in 700, 50K, 1.5M or 2G";
            return std::nullopt;
        }
        f.min_size = *size;
    }
    f.name_globs = a.names;
    for (auto [text, name, bound] : {std::tuple{&a.after, "--after", &f.after}, std::tuple{&a.before, "--before", &f.before}}) {
        if (text->empty()) continue;
        auto when = qv::parse_date(*text);
        if (!when) {
            *error = std::string(name) + " " + *text + ": a date as in 2024-05-01 or 2024-05-01 13:45";
            return std::nullopt;
        }
        *bound = *when;
    }
    if (f.after && f.before && *f.after >= *f.before) {
        *error = "--after " + a.after + " is not before --before " + a.before;
        return std::nullopt;
    }
    size_t start = 0;
    while (!a.states.empty() && start <= a.states.size()) {
        size_t comma = a.states.find(',', start);
        if (comma == std::string::npos) comma = a.states.size();
        const std::string word = a.states.substr(start, comma - start);
        auto state = qv::parse_state(word);
        if (!state) {
            *error = "--state " + word + ": one of intact, assembled, overwritten, damaged, unknown";
            return std::nullopt;
        }
        f.states.push_back(*state);
        start = comma + 1;
    }
    return f;
}

std::string state_json_fields(const qv::found_item& item) {
    std::string out = ",\"state\":\"" + std::string(qv::state_name(item.state)) + "\"";
    if (!item.short_name.empty()) out += ",\"short_name\":" + json_quote(item.short_name);
    if (item.state == qv::item_state::damaged) out += ",\"unreadable\":" + std::to_string(item.unreadable_bytes);
    return out;
}

}  // namespace qv::cli
