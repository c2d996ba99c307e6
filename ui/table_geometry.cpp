#include "ui/table_geometry.hpp"

#include <ctime>

namespace qv::ui {

namespace {

constexpr int check_left = 10;
constexpr int cell_check_top = 10;
constexpr int header_check_top = 5;
constexpr int header_text_baseline = 14;
constexpr int header_text_left_narrow = 10;  // date headings
constexpr int header_text_left_wide = 15;    // name and size headings

}  // namespace

cell_layout_s recovery_cell_layout(const QRect& cell, int check_side) {
    cell_layout_s out;
    out.text_rect = cell.adjusted(cell_text_indent, 0, 0, 0);
    out.check = QRect(cell.x() + check_left, cell.y() + cell_check_top, check_side, check_side);
    return out;
}

QString recovery_date_text(int64_t seconds) {
    if (seconds == 0) return {};  // no date known (a carved file without a capture time)
    std::time_t t = std::time_t(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    char text[32] = {};
    if (std::strftime(text, sizeof text, "%Y-%m-%d", &local) == 0) return {};
    return QString::fromLatin1(text);
}

header_section_layout_s header_section_layout(int section, const QRect& rect, int check_side) {
    header_section_layout_s out;
    out.check = QRect(rect.x() + check_left, rect.y() + header_check_top, check_side, check_side);
    int left = section >= 3 ? header_text_left_narrow : header_text_left_wide;
    out.text = QPoint(rect.x() + left, rect.y() + header_text_baseline);
    return out;
}

header_press_s header_press(int x, const std::array<int, 5>& sizes) {
    header_press_s out;
    int edge = sizes[0];
    if (x <= edge) {
        out.check_all = true;
        return out;
    }
    // Column 1 takes everything up to its right edge; the later ones only their
    // insides, so a press right on a boundary sorts nothing.
    if (x < edge + sizes[1]) {
        out.sort_column = 1;
        return out;
    }
    edge += sizes[1];
    for (int column = 2; column <= 4; ++column) {
        int right = edge + sizes[size_t(column)];
        if (x > edge && x < right) {
            out.sort_column = column;
            return out;
        }
        edge = right;
    }
    return out;
}

}  // namespace qv::ui
