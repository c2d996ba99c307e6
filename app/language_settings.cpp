#include "app/language_settings.hpp"

#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>
#include <string>

#include "devices/data_places.hpp"

QSettings* settings = nullptr;
QString recovery_folder;
QString current_language;
QMap<QByteArray, QString> language_texts;
QStringList language_sections;
int language_index = 0;

namespace {

// Lines are read into a buffer of this size, so a longer line reads as several.
constexpr int line_buffer_size = 2048;

// Whitespace and "any character" as the line patterns below use them (the
// ECMAScript classes \s and . in the "C" locale).
bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool line_end(char c) { return c == '\n' || c == '\r'; }

}  // namespace

namespace qv {

// A section line, ^\s*\[(.*)\]\s*$: the name between the first '[' and the
// last ']', with no line end inside it.
std::optional<std::string> language_section_name(std::string_view line) {
    size_t first = 0;
    while (first < line.size() && blank(line[first])) ++first;
    size_t last = line.size();
    while (last > first && blank(line[last - 1])) --last;
    if (last - first < 2 || line[first] != '[' || line[last - 1] != ']') return std::nullopt;
    std::string_view name = line.substr(first + 1, last - first - 2);
    for (char c : name)
        if (line_end(c)) return std::nullopt;
    return std::string(name);
}

// An entry line, ^\s*([^;].*)\s*=\s*"(.+)"\s*$, matched with the same
// preferences as a backtracking matcher: the most leading blanks that leave a
// match, then the longest key; the value runs to the last '"'. Linear time,
// so a long hostile line costs no more than reading it.
std::optional<std::pair<std::string, std::string>> language_entry(std::string_view s) {
    const size_t n = s.size();
    size_t close = n;  // the closing quote: the last character that is not blank
    while (close > 0 && blank(s[close - 1])) --close;
    if (close == 0 || s[close - 1] != '"') return std::nullopt;
    --close;
    // Where the value's opening quote must be, for a key ending at p: blanks,
    // '=', blanks, '"', then at least one character that is not a line end up
    // to the closing quote. clean_from: the first index from which no line end
    // occurs before the closing quote.
    size_t clean_from = close;
    while (clean_from > 0 && !line_end(s[clean_from - 1])) --clean_from;
    std::vector<size_t> next_solid(n + 1, n);  // first non-blank index at or after i
    for (size_t i = n; i-- > 0;) next_solid[i] = blank(s[i]) ? next_solid[i + 1] : i;
    auto value_start = [&](size_t p) -> size_t {  // npos when no value follows a key ending at p
        size_t eq = next_solid[p];
        if (eq >= n || s[eq] != '=') return std::string_view::npos;
        size_t open = next_solid[eq + 1];
        if (open >= close || s[open] != '"' || open + 1 >= close || open + 1 < clean_from)
            return std::string_view::npos;
        return open + 1;
    };
    // best[x]: the largest p <= x with a value after it, or npos.
    std::vector<size_t> best(n + 1, std::string_view::npos);
    for (size_t p = 0; p <= n; ++p) {
        best[p] = p > 0 ? best[p - 1] : std::string_view::npos;
        if (value_start(p) != std::string_view::npos) best[p] = p;
    }
    const size_t lead = next_solid[0];  // the most leading blanks possible
    // hi: the first line end after the key's first character (where its .* must stop), or n.
    size_t hi = n;
    for (size_t i = n; i-- > lead + 1;)
        if (line_end(s[i])) hi = i;
    for (size_t a = lead;; --a) {
        if (a < lead && line_end(s[a + 1])) hi = a + 1;
        if (a < n && s[a] != ';') {
            size_t p = best[hi];
            if (p != std::string_view::npos && p >= a + 1) {
                size_t v = value_start(p);
                return std::make_pair(std::string(s.substr(a, p - a)), std::string(s.substr(v, close - v)));
            }
        }
        if (a == 0) break;
    }
    return std::nullopt;
}

}  // namespace qv

namespace {

void replace_all(std::string& s, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
        s.replace(pos, from.size(), to);
}

struct language_code {
    int code;
    const char* name;
};

const language_code language_codes[] = {
    {1, "English"},  {2, "Deutsch"},  {3, "Español"},  {4, "Français"},   {5, "Italiano"},
    {6, "日本語"},    {7, "简体中文"}, {8, "繁體中文"}, {9, "Nederlands"}, {10, "Português"},
};

struct image_folder {
    const char* section;
    const char* folder;
};

const image_folder image_folders[] = {
    {"Deutsch", "de"},  {"Français", "fr"}, {"Español", "es"},    {"简体中文", "cn"},
    {"繁體中文", "hk"}, {"Italiano", "it"}, {"日本語", "jp"},     {"Português", "pt"},
    {"Nederlands", "nl"}, {"العربية", "ar"},
};

}  // namespace

