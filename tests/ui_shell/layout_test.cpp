// Where the shell's pages and delegates put things, checked at the edges.
#include <gtest/gtest.h>

#include <QImage>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionViewItem>

#include "app/language_settings.hpp"
#include "devices/volume_items.hpp"
#include "partition/partition_item.hpp"
#include "ui/device_delegates.hpp"
#include "ui/device_models.hpp"
#include "ui/device_row_layout.hpp"
#include "ui/home_window.hpp"
#include "ui/partition_delegate.hpp"

using qv::ui::free_ratio;
using qv::ui::home_layout;
using qv::ui::home_layout_s;
using qv::ui::partition_size_bytes;
using qv::ui::usage_is_red;
using qv::ui::volume_display_name;
using qv::ui::volume_row_layout;
using qv::ui::volume_row_layout_s;

namespace {

constexpr uint64_t GiB = 1ull << 30;

struct usage_case {
    const char* what;
    uint64_t free_bytes;
    uint64_t total_bytes;
    bool has_fill;
    bool red;
    double used_share;  // of the bar width b
};

class volume_usage_bar : public testing::TestWithParam<usage_case> {};

TEST_P(volume_usage_bar, follows_the_fifth_free_rule) {
    const usage_case c = GetParam();
    const QRect row(0, 60, 744, 30);  // the list's width inside the main window at its minimum size
    const volume_row_layout_s l = volume_row_layout(row, c.free_bytes, c.total_bytes, 19);
    const double b = 0.53 * 744 - 170;
    EXPECT_DOUBLE_EQ(l.bar.x(), 0.32 * 744 + 10);
    EXPECT_DOUBLE_EQ(l.bar.y(), 65);
    EXPECT_DOUBLE_EQ(l.bar.width(), b);
    EXPECT_DOUBLE_EQ(l.bar.height(), 20);
    EXPECT_EQ(l.has_fill, c.has_fill) << c.what;
    if (!c.has_fill) return;
    EXPECT_EQ(l.red, c.red) << c.what;
    EXPECT_DOUBLE_EQ(l.fill.x(), 0.32 * 744 + 11);
    EXPECT_DOUBLE_EQ(l.fill.y(), 66);
    EXPECT_DOUBLE_EQ(l.fill.height(), 19);
    EXPECT_NEAR(l.fill.width(), std::max(0.0, c.used_share * b - 2), 1e-4) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    edges, volume_usage_bar,
    testing::Values(usage_case{"0 total bytes: outline only", 0, 0, false, false, 0},
                    usage_case{"one fifth free is 0.2000000030 in single precision: green", GiB, 5 * GiB, true,
                               false, 0.8},
                    usage_case{"10 % free: red", GiB, 10 * GiB, true, true, 0.9},
                    usage_case{"half free: green, half the bar", 50, 100, true, false, 0.5},
                    usage_case{"nothing free: red, full bar", 0, 100, true, true, 1.0},
                    usage_case{"all free: no fill", 100, 100, true, false, 0.0},
                    usage_case{"more free than total: no fill", 300, 100, true, false, 0.0},
                    usage_case{"just under a fifth: red", 199999, 1000000, true, true, 0.800001}));

TEST(volume_usage_bar, ratio_is_single_precision) {
    EXPECT_EQ(free_ratio(GiB, 5 * GiB), 0.2f);
    EXPECT_GT(double(free_ratio(GiB, 5 * GiB)), 0.2);
    EXPECT_FALSE(usage_is_red(free_ratio(GiB, 5 * GiB)));
    EXPECT_TRUE(usage_is_red(free_ratio(0, 1)));
    EXPECT_EQ(free_ratio(5, 0), 0.0f);
}

TEST(volume_usage_bar, never_gets_a_negative_width_on_a_narrow_row) {
    const volume_row_layout_s narrow = volume_row_layout(QRect(0, 0, 200, 30), 0, 100, 19);
    EXPECT_EQ(narrow.bar.width(), 0);
    EXPECT_EQ(narrow.fill.width(), 0);
}

TEST(device_rows, volume_name_is_label_or_local_disk_with_the_path) {
    volume_item_s v;
    v.mount_path = "D:\\";
    v.label = "Data";
    EXPECT_EQ(volume_display_name(v), "Data (D:)");
    v.label.clear();
    v.mount_path = "/media/usb";
    EXPECT_EQ(volume_display_name(v), language_text("local_disk") + " (/media/usb)");
    EXPECT_FALSE(language_text("local_disk").isEmpty()) << "language.ini not found in the working directory";
}

TEST(partition_rows, sizes_cannot_overflow) {
    EXPECT_EQ(partition_size_bytes({"NTFS", 7, 2048, 4095}), 2048u * 512);
    EXPECT_EQ(partition_size_bytes({"NTFS", 7, 10, 10}), 512u);
    EXPECT_EQ(partition_size_bytes({"NTFS", 7, 11, 10}), 0u) << "last before first";
    EXPECT_EQ(partition_size_bytes({"NTFS", 7, 0, ~0ull}), ~0ull) << "saturates";
}

TEST(home_page, buttons_and_text_lines_at_the_minimum_window_size) {
    const home_layout_s l = home_layout(496);  // 600 - 100 - 4
    EXPECT_EQ(l.button_y_start, 117);
    EXPECT_EQ(l.button_y_resume, 117);
    EXPECT_EQ(l.picture, QPoint(55, 256));
    EXPECT_EQ(l.text[0].y(), 306);
    EXPECT_EQ(l.text[1].y(), 356);
    EXPECT_EQ(l.text[2].y(), 406);
    EXPECT_EQ(l.picture_label_y, 248);

    home_window_c page(nullptr);
    page.resize(794, 496);
    page.show();
    EXPECT_EQ(page.start_button()->geometry(), QRect(40, 117, 330, 106));
    EXPECT_EQ(page.resume_button()->geometry(), QRect(425, 117, 323, 106));
}

// Paints one row of the volume list and returns the image.
QImage paint_volume_row(const volume_item_s& v, int row, bool selected) {
    QList<volume_item_s> list(row + 1);
    list[row] = v;
    volume_model_c model(list);
    volume_delegate_c delegate;
    QImage image(744, 30, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 744, 30);
    if (selected) option.state |= QStyle::State_Selected;
    delegate.paint(&painter, option, model.index(row, 0));
    return image;
}

TEST(volume_delegate, paints_row_backgrounds_and_the_bar_image_by_the_rule) {
    volume_item_s v;
    v.device_name = v.volume_name = v.mount_path = "/img/a.img#1";
    v.file_system = "FAT32";
    v.total_bytes = 10 * GiB;
    v.free_bytes = GiB;
    const QImage red(":/images/partition_search/red.png");
    const QImage green(":/images/partition_search/green.png");
    ASSERT_FALSE(red.isNull());
    const volume_row_layout_s l = volume_row_layout(QRect(0, 0, 744, 30), v.free_bytes, v.total_bytes, 19);
    const QPoint probe = l.fill.center().toPoint();
    auto texel = [&](const QImage& tex) { return tex.pixelColor(probe.x() % tex.width(), (probe.y() - 6) % tex.height()); };

    QImage even = paint_volume_row(v, 2, false);
    EXPECT_EQ(even.pixelColor(probe), texel(red)) << "10 % free fills with red.png";
    EXPECT_EQ(even.pixelColor(5, 2), QColor(241, 250, 255)) << "even rows are light blue";
    EXPECT_EQ(paint_volume_row(v, 1, false).pixelColor(5, 2), QColor(Qt::white)) << "odd rows keep the view's";
    EXPECT_EQ(paint_volume_row(v, 1, true).pixelColor(5, 2), QColor(81, 149, 206)) << "selected";

    v.free_bytes = 2 * GiB + 1;
    EXPECT_EQ(paint_volume_row(v, 1, false).pixelColor(probe), texel(green));

    // The heading entry (no mount path) is painted as column headings on its own colour.
    EXPECT_EQ(paint_volume_row(volume_item_s{}, 0, false).pixelColor(5, 2), QColor(232, 246, 255));
}

}  // namespace
