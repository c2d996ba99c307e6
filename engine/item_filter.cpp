#include "engine/item_filter.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>

namespace qv {

namespace {

char lower(char c) { return char(std::tolower(static_cast<unsigned char>(c))); }

std::string lower_text(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

struct state_label {
    item_state state;
    const char* name;
};

constexpr state_label state_labels[] = {
    {item_state::unknown, "unknown"},         {item_state::intact, "intact"},
    {item_state::assembled, "assembled"},     {item_state::overwritten, "overwritten"},
    {item_state::damaged, "damaged"},
};

// Reads up to `digits` digits at s[pos]; false when fewer than `least` are there.
bool read_number(std::string_view s, size_t& pos, int least, int digits, int& value) {
    value = 0;
    int n = 0;
    while (n < digits && pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++n;
    }
    return n >= least;
}

// A pattern with a '/' matches the path with or without its leading '/'.
bool name_matches(const std::vector<std::string>& globs, const std::string& name, std::string_view path) {
    const std::string full(path);
    for (const auto& glob : globs) {
        if (glob.find('/') == std::string::npos) {
            if (fnmatch(glob.c_str(), name.c_str(), FNM_CASEFOLD) == 0) return true;
        } else if (!full.empty() && (fnmatch(glob.c_str(), full.c_str(), FNM_CASEFOLD) == 0 ||
                                     fnmatch(glob.c_str(), full.c_str() + 1, FNM_CASEFOLD) == 0)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string canonical_type(std::string_view type) {
    std::string t = lower_text(trimmed(type));
    if (!t.empty() && t.front() == '.') t.erase(0, 1);
    static constexpr std::pair<const char*, const char*> second_spellings[] = {
        {"jpeg", "jpg"}, {"jpe", "jpg"}, {"tif", "tiff"}, {"htm", "html"}, {"mpeg", "mpg"},
        {"heif", "heic"}, {"m2ts", "mts"},
    };
    for (const auto& [other, main] : second_spellings)
        if (t == other) return main;
    return t;
}

std::string item_type(const found_item& item) {
    if (!item.type.empty()) return canonical_type(item.type);
    const size_t dot = item.name.rfind('.');
    if (dot == std::string::npos || dot + 1 == item.name.size()) return {};
    return canonical_type(std::string_view(item.name).substr(dot + 1));
}

bool item_filter::active() const {
    return !types.empty() || min_size > 0 || !name_globs.empty() || !name_contains.empty() || after ||
           before || !states.empty();
}

bool item_filter::matches(const found_item& item, std::string_view path) const {
    if (!active()) return true;
    if (item.directory) return false;
    if (!types.empty() && std::find(types.begin(), types.end(), item_type(item)) == types.end()) return false;
    if (item.size < min_size) return false;
    if (!name_globs.empty() && !name_matches(name_globs, item.name, path)) return false;
    if (!name_contains.empty() && lower_text(item.name).find(lower_text(name_contains)) == std::string::npos)
        return false;
    if ((after || before) && item.modified == 0) return false;
    if (after && item.modified < *after) return false;
    if (before && item.modified >= *before) return false;
    if (!states.empty() && std::find(states.begin(), states.end(), item.state) == states.end()) return false;
    return true;
}

std::optional<uint64_t> parse_size(std::string_view text) {
    std::string_view s = trimmed(text);
    size_t pos = 0;
    while (pos < s.size() && (std::isdigit(static_cast<unsigned char>(s[pos])) || s[pos] == '.')) ++pos;
    std::string number(s.substr(0, pos));
    if (number.empty() || number == "." || std::count(number.begin(), number.end(), '.') > 1) return std::nullopt;
    std::string unit = lower_text(trimmed(s.substr(pos)));
    double scale = 1;
    if (!unit.empty() && unit != "b") {
        static constexpr std::pair<char, double> units[] = {
            {'k', 1024.0}, {'m', 1024.0 * 1024}, {'g', 1024.0 * 1024 * 1024}, {'t', 1024.0 * 1024 * 1024 * 1024}};
        auto it = std::find_if(std::begin(units), std::end(units),
                               [&](const auto& u) { return u.first == unit[0]; });
        if (it == std::end(units)) return std::nullopt;
        std::string_view rest = std::string_view(unit).substr(1);
        if (!rest.empty() && rest != "b" && rest != "ib") return std::nullopt;
        scale = it->second;
    }
    const double bytes = std::stod(number) * scale;
    if (!std::isfinite(bytes) || bytes >= 18446744073709551616.0) return std::nullopt;
    return uint64_t(std::llround(std::floor(bytes)));
}

std::optional<int64_t> parse_date(std::string_view text) {
    std::string_view s = trimmed(text);
    size_t pos = 0;
    int year, month, day, hour = 0, minute = 0, second = 0;
    if (!read_number(s, pos, 4, 4, year) || pos >= s.size() || s[pos++] != '-') return std::nullopt;
    if (!read_number(s, pos, 1, 2, month) || pos >= s.size() || s[pos++] != '-') return std::nullopt;
    if (!read_number(s, pos, 1, 2, day)) return std::nullopt;
    if (pos < s.size()) {
        if (s[pos] != ' ' && s[pos] != 'T') return std::nullopt;
        ++pos;
        if (!read_number(s, pos, 1, 2, hour) || pos >= s.size() || s[pos++] != ':') return std::nullopt;
        if (!read_number(s, pos, 2, 2, minute)) return std::nullopt;
        if (pos < s.size() && (s[pos++] != ':' || !read_number(s, pos, 2, 2, second))) return std::nullopt;
        if (pos != s.size()) return std::nullopt;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    // mktime moves 31 April to 1 May: such a date does not exist.
    if (t == std::time_t(-1) || tm.tm_mday != day || tm.tm_mon != month - 1) return std::nullopt;
    return int64_t(t);
}

std::vector<std::string> parse_types(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        std::string type = canonical_type(text.substr(start, comma - start));
        if (!type.empty() && std::find(out.begin(), out.end(), type) == out.end()) out.push_back(type);
        start = comma + 1;
    }
    return out;
}

std::optional<item_state> parse_state(std::string_view text) {
    const std::string t = lower_text(trimmed(text));
    for (const auto& l : state_labels)
        if (t == l.name) return l.state;
    return std::nullopt;
}

const char* state_name(item_state state) {
    for (const auto& l : state_labels)
        if (l.state == state) return l.name;
    return "unknown";
}

}  // namespace qv
