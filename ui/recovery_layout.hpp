#pragma once
// Where the recovery page puts its parts for a given page size: plain values
// that the page, its painting and the tests share.

#include <QPoint>
#include <QRect>

namespace qv::ui {

struct recovery_layout_s {
    QRect status_frame;  // outline around progress and counts
    QRect progress_bar;
    QPoint status_text;   // baseline start of "entries read" / "scanned"
    QPoint found_text;    // baseline start of "files found"
    QRect preview_frame;  // outline of the preview
    QRect preview_fill;   // inside of the preview frame, white when nothing is shown
    QRect preview_text;   // where a text preview wraps
    QRect tree;
    QRect table;          // the file table's area: its filter row, then the table itself
    QRect filter_row;
    QRect table_view;
    QRect btn_back, btn_recovery, btn_pause, btn_stop, btn_save;
    QRect anime;
};

// Height of the filter row and the gap below it.
inline constexpr int filter_row_height = 22;
inline constexpr int filter_row_gap = 3;

// Sizes that would come out negative on a tiny page are 0.
recovery_layout_s recovery_layout(int width, int height);

}  // namespace qv::ui
