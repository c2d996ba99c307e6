#pragma once
// The language table, the language menu's list and the settings file that
// remembers the chosen language.

#include <QByteArray>
#include <QMap>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

// Process-wide state, built by load_settings before any window exists.
extern QSettings* settings;
extern QString recovery_folder;
extern QString current_language;
extern QMap<QByteArray, QString> language_texts;
extern QStringList language_sections;
extern int language_index;

// Opens the settings file, picks the language (settings, else the locale,
// else English) and loads the English texts and then the chosen ones. 0.
int load_settings();
// Writes "recovery_folder" and "language" and flushes the file. 0.
int save_settings();
// The language named by the user's locale (LC_ALL, LC_MESSAGES, LANG), if it is one we ship.
std::optional<QString> registry_language_name();
// Reads the section `wanted` of language.ini into language_texts and lists
// every section in language_sections. 0, or -1 when the file cannot be opened.
int load_language_file(const QString& wanted, bool make_current);
// The text for a key; a key the table lacks yields (and stores) empty text.
QString& language_text(const char* key);
// "cn", "de", "en", ...: the short name of the section at language_index, which
// names the folder of that language's lettered images.
QString language_image_folder();

namespace qv {

// load_language_file from a given file, and from the file's text already in memory.
int load_language_file_at(const std::string& path, const QString& wanted, bool make_current);
void parse_language_text(std::string_view text, const QString& wanted, bool make_current);
// One line of language.ini: a section's name ("[Deutsch]"), or an entry's key
// and value (key = "value", the value's \t and \n escapes still in it).
std::optional<std::string> language_section_name(std::string_view line);
std::optional<std::pair<std::string, std::string>> language_entry(std::string_view line);
// Where the settings file lives: the user's configuration folder.
QString settings_file_path();
// The language code of a locale string ("de_DE.UTF-8" -> 2), 0 when unknown.
int locale_language_code(const QString& locale);

}  // namespace qv
