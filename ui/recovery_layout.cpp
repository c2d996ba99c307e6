#include "ui/recovery_layout.hpp"

#include <algorithm>

namespace qv::ui {

namespace {

int at_least_0(int v) {
    return std::max(v, 0);
}

}  // namespace

recovery_layout_s recovery_layout(int width, int height) {
    recovery_layout_s l;
    // The preview takes 40 % and the table 60 % of the height left below the status area.
    const int body = at_least_0(height - 143);
    const int preview_height = int(0.4 * body);
    const int right_width = at_least_0(width - 222);

    l.status_frame = QRect(10, 13, at_least_0(width - 20), 60);
    l.progress_bar = QRect(90, 38, 250, 12);
    l.status_text = QPoint(90, 30);
    l.found_text = QPoint(90, 65);
    l.preview_frame = QRect(212, 79, right_width, preview_height);
    l.preview_fill = QRect(213, 80, at_least_0(width - 223), at_least_0(preview_height - 1));
    l.preview_text = QRect(217, 84, at_least_0(width - 232), at_least_0(preview_height - 10));
    l.tree = QRect(10, 79, 193, at_least_0(height - 137));
    l.table = QRect(212, preview_height + 86, right_width, int(0.6 * body));
    const int row = std::min(filter_row_height, l.table.height());
    l.filter_row = QRect(l.table.left(), l.table.top(), l.table.width(), row);
    const int below = std::min(row + filter_row_gap, l.table.height());
    l.table_view = QRect(l.table.left(), l.table.top() + below, l.table.width(), l.table.height() - below);
    l.btn_back = QRect(200, height - 49, 100, 30);
    l.btn_recovery = QRect(width - 300, height - 49, 100, 30);
    l.btn_pause = QRect(360, 29, 80, 30);
    l.btn_stop = QRect(470, 29, 80, 30);
    l.btn_save = QRect(width - 130, 29, 80, 30);
    l.anime = QRect(0, 0, 130, 86);
    return l;
}

}  // namespace qv::ui
