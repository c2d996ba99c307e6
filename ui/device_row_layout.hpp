#pragma once
// Where the drive and volume delegates put each part of a 30-pixel row, and the usage bar's rule.

#include <QFont>
#include <QFontMetricsF>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <cstdint>

struct volume_item_s;

namespace qv::ui {

inline constexpr int device_row_height = 30;

// Columns of the drive list: separators at 0.5 and 0.85 of the width.
struct drive_row_layout_s {
    qreal separator1 = 0;
    qreal separator2 = 0;
    QPointF name;    // name, or the heading "drive_physical_drives"
    QPointF size;    // format_size(size), or "Size"
    QPointF number;  // the row number, or "Number"
};
drive_row_layout_s drive_row_layout(const QRect& row);

// Columns of the volume list: separators at 0.32 and 0.85 of the width, and the usage bar.
struct volume_row_layout_s {
    qreal separator1 = 0;
    qreal separator2 = 0;
    QPointF icon;            // drives.png, top-left corner
    QPointF name;            // "Label (mount path)"
    qreal name_width = 0;    // room before the first separator
    QRectF bar;              // outline, 20 high
    QPointF size_text;       // "free" + "recovery_free" + "total", one line
    qreal size_text_width = 0;       // room before the second separator
    QPointF size_text_lines[2];      // baselines when the text takes two lines
    QPointF file_system;
    bool has_fill = false;   // false for a volume of 0 total bytes
    bool red = false;        // red.png when at most a fifth is free, else green.png
    QRectF fill;             // the used share, inside the outline
    // Headings of the heading entry.
    QPointF heading_name;
    QPointF heading_size;
    QPointF heading_file_system;
};
// fill_height is the fill image's height + 1 (19 with the shipped red.png).
volume_row_layout_s volume_row_layout(const QRect& row, uint64_t free_bytes, uint64_t total_bytes,
                                      int fill_height);

// The size column's text and the font it fits in: one line when lead + size fits,
// else broken between the words of lead into two lines, in the given font or one
// point smaller; when even that fails, lead and size each on a line, elided at the
// right. lead is "free" + "recovery_free" or "free_unknown".
struct fitted_text {
    QFont font;
    QStringList lines;
};
fitted_text fit_size_text(const QFont& font, const QString& lead, const QString& size, qreal width);

// free / total in single precision (0 for total 0).
float free_ratio(uint64_t free_bytes, uint64_t total_bytes);
// Red when the single-precision ratio is at most 0.2: one fifth free exactly
// (0.2f = 0.2000000030) still shows green.
bool usage_is_red(float ratio);

// Label (or "local_disk"), then the mount path in parentheses, one trailing backslash dropped.
QString volume_display_name(const volume_item_s& volume);

}  // namespace qv::ui
