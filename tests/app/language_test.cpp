// The language file rules and the settings file, on files written by the tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSettings>

#include <filesystem>
#include <fstream>

#include "app/language_settings.hpp"
#include "devices/data_places.hpp"
#include "tests/support/test_support.hpp"

namespace {

// Runs each test in a fresh folder with its own language.ini and settings place.
class languages : public ::testing::Test {
protected:
    void SetUp() override {
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_ / "config"));
        for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"}) qunsetenv(v);
        language_texts.clear();
        language_sections.clear();
        language_index = 0;
        current_language.clear();
        recovery_folder.clear();
        delete settings;
        settings = nullptr;
    }
    void TearDown() override { std::filesystem::current_path(old_cwd_); }
    void write_language_file(const std::string& text) {
        std::ofstream out("language.ini", std::ios::binary);
        out << text;
    }
    qv::test::temp_dir dir_;
    std::filesystem::path old_cwd_;
};

const char* three_languages =
    "; a comment=\"never an entry\"\n"
    "[English]\n"
    "btn_back=\"Back\"\n"
    "only_english=\"English only\"\n"
    "escapes=\"a\\tb\\nc\\\\d \\x\"\n"
    "quoted=\"say \"hi\" now\"\n"
    "spaced =\"blank before the equals sign\"\n"
    "  indented = \"  padded  \"  \n"
    "empty=\"\"\n"
    "broken line without equals\n"
    "[Deutsch]\n"
    "btn_back=\"Zurück\"\n"
    "[Deutsch]\n"
    "btn_back=\"Zweites Mal\"\n"
    "[Français]\n"
    "btn_back=\"Retour\"\n";

TEST_F(languages, entries_escapes_and_fallback_follow_the_file_rules) {
    write_language_file(three_languages);
    ASSERT_EQ(load_language_file("English", false), 0);
    ASSERT_EQ(load_language_file("Deutsch", true), 0);

    EXPECT_EQ(language_text("btn_back"), "Zurück") << "the chosen section overrides English";
    EXPECT_EQ(language_text("only_english"), "English only") << "a key the section lacks falls back";
    EXPECT_EQ(language_text("escapes"), "a\tb\nc\\\\d \\x") << "only \\t and \\n are escapes";
    EXPECT_EQ(language_text("quoted"), "say \"hi\" now") << "the value runs to the last quote";
    EXPECT_EQ(language_text("spaced"), "") << "a blank before '=' belongs to the key";
    EXPECT_EQ(language_text("spaced "), "blank before the equals sign");
    EXPECT_EQ(language_text("indented "), "  padded  ");
    EXPECT_EQ(language_text("empty"), "") << "an empty value is no entry";
    EXPECT_EQ(language_text("missing"), "");
    EXPECT_TRUE(language_texts.contains("missing")) << "a lookup stores the empty text";
    EXPECT_FALSE(language_texts.contains("; a comment"));

    EXPECT_EQ(language_sections, QStringList({"English", "Deutsch", "Deutsch", "Français"}));
    EXPECT_EQ(language_index, 1) << "a header right after the wanted section only ends it";
    EXPECT_EQ(language_image_folder(), "de");
}

TEST_F(languages, image_folders_follow_the_current_section) {
    write_language_file("[English]\n[简体中文]\n[Português]\n[NEDERLANDS]\n[Klingon]\n[العربية]\n");
    struct {
        int index;
        const char* folder;
    } cases[] = {{0, "en"}, {1, "cn"}, {2, "pt"}, {3, "nl"}, {4, "en"}, {5, "ar"}, {9, "en"}};
    ASSERT_EQ(load_language_file("English", true), 0);
    for (const auto& c : cases) {
        language_index = c.index;
        EXPECT_EQ(language_image_folder(), c.folder) << "index " << c.index;
    }
}

TEST_F(languages, a_byte_order_mark_long_lines_and_a_missing_file_are_handled) {
    std::string long_value(3000, 'x');
    write_language_file("\xEF\xBB\xBF[English]\nkey=\"v\"\n[Deutsch]\nlong=\"" + long_value + "\"\nafter=\"ok\"\n");
    ASSERT_EQ(load_language_file("English", true), 0);
    EXPECT_EQ(language_sections, QStringList({"Deutsch"})) << "a first line with a BOM is no section header";
    EXPECT_EQ(language_text("key"), "");
    ASSERT_EQ(load_language_file("Deutsch", true), 0);
    EXPECT_EQ(language_text("long"), "") << "a line over 2047 bytes is read in pieces";
    EXPECT_EQ(language_text("after"), "ok");

    std::filesystem::remove("language.ini");
    language_sections.clear();
    EXPECT_EQ(load_language_file("English", true), -1);
    EXPECT_TRUE(language_sections.isEmpty());
    EXPECT_EQ(language_image_folder(), "en");
}

