// The recoverability mark: shapes and colours per state, where it sits in the
// name cell, what the delegate paints, and the name cell's tooltip.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QImage>
#include <QPainter>
#include <QStyleOptionViewItem>

#include <set>

#include "app/language_settings.hpp"
#include "ui/recovery_delegate.hpp"
#include "ui/recovery_model.hpp"
#include "ui/state_mark.hpp"
#include "ui/table_geometry.hpp"

using qv::ui::column_name;
using qv::ui::column_size;
using qv::ui::recovery_cell_layout;
using qv::ui::state_mark;
using qv::ui::state_mark_gap;
using qv::ui::state_mark_layout;
using qv::ui::state_mark_layout_s;
using qv::ui::state_mark_outline;
using qv::ui::state_mark_shape;
using qv::ui::state_mark_side;
using qv::ui::state_tooltip;

namespace {

using qv::item_state;

const item_state judged[] = {item_state::intact, item_state::assembled, item_state::overwritten,
                             item_state::damaged};

TEST(state_mark, each_judged_state_has_its_own_shape_and_colour) {
    EXPECT_EQ(state_mark(item_state::unknown).shape, state_mark_shape::none);
    EXPECT_EQ(state_mark(item_state::intact).shape, state_mark_shape::circle);
    EXPECT_EQ(state_mark(item_state::assembled).shape, state_mark_shape::triangle);
    EXPECT_EQ(state_mark(item_state::overwritten).shape, state_mark_shape::cross);
    EXPECT_EQ(state_mark(item_state::damaged).shape, state_mark_shape::square);
    std::set<QRgb> colours;
    for (auto s : judged) colours.insert(state_mark(s).colour.rgb());
    EXPECT_EQ(colours.size(), 4u);
    // Green, amber and red as people read them: the strongest channel.
    const QColor green = state_mark(item_state::intact).colour, red = state_mark(item_state::overwritten).colour,
                 amber = state_mark(item_state::assembled).colour;
    EXPECT_GT(green.green(), green.red());
    EXPECT_GT(red.red(), red.green());
    EXPECT_GT(amber.red(), amber.blue());
    EXPECT_GT(amber.green(), amber.blue());
}

TEST(state_mark, sits_before_the_name_centred_on_the_row) {
    const QRect text(43, 60, 225, 30);
    const state_mark_layout_s with = state_mark_layout(text, true);
    EXPECT_EQ(with.mark, QRect(43, 70, state_mark_side, state_mark_side));
    EXPECT_EQ(with.text, QRect(43 + state_mark_side + state_mark_gap, 60, 225 - state_mark_side - state_mark_gap, 30));
    const state_mark_layout_s without = state_mark_layout(text, false);
    EXPECT_TRUE(without.mark.isNull());
    EXPECT_EQ(without.text, text);
    // A cell narrower or lower than the mark never gets a negative size.
    const state_mark_layout_s tiny = state_mark_layout(QRect(0, 0, 5, 4), true);
    EXPECT_EQ(tiny.mark.height(), 4);
    EXPECT_GE(tiny.text.width(), 0);
}

TEST(state_mark, outlines_fit_their_rectangle) {
    const QRectF r(10, 10, 9, 9);
    for (auto s : judged) {
        const QPolygonF p = state_mark_outline(state_mark(s).shape, r);
        ASSERT_FALSE(p.isEmpty());
        EXPECT_TRUE(r.adjusted(-0.01, -0.01, 0.01, 0.01).contains(p.boundingRect())) << int(s);
    }
    EXPECT_EQ(state_mark_outline(state_mark_shape::cross, r).size(), 4);
    EXPECT_EQ(state_mark_outline(state_mark_shape::triangle, r).size(), 3);
    EXPECT_TRUE(state_mark_outline(state_mark_shape::none, r).isEmpty());
}

// How many pixels of the image are close to colour.
int pixels_like(const QImage& image, const QColor& colour) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) < 24 && std::abs(c.green() - colour.green()) < 24 &&
                std::abs(c.blue() - colour.blue()) < 24)
                ++n;
        }
    return n;
}

TEST(state_mark, the_delegate_paints_the_mark_in_the_name_cell_only) {
    QList<recovery_item_s> rows(5);
    for (int i = 0; i < 4; ++i) {
        rows[i].name = QString("file%1.jpg").arg(i);
        rows[i].state = judged[i];
    }
    rows[4].name = "unjudged.jpg";
    recovery_model_c model(rows);
    recovery_delegate_c delegate;
    for (int i = 0; i < 5; ++i)
        for (int column : {column_name, column_size}) {
            QImage image(120, 30, QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            QStyleOptionViewItem option;
            option.rect = QRect(0, 0, 120, 30);
            delegate.paint(&painter, option, model.index(i, column));
            painter.end();
            const int marked = i < 4 ? pixels_like(image, state_mark(judged[i]).colour) : 0;
            if (i < 4 && column == column_name) {
                EXPECT_GE(marked, 6) << "row " << i;
                // Left of the name's text, within the mark's square.
                const QRect mark = state_mark_layout(recovery_cell_layout(option.rect, 13).text_rect, true).mark;
                QImage outside = image.copy();
                QPainter wipe(&outside);
                wipe.fillRect(mark.adjusted(-1, -1, 1, 1), Qt::white);
                wipe.end();
                EXPECT_EQ(pixels_like(outside, state_mark(judged[i]).colour), 0) << "row " << i;
            } else {
                EXPECT_EQ(marked, 0) << "row " << i << " column " << column;
            }
        }
}

TEST(state_mark, tooltips_tell_the_state_and_the_short_name) {
    for (auto s : judged) EXPECT_FALSE(state_tooltip(s, {}).isEmpty()) << int(s);
    EXPECT_TRUE(state_tooltip(item_state::unknown, {}).isEmpty());
    EXPECT_EQ(state_tooltip(item_state::unknown, "#OLIDA~2.JPG"),
              language_text("state_short_name").arg("#OLIDA~2.JPG"));
    const QString both = state_tooltip(item_state::intact, "#OLIDA~2.JPG");
    EXPECT_TRUE(both.startsWith(language_text("state_intact")));
    EXPECT_TRUE(both.endsWith("#OLIDA~2.JPG"));

    QList<recovery_item_s> rows(2);
    rows[0].name = "holiday_photo_2.jpg";
    rows[0].state = item_state::assembled;
    rows[0].short_name = "#OLIDA~2.JPG";
    rows[1].name = "plain.txt";
    recovery_model_c model(rows);
    QAbstractItemModelTester check(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    const QString tip = model.data(model.index(0, column_name), Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(language_text("state_assembled")));
    EXPECT_TRUE(tip.contains("#OLIDA~2.JPG"));
    EXPECT_FALSE(model.data(model.index(0, column_size), Qt::ToolTipRole).isValid());
    EXPECT_FALSE(model.data(model.index(1, column_name), Qt::ToolTipRole).isValid());
}

}  // namespace
