// Plain geometry and text rules: cells, header presses, dates, the progress bar,
// the page layout and the preview rules.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <limits>

#include "app/language_settings.hpp"
#include "devices/format_size.hpp"
#include "tests/support/test_support.hpp"
#include "ui/button_images.hpp"
#include "ui/device_row_layout.hpp"
#include "ui/file_preview.hpp"
#include "ui/progress_bar.hpp"
#include "ui/recovery_layout.hpp"
#include "ui/table_geometry.hpp"

using qv::ui::cell_layout_s;
using qv::ui::device_row_height;
using qv::ui::file_preview_s;
using qv::ui::fit_button_font;
using qv::ui::fit_size_text;
using qv::ui::fitted_text;
using qv::ui::header_press;
using qv::ui::header_press_s;
using qv::ui::header_section_layout;
using qv::ui::header_section_layout_s;
using qv::ui::load_file_preview;
using qv::ui::preview_as_image;
using qv::ui::preview_image_rect;
using qv::ui::preview_text;
using qv::ui::recovery_cell_layout;
using qv::ui::recovery_date_text;
using qv::ui::recovery_layout;
using qv::ui::recovery_layout_s;
using qv::ui::volume_row_layout;
using qv::ui::volume_row_layout_s;

namespace {

TEST(cell_geometry, text_is_indented_and_the_tick_sits_ten_pixels_in) {
    cell_layout_s l = recovery_cell_layout(QRect(33, 60, 235, 30), 13);
    EXPECT_EQ(l.text_rect, QRect(43, 60, 225, 30));
    EXPECT_EQ(l.check, QRect(43, 70, 13, 13));
    header_section_layout_s h0 = header_section_layout(0, QRect(0, 0, 33, 24), 13);
    EXPECT_EQ(h0.check, QRect(10, 5, 13, 13));
    EXPECT_EQ(header_section_layout(1, QRect(33, 0, 235, 24), 13).text, QPoint(48, 14));
    EXPECT_EQ(header_section_layout(2, QRect(268, 0, 100, 24), 13).text, QPoint(283, 14));
    EXPECT_EQ(header_section_layout(3, QRect(368, 0, 100, 24), 13).text, QPoint(378, 14));
    EXPECT_EQ(header_section_layout(4, QRect(468, 0, 100, 24), 13).text, QPoint(478, 14));
}

struct press_case {
    int x;
    bool check_all;
    int sort_column;
};

class header_presses : public ::testing::TestWithParam<press_case> {};

TEST_P(header_presses, map_to_check_all_a_sort_or_nothing) {
    const auto& c = GetParam();
    header_press_s p = header_press(c.x, {33, 235, 100, 100, 100});
    EXPECT_EQ(p.check_all, c.check_all) << "x = " << c.x;
    EXPECT_EQ(p.sort_column, c.sort_column) << "x = " << c.x;
}

INSTANTIATE_TEST_SUITE_P(edges, header_presses,
                         ::testing::Values(press_case{0, true, 0}, press_case{33, true, 0},
                                           press_case{34, false, 1}, press_case{267, false, 1},
                                           press_case{268, false, 0},  // boundary of name and size
                                           press_case{269, false, 2}, press_case{368, false, 0},
                                           press_case{369, false, 3}, press_case{468, false, 0},
                                           press_case{469, false, 4}, press_case{567, false, 4},
                                           press_case{568, false, 0}, press_case{900, false, 0}));

TEST(date_text, local_dates_and_times_that_cannot_be_shown) {
    // The tests run with TZ=UTC.
    EXPECT_EQ(recovery_date_text(0), "") << "no date known: a blank cell, not 1970-01-01";
    EXPECT_EQ(recovery_date_text(1), "1970-01-01");
    EXPECT_EQ(recovery_date_text(1709648528), "2024-03-05");
    EXPECT_EQ(recovery_date_text(-1), "1969-12-31");
    EXPECT_EQ(recovery_date_text(std::numeric_limits<int64_t>::max()), "");
}

TEST(progress_bar, fill_and_percentage_are_truncated_and_clamped) {
    QRect r(90, 38, 250, 12);
    EXPECT_EQ(progress_bar_c::fill_width(r, 0.5), 125);
    EXPECT_EQ(progress_bar_c::fill_width(r, 0.0), 0);
    EXPECT_EQ(progress_bar_c::fill_width(r, 1.0), 250);
    EXPECT_EQ(progress_bar_c::fill_width(r, 7.0), 250);
    EXPECT_EQ(progress_bar_c::fill_width(r, -1.0), 0);
    EXPECT_EQ(progress_bar_c::fill_width(r, std::nan("")), 0);
    EXPECT_EQ(progress_bar_c::percent_text(0.5), "50%");
    EXPECT_EQ(progress_bar_c::percent_text(0.0), "0%");
    EXPECT_EQ(progress_bar_c::percent_text(1.0), "100%");
    EXPECT_EQ(progress_bar_c::percent_text(0.999), "99%");
}

TEST(progress_bar, paints_texture_left_and_background_right) {
    progress_bar_c bar;
    bar.setup(":/images/partition_search/loding_on.png", QColor(226, 240, 253));
    bar.value = 0.5;
    QImage image(300, 20, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        bar.paint(p, QRect(0, 0, 200, 12));
    }
    EXPECT_EQ(image.pixelColor(195, 10), QColor(226, 240, 253)) << "unfilled part";
    EXPECT_NE(image.pixelColor(5, 10), QColor(226, 240, 253)) << "filled part";
    EXPECT_EQ(image.pixelColor(250, 10), QColor(Qt::white)) << "nothing outside the bar";
}

TEST(page_layout, follows_the_page_size_and_never_goes_negative) {
    recovery_layout_s l = recovery_layout(794, 496);
    EXPECT_EQ(l.preview_frame, QRect(212, 79, 572, 141));
    EXPECT_EQ(l.table, QRect(212, 227, 572, 211));
    EXPECT_EQ(l.tree, QRect(10, 79, 193, 359));
    EXPECT_EQ(l.btn_back, QRect(200, 447, 100, 30));
    EXPECT_EQ(l.btn_recovery, QRect(494, 447, 100, 30));
    EXPECT_EQ(l.btn_save, QRect(664, 29, 80, 30));
    EXPECT_EQ(l.preview_text, QRect(217, 84, 562, 131));
    // The filter row sits at the top of the table's area, the table below it.
    EXPECT_EQ(l.filter_row, QRect(212, 227, 572, 22));
    EXPECT_EQ(l.table_view, QRect(212, 252, 572, 186));
    EXPECT_EQ(l.table_view.bottom(), l.table.bottom());

    recovery_layout_s tiny = recovery_layout(50, 60);
    for (const QRect& r : {tiny.status_frame, tiny.preview_frame, tiny.preview_fill,
                           tiny.preview_text, tiny.tree, tiny.table, tiny.filter_row, tiny.table_view}) {
        EXPECT_GE(r.width(), 0);
        EXPECT_GE(r.height(), 0);
    }
}

TEST(preview_image, is_as_high_as_the_frame_centred_and_narrowed_when_wide) {
    EXPECT_EQ(preview_image_rect(QSize(794, 496), QSize(320, 200)), QRect(393, 84, 209, 131));
    QRect wide = preview_image_rect(QSize(794, 496), QSize(2000, 100));
    EXPECT_EQ(wide.width(), 562);
    EXPECT_EQ(wide.height(), 28);
    EXPECT_GE(wide.left(), 212);
    EXPECT_TRUE(preview_image_rect(QSize(794, 496), QSize(0, 10)).isNull());
    // Huge images must not overflow the arithmetic.
    QRect huge = preview_image_rect(QSize(794, 496), QSize(1, 2000000000));
    EXPECT_GE(huge.width(), 0);
    EXPECT_LE(huge.height(), 131);
}

struct name_case {
    const char* name;
    bool image;
};

class preview_names : public ::testing::TestWithParam<name_case> {};

TEST_P(preview_names, by_the_last_four_characters) {
    EXPECT_EQ(preview_as_image(QString::fromUtf8(GetParam().name)), GetParam().image)
        << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(endings, preview_names,
                         ::testing::Values(name_case{"#HOTO.JPG", true}, name_case{"a.jpeg", true},
                                           name_case{"scan.TIFF", true}, name_case{"x.bmp", true},
                                           name_case{"x.gif", true}, name_case{"x.png", true},
                                           name_case{"x.pbm", true}, name_case{"x.pgm", true},
                                           name_case{"x.ppm", true}, name_case{"x.xbm", true},
                                           name_case{"x.xpm", true}, name_case{".png", true},
                                           name_case{"png", false}, name_case{"a.tif", false},
                                           name_case{"a.webp", false},
                                           name_case{"a.png.txt", false}, name_case{"", false}));

TEST(preview_text, byte_order_marks_and_the_first_nul) {
    auto text = [](const QByteArray& b) { return preview_text(b); };
    EXPECT_EQ(text(QByteArray("\xFF\xFEh\0i\0", 6)), "hi");
    EXPECT_EQ(text(QByteArray("\xFF\xFEh\0i\0\0\0z\0", 10)), "hi") << "ends at the first NUL unit";
    EXPECT_EQ(text(QByteArray("\xFF\xFEh\0i", 5)), "h") << "an odd last byte is dropped";
    EXPECT_EQ(text(QByteArray("\xFF\xFE", 2)), QString::fromLatin1("\xFF\xFE"))
        << "a mark alone is Latin-1";
    EXPECT_EQ(text(QByteArray("\xEF\xBB\xBF\xC3\xBC"
                              "ber")),
              QString::fromUtf8("über"));
    EXPECT_EQ(text(QByteArray("\xEF\xBB\xBF")), QString::fromLatin1("\xEF\xBB\xBF"));
    EXPECT_EQ(text(QByteArray("caf\xE9")), QString::fromUtf8("café")) << "no mark: Latin-1";
    EXPECT_EQ(text(QByteArray("ab\0cd", 5)), "ab");
    EXPECT_EQ(text(QByteArray()), "");
}

TEST(preview_files, pictures_text_and_the_size_of_a_text_preview) {
    qv::test::temp_dir dir;
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    ASSERT_TRUE(picture.save(QString::fromStdString(dir / "a.png")));
    file_preview_s p = load_file_preview(QString::fromStdString(dir / "a.png"), "#.PNG");
    EXPECT_TRUE(p.ready);
    EXPECT_EQ(p.image.size(), QSize(40, 30));
    EXPECT_TRUE(p.text.isEmpty());

    qv::test::write_file(dir / "fake.jpg", {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'g'});
    p = load_file_preview(QString::fromStdString(dir / "fake.jpg"), "fake.jpg");
    EXPECT_TRUE(p.ready);
    EXPECT_TRUE(p.image.isNull()) << "a broken picture shows nothing, not its bytes";
    EXPECT_TRUE(p.text.isEmpty());

    qv::test::write_file(dir / "long.txt", std::vector<uint8_t>(10000, 'x'));
    p = load_file_preview(QString::fromStdString(dir / "long.txt"), "long.txt");
    EXPECT_EQ(p.text.size(), 8192);

    p = load_file_preview(QString::fromStdString(dir / "missing.txt"), "missing.txt");
    EXPECT_TRUE(p.text.isEmpty());
    EXPECT_TRUE(p.image.isNull());
}

}  // namespace

// The volume list's size column in every language of language.ini: the text stays
// between the usage bar and the file-system column ("512.00Mext4" was drawn before).
TEST(volume_size_text, fits_its_column_in_every_language) {
    const int list_width = 794 - 50;  // the volume page's list on its 794-pixel page
    const volume_row_layout_s l = volume_row_layout(QRect(0, 0, list_width, device_row_height), 0, 0, 19);
    ASSERT_GT(l.size_text_width, 0);
    ASSERT_LT(l.size_text_lines[1].y(), device_row_height) << "the second line sits inside the row";
    const QFont font("Arial", 8);
    const QString size = format_size(512ull << 20);
    int two_line_cases = 0;
    for (const char* language : {"English", "Deutsch", "Français", "Español", "Italiano", "日本語", "简体中文",
                                 "繁體中文", "Nederlands", "Português", "العربية"}) {
        ASSERT_EQ(load_language_file(QString::fromUtf8(language), true), 0) << language;
        for (const QString& lead : {language_text("free_unknown"),
                                    format_size(123ull << 20) + language_text("recovery_free")}) {
            ASSERT_FALSE(lead.isEmpty()) << language;
            const fitted_text fitted = fit_size_text(font, lead, size, l.size_text_width);
            const QStringList& lines = fitted.lines;
            const QFontMetricsF metrics(fitted.font);
            EXPECT_GE(fitted.font.pointSizeF(), 7) << language;
            ASSERT_GE(lines.size(), 1);
            ASSERT_LE(lines.size(), 2);
            for (const QString& line : lines)
                EXPECT_LE(metrics.horizontalAdvance(line), l.size_text_width) << language << ": " << line.toStdString();
            EXPECT_TRUE(lines.back().endsWith(size)) << language << ": the total size shows whole";
            EXPECT_FALSE(lines.join("").contains(QChar(0x2026))) << language << ": nothing is cut at this width";
            if (lines.size() == 2) ++two_line_cases;
        }
    }
    load_language_file("English", true);
    EXPECT_GT(two_line_cases, 0) << "the longest texts do not fit one line at this width: the check must see them";
}

// The list and partition pages' buttons in every language: "Aktualisieren" ran
// past both ends of its 100-pixel button.
TEST(page_buttons, texts_fit_their_buttons_in_every_language) {
    constexpr int width = 100;
    int smaller = 0;
    for (const char* language : {"English", "Deutsch", "Français", "Español", "Italiano", "日本語", "简体中文",
                                 "繁體中文", "Nederlands", "Português", "العربية"}) {
        ASSERT_EQ(load_language_file(QString::fromUtf8(language), true), 0) << language;
        for (const char* key : {"btn_back", "btn_refresh", "btn_scan"}) {
            const QString text = language_text(key);
            ASSERT_FALSE(text.isEmpty()) << language << " " << key;
            const QFont font = fit_button_font(text, width);
            EXPECT_GE(font.pointSize(), 7) << language << " " << key;
            EXPECT_LE(QFontMetrics(font).horizontalAdvance(text), width - 8) << language << ": " << text.toStdString();
            if (font.pointSize() < 11) ++smaller;
        }
    }
    load_language_file("English", true);
    EXPECT_EQ(fit_button_font("Scan", width).pointSize(), 11) << "a text that fits keeps the skin's size";
    EXPECT_GT(smaller, 0) << "the longest texts must be seen made smaller";
}