TEST_F(languages, the_locale_chooses_and_stores_the_language_once) {
    write_language_file("[English]\nbtn_back=\"Back\"\nhello=\"Hello\"\n[简体中文]\nbtn_back=\"返回\"\n");
    qputenv("LANG", "zh_CN.UTF-8");
    ASSERT_EQ(load_settings(), 0);
    EXPECT_EQ(current_language, "简体中文");
    EXPECT_EQ(language_text("btn_back"), "返回");
    EXPECT_EQ(language_text("hello"), "Hello");
    EXPECT_EQ(language_image_folder(), "cn");
    QSettings stored(qv::settings_file_path(), QSettings::IniFormat);
    EXPECT_EQ(stored.value("language").toString(), "简体中文");

    // A later start keeps the stored choice whatever the locale says.
    qputenv("LANG", "de_DE.UTF-8");
    delete settings;
    settings = nullptr;
    language_texts.clear();
    ASSERT_EQ(load_settings(), 0);
    EXPECT_EQ(current_language, "简体中文");

    // A menu choice is saved at once, with recovery_folder unchanged.
    recovery_folder = "/media/backup";
    current_language = "English";
    save_settings();
    QSettings again(qv::settings_file_path(), QSettings::IniFormat);
    EXPECT_EQ(again.value("language").toString(), "English");
    EXPECT_EQ(again.value("recovery_folder").toString(), "/media/backup");
}

TEST_F(languages, an_unknown_locale_means_english_without_storing_it) {
    write_language_file("[English]\nbtn_back=\"Back\"\n");
    qputenv("LC_ALL", "C");
    qputenv("LANG", "de_DE.UTF-8");
    ASSERT_EQ(load_settings(), 0);
    EXPECT_EQ(current_language, "English") << "LC_ALL wins over LANG";
    QSettings stored(qv::settings_file_path(), QSettings::IniFormat);
    EXPECT_FALSE(stored.contains("language"));
}

TEST(locale_codes, map_the_shipped_languages) {
    struct {
        const char* locale;
        int code;
    } cases[] = {{"en_US.UTF-8", 1}, {"de_AT", 2},  {"es_ES.utf8", 3}, {"fr_CA", 4},    {"it_IT", 5},
                 {"ja_JP.UTF-8", 6}, {"zh_CN", 7},  {"zh_SG.GBK", 7},  {"zh_TW", 8},    {"zh_HK.UTF-8", 8},
                 {"nl_BE", 9},       {"pt_BR", 10}, {"zh", 0},         {"C.UTF-8", 0},  {"ru_RU", 0},
                 {"", 0},            {"sr_RS@latin", 0}};
    for (const auto& c : cases) EXPECT_EQ(qv::locale_language_code(c.locale), c.code) << c.locale;
}

TEST(shipped_language_file, every_section_has_every_english_key) {
    // The file next to the test binaries is the one the program ships.
    ASSERT_EQ(load_language_file("English", false), 0) << "language.ini is missing next to the binaries";
    auto english = language_texts;
    QStringList sections = language_sections;
    EXPECT_EQ(sections, QStringList({"English", "Deutsch", "Français", "Español", "Italiano", "日本語",
                                     "简体中文", "繁體中文", "Nederlands", "Português", "العربية"}));
    for (const char* key : {"home_text1", "startup_warning", "main_warning1", "back_warning", "quit_warning",
                            "menu_help", "menu_exit", "menu_open_image", "volume_select", "recovery_free",
                            "partition_query", "btn_save_result", "recovery_reading", "deep_scan_query",
                            "recovery_same_volume_warning"})
        EXPECT_FALSE(english.value(key).isEmpty()) << key;
    for (const QString& section : sections) {
        language_texts.clear();
        ASSERT_EQ(load_language_file(section, true), 0);
        for (auto it = english.begin(); it != english.end(); ++it)
            EXPECT_FALSE(language_texts.value(it.key()).isEmpty()) << section.toStdString() << ": " << it.key().constData();
    }
    language_texts.clear();
}

}  // namespace

TEST(data_files, the_current_folder_wins_then_the_data_places_then_the_bare_name) {
    qv::test::temp_dir cwd;
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(cwd.path());
    // The test binary itself stands beside the program, in the last data place.
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    const std::string name = exe.filename().string();
    const std::string beside = qv::find_data_file(name);
    qv::test::write_file(cwd / name, std::vector<uint8_t>{'x'});
    const std::string here = qv::find_data_file(name);
    const std::string missing = qv::find_data_file("no-such-data-file.ini");
    std::filesystem::current_path(old);
    EXPECT_EQ(std::filesystem::path(beside), exe);
    EXPECT_EQ(here, name);
    EXPECT_EQ(missing, "no-such-data-file.ini");
}
