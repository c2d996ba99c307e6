#pragma once
// Where the file table's cells and header sections put their parts, and what a
// press on the header means: plain values, so they can be checked without a display.

#include <QPoint>
#include <QRect>
#include <QString>

#include <array>
#include <cstdint>

namespace qv::ui {

// One table cell: texts go into text_rect, the tick image into check.
struct cell_layout_s {
    QRect text_rect;
    QRect check;
};
cell_layout_s recovery_cell_layout(const QRect& cell, int check_side);

// A date cell: "%Y-%m-%d" in local time; empty when no time is known (0) or it cannot be converted.
QString recovery_date_text(int64_t seconds);

// One header section: the check-all image (section 0) or the heading's baseline start.
struct header_section_layout_s {
    QRect check;
    QPoint text;
};
header_section_layout_s header_section_layout(int section, const QRect& rect, int check_side);

// A press at x (in header coordinates from the left edge of section 0) with the
// sizes of sections 0 to 4: flips check-all, sorts by a column 1 to 4, or
// does nothing (a boundary between headings, or right of the last one).
struct header_press_s {
    bool check_all = false;
    int sort_column = 0;  // 0: no sort
};
header_press_s header_press(int x, const std::array<int, 5>& sizes);

// Colours and sizes of the table.
inline constexpr int header_height = 24;
inline constexpr int cell_text_indent = 10;

}  // namespace qv::ui
