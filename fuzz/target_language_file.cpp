// The language.ini reader: sections, entries and escapes, for the English
// table and for a second language made current. Short lines are also matched
// against the patterns the line rules were first written as, which must agree.

#include <regex>
#include <string>
#include <string_view>

#include "app/language_settings.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

// Longer lines make the backtracking patterns slow; the rules are checked on short ones.
constexpr size_t compared_line_length = 160;
constexpr int compared_lines = 48;

void compare_with_patterns(std::string_view text) {
    static const std::regex section(R"(^\s*\[(.*)\]\s*$)", std::regex::ECMAScript);
    static const std::regex entry(R"re(^\s*([^;].*)\s*=\s*"(.+)"\s*$)re", std::regex::ECMAScript);
    size_t pos = 0;
    for (int lines = 0; pos < text.size() && lines < compared_lines; ++lines) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string line(text.substr(pos, end - pos));
        pos = end;
        if (line.size() > compared_line_length || line.find('\0') != std::string::npos) continue;
        std::smatch m;
        bool is_section = std::regex_match(line, m, section);
        auto name = qv::language_section_name(line);
        QV_FUZZ_CHECK(is_section == name.has_value() && (!is_section || m[1].str() == *name));
        bool is_entry = std::regex_match(line, m, entry);
        auto kv = qv::language_entry(line);
        QV_FUZZ_CHECK(is_entry == kv.has_value());
        QV_FUZZ_CHECK(!is_entry || (m[1].str() == kv->first && m[2].str() == kv->second));
    }
}

}  // namespace

int language_file(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    language_texts.clear();
    language_index = 0;
    qv::parse_language_text(text, QStringLiteral("English"), false);
    qv::parse_language_text(text, QStringLiteral("Deutsch"), true);
    QV_FUZZ_CHECK(language_index >= 0 &&
                  (language_index == 0 || language_index < language_sections.size()));
    language_image_folder();
    language_text("ok");
    compare_with_patterns(text);
    return 0;
}

}  // namespace qv::fuzz