namespace qv {

QString settings_file_path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/Quorvane/Quorvane.ini";
}

}  // namespace qv

int load_settings() {
    settings = new QSettings(qv::settings_file_path(), QSettings::IniFormat);
    recovery_folder = settings->value("recovery_folder").toString();
    current_language = settings->value("language").toString();
    if (current_language.isEmpty()) {
        if (auto name = registry_language_name()) {
            current_language = *name;
            settings->setValue("language", current_language);
            settings->sync();
        } else {
            current_language = "English";
        }
    }
    load_language_file("English", false);
    load_language_file(current_language, true);
    return 0;
}

int save_settings() {
    if (!settings) settings = new QSettings(qv::settings_file_path(), QSettings::IniFormat);
    settings->setValue("recovery_folder", recovery_folder);
    settings->setValue("language", current_language);
    settings->sync();
    return 0;
}

namespace qv {

int locale_language_code(const QString& locale) {
    QString l = locale.section('.', 0, 0).section('@', 0, 0);
    QString lang = l.section('_', 0, 0).toLower();
    QString region = l.section('_', 1, 1).toUpper();
    if (lang == "en") return 1;
    if (lang == "de") return 2;
    if (lang == "es") return 3;
    if (lang == "fr") return 4;
    if (lang == "it") return 5;
    if (lang == "ja") return 6;
    if (lang == "zh" && (region == "CN" || region == "SG")) return 7;
    if (lang == "zh" && (region == "TW" || region == "HK")) return 8;
    if (lang == "nl") return 9;
    if (lang == "pt") return 10;
    return 0;
}

}  // namespace qv

std::optional<QString> registry_language_name() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        QByteArray value = qgetenv(var);
        if (value.isEmpty()) continue;
        int code = qv::locale_language_code(QString::fromLocal8Bit(value));
        for (const auto& c : language_codes)
            if (c.code == code) return QString::fromUtf8(c.name);
        return std::nullopt;
    }
    return std::nullopt;
}

int load_language_file(const QString& wanted, bool make_current) {
    return qv::load_language_file_at(qv::find_data_file("language.ini"), wanted, make_current);
}

namespace qv {

int load_language_file_at(const std::string& path, const QString& wanted, bool make_current) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    std::string text;
    char chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
    parse_language_text(text, wanted, make_current);
    return 0;
}

void parse_language_text(std::string_view text, const QString& wanted, bool make_current) {
    language_sections.clear();
    bool inside = false;
    size_t pos = 0;
    while (pos < text.size()) {
        // A line as a buffer of line_buffer_size bytes holds it: through its
        // newline, cut when longer, and ending at a NUL byte inside it.
        size_t take = std::min(text.size() - pos, size_t(line_buffer_size - 1));
        size_t newline = text.substr(pos, take).find('\n');
        if (newline != std::string_view::npos) take = newline + 1;
        std::string_view raw = text.substr(pos, take);
        pos += take;
        std::string line(raw.substr(0, raw.find('\0')));
        if (auto section = language_section_name(line)) {
            QString name = QString::fromUtf8(*section);
            language_sections.append(name);
            if (inside) {
                inside = false;
            } else if (name == wanted) {
                inside = true;
                if (make_current) language_index = int(language_sections.size()) - 1;
            }
        } else if (!inside) {
            continue;
        } else if (auto entry = language_entry(line)) {
            std::string& value = entry->second;
            replace_all(value, "\\t", "\t");
            replace_all(value, "\\n", "\n");
            language_texts[QByteArray::fromStdString(entry->first)] = QString::fromUtf8(value);
        }
    }
}

}  // namespace qv

QString& language_text(const char* key) { return language_texts[QByteArray(key)]; }

QString language_image_folder() {
    if (language_index < 0 || language_index >= language_sections.size()) return "en";
    const QString& name = language_sections[language_index];
    for (const auto& f : image_folders)
        if (name.compare(QString::fromUtf8(f.section), Qt::CaseInsensitive) == 0) return f.folder;
    return "en";
}
