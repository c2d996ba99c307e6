#include "app/language_settings.hpp"

#include <QStandardPaths>

#include <cstdio>
#include <regex>
#include <string>

#include "app/data_files.hpp"

QSettings* settings = nullptr;
QString recovery_folder;
QString current_language;
QMap<QByteArray, QString> language_texts;
QStringList language_sections;
int language_index = 0;

namespace {

// Lines are read into a buffer of this size, so a longer line reads as several.
constexpr int line_buffer_size = 2048;

const std::regex& section_pattern() {
    static const std::regex re(R"(^\s*\[(.*)\]\s*$)", std::regex::ECMAScript);
    return re;
}

const std::regex& entry_pattern() {
    static const std::regex re(R"re(^\s*([^;].*)\s*=\s*"(.+)"\s*$)re", std::regex::ECMAScript);
    return re;
}

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

QString settings_file_path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/Quorvane/Quorvane.ini";
}

int load_settings() {
    settings = new QSettings(settings_file_path(), QSettings::IniFormat);
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
    if (!settings) settings = new QSettings(settings_file_path(), QSettings::IniFormat);
    settings->setValue("recovery_folder", recovery_folder);
    settings->setValue("language", current_language);
    settings->sync();
    return 0;
}

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

std::optional<QString> registry_language_name() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        QByteArray value = qgetenv(var);
        if (value.isEmpty()) continue;
        int code = locale_language_code(QString::fromLocal8Bit(value));
        for (const auto& c : language_codes)
            if (c.code == code) return QString::fromUtf8(c.name);
        return std::nullopt;
    }
    return std::nullopt;
}

int load_language_file(const QString& wanted, bool make_current) {
    std::string path = find_data_file("language.ini");
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    language_sections.clear();
    bool inside = false;
    char buffer[line_buffer_size];
    std::smatch m;
    while (std::fgets(buffer, sizeof buffer, f)) {
        std::string line(buffer);
        if (std::regex_match(line, m, section_pattern())) {
            QString name = QString::fromUtf8(m[1].str());
            language_sections.append(name);
            if (inside) {
                inside = false;
            } else if (name == wanted) {
                inside = true;
                if (make_current) language_index = int(language_sections.size()) - 1;
            }
        } else if (inside && std::regex_match(line, m, entry_pattern())) {
            std::string value = m[2].str();
            replace_all(value, "\\t", "\t");
            replace_all(value, "\\n", "\n");
            language_texts[QByteArray::fromStdString(m[1].str())] = QString::fromUtf8(value);
        }
    }
    std::fclose(f);
    return 0;
}

QString& language_text(const char* key) { return language_texts[QByteArray(key)]; }

QString language_image_folder() {
    if (language_index < 0 || language_index >= language_sections.size()) return "en";
    const QString& name = language_sections[language_index];
    for (const auto& f : image_folders)
        if (name.compare(QString::fromUtf8(f.section), Qt::CaseInsensitive) == 0) return f.folder;
    return "en";
}

QString top_button_image(const QString& number, const QString& state) {
    return ":/images/multilang/" + language_image_folder() + "/btn_top" + number + state + ".png";
}

QString home_button_image(const QString& base, const QString& state) {
    return "/images/multilang/" + language_image_folder() + "/" + base + state + ".png";
}

QString button_style_sheet(const QString& normal, const QString& hover, const QString& pressed) {
    return QString("QPushButton{ border-image: url(:%1); }QPushButton:hover{ border-image: url(:%2);}"
                   "QPushButton:pressed{  border-image: url(:%3);}")
        .arg(QString::fromLatin1(normal.toLatin1()), QString::fromLatin1(hover.toLatin1()),
             QString::fromLatin1(pressed.toLatin1()));
}
