// The compiled-in skin images: every one the pages name, at its size, in every language folder.
#include <gtest/gtest.h>

#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QMovie>
#include <QPixmap>

#include "app/language_settings.hpp"
#include "ui/button_images.hpp"

namespace {

struct image_case {
    std::string path;
    int width, height;
};

void PrintTo(const image_case& c, std::ostream* os) {
    *os << c.path;
}

class skin_image : public ::testing::TestWithParam<image_case> {};

TEST_P(skin_image, is_compiled_in_at_its_size) {
    const auto& c = GetParam();
    QImageReader reader(QString::fromStdString(c.path));
    QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << c.path << ": " << reader.errorString().toStdString();
    EXPECT_EQ(image.size(), QSize(c.width, c.height)) << c.path;
}

std::vector<image_case> all_images() {
    std::vector<image_case> out = {
        {":/images/top/logo.png", 107, 77},
        {":/images/system/so.png", 800, 100},
        {":/images/system/su.png", 10, 4},
        {":/images/system/sl.png", 3, 539},
        {":/images/system/sr.png", 3, 539},
        {":/images/background/bai.png", 5, 50},
        {":/images/home/wenzi.png", 692, 188},
        {":/images/recovery/folder.png", 16, 16},
        {":/images/recovery/ani.gif", 130, 86},
        {":/images/partition_search/check1.png", 13, 13},
        {":/images/partition_search/check2.png", 13, 13},
        {":/images/partition_search/drives.png", 16, 16},
        {":/images/partition_search/green.png", 8, 18},
        {":/images/partition_search/red.png", 8, 18},
        {":/images/partition_search/icon_found1.png", 64, 64},
        {":/images/partition_search/loding_on.png", 24, 12},
    };
    for (int s = 1; s <= 3; ++s) {
        std::string n = std::to_string(s);
        for (const char* b :
             {"quiButton", "maxButton", "resumeButton", "minButton", "settingButton"})
            out.push_back({":/images/system/" + std::string(b) + n + ".png", 30, 21});
        out.push_back({":/images/home/buttonscan" + n + ".png", 330, 106});
        out.push_back({":/images/home/buttonrecovery" + n + ".png", 323, 106});
        out.push_back({":/images/partition_search/btn_start_" + n + ".png", 80, 30});
        out.push_back({":/images/partition_search/btn_wai_" + n + ".png", 100, 30});
        for (const char* lang : {"cn", "de", "en", "es", "fr", "hk", "it", "jp"}) {
            std::string d = ":/images/multilang/" + std::string(lang) + "/";
            for (int button = 1; button <= 3; ++button)
                out.push_back({d + "btn_top" + std::to_string(button) + n + ".png", 95, 70});
            out.push_back({d + "btn_start_scan" + n + ".png", 330, 106});
            out.push_back({d + "btn_resume_recovery" + n + ".png", 323, 106});
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(resources, skin_image, ::testing::ValuesIn(all_images()));

TEST(skin_images, the_icon_the_animation_and_distinct_lettering) {
    EXPECT_FALSE(QPixmap(":/images/top.ico").isNull());
    EXPECT_FALSE(QIcon(":/images/top.ico").isNull());

    QMovie movie(":/images/recovery/ani.gif");
    ASSERT_TRUE(movie.isValid());
    EXPECT_GT(movie.frameCount(), 1);
    ASSERT_TRUE(movie.jumpToFrame(0));
    QImage first = movie.currentImage();
    ASSERT_TRUE(movie.jumpToNextFrame());
    EXPECT_NE(first, movie.currentImage()) << "the animation moves";
    // Transparent right of the drawing, where the page paints its progress text.
    EXPECT_EQ(qAlpha(first.convertToFormat(QImage::Format_ARGB32).pixel(120, 40)), 0);

    // Each language's lettering differs from the English one.
    QImage en(":/images/multilang/en/btn_start_scan1.png");
    for (const char* lang : {"cn", "de", "es", "fr", "hk", "it", "jp"})
        EXPECT_NE(QImage(QString(":/images/multilang/%1/btn_start_scan1.png").arg(lang)), en)
            << lang;
    // Folders the language table names but the skin does not carry.
    EXPECT_FALSE(QFile::exists(":/images/multilang/pt/btn_top11.png"));
}

// The lettered buttons come from the current language's folder, and what the
// paths name is compiled in.
TEST(button_images, paths_and_style_sheets_follow_the_current_language) {
    const QStringList saved_sections = language_sections;
    const int saved_index = language_index;
    language_sections = {"English", "简体中文"};
    language_index = 1;
    EXPECT_EQ(top_button_image("2", "3"), ":/images/multilang/cn/btn_top23.png");
    EXPECT_EQ(home_button_image("btn_start_scan", "1"), "/images/multilang/cn/btn_start_scan1.png");
    EXPECT_EQ(button_style_sheet("/a1.png", "/a2.png", "/a3.png"),
              "QPushButton{ border-image: url(:/a1.png); }QPushButton:hover{ border-image: url(:/a2.png);}"
              "QPushButton:pressed{  border-image: url(:/a3.png);}");
    EXPECT_TRUE(QFile::exists(top_button_image("2", "3")));
    EXPECT_TRUE(QFile::exists(":" + home_button_image("btn_start_scan", "1")));
    language_index = 0;
    EXPECT_EQ(top_button_image("1", "1"), ":/images/multilang/en/btn_top11.png");
    language_sections = saved_sections;
    language_index = saved_index;
}

}  // namespace
