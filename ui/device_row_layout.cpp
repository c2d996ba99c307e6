#include "ui/device_row_layout.hpp"

#include <algorithm>

#include "app/language_settings.hpp"
#include "devices/volume_items.hpp"

namespace qv::ui {

namespace {

constexpr int text_baseline = 20;  // below the row's top
// Baselines of a two-line cell below the row's top (8-point text in a 30-pixel row).
constexpr int first_line_baseline = 13;
constexpr int second_line_baseline = 26;
constexpr int column_gap = 5;  // kept free before a separator
constexpr qreal usage_red_limit = 0.2;

}  // namespace

drive_row_layout_s drive_row_layout(const QRect& row) {
    const qreal x = row.left();
    const qreal w = row.width();
    const qreal y = row.top() + text_baseline;
    drive_row_layout_s l;
    l.separator1 = x + 0.5 * w;
    l.separator2 = x + 0.85 * w;
    l.name = QPointF(x + 60, y);
    l.size = QPointF(l.separator1 + 70, y);
    l.number = QPointF(l.separator2 + 15, y);
    return l;
}

float free_ratio(uint64_t free_bytes, uint64_t total_bytes) {
    if (total_bytes == 0) return 0.0f;
    return float(double(free_bytes) / double(total_bytes));
}

bool usage_is_red(float ratio) { return double(ratio) <= usage_red_limit; }

volume_row_layout_s volume_row_layout(const QRect& row, uint64_t free_bytes, uint64_t total_bytes,
                                      int fill_height) {
    const qreal x = row.left();
    const qreal w = row.width();
    const qreal top = row.top();
    const qreal y = top + text_baseline;
    volume_row_layout_s l;
    l.separator1 = x + 0.32 * w;
    l.separator2 = x + 0.85 * w;
    l.icon = QPointF(x + 20, top + 5);
    l.name = QPointF(x + 45, y);
    l.name_width = std::max<qreal>(0, l.separator1 - 45 - 5 - x);
    const qreal b = std::max<qreal>(0, 0.53 * w - 170);
    l.bar = QRectF(l.separator1 + 10, top + 5, b, 20);
    l.size_text = QPointF(l.separator1 + b + 20, y);
    l.size_text_width = std::max<qreal>(0, l.separator2 - column_gap - l.size_text.x());
    l.size_text_lines[0] = QPointF(l.size_text.x(), top + first_line_baseline);
    l.size_text_lines[1] = QPointF(l.size_text.x(), top + second_line_baseline);
    l.file_system = QPointF(l.separator2 + 20, y);
    l.heading_name = QPointF(x + 60, y);
    l.heading_size = QPointF(l.separator1 + 165, y);
    l.heading_file_system = QPointF(l.separator2 + 15, y);
    if (total_bytes != 0) {
        const float r = free_ratio(free_bytes, total_bytes);
        l.has_fill = true;
        l.red = usage_is_red(r);
        // A volume reporting more free than total space shows an empty bar.
        const qreal used = std::clamp<qreal>(1.0 - qreal(r), 0.0, 1.0);
        l.fill = QRectF(l.separator1 + 11, top + 6, std::max<qreal>(0, used * b - 2), fill_height);
    }
    return l;
}

namespace {

// lead + size in one line, or broken between the words of lead into two lines
// that both fit; empty when neither fits in these metrics.
QStringList fit_in(const QFontMetricsF& metrics, const QString& lead, const QString& size, qreal width) {
    if (metrics.horizontalAdvance(lead + size) <= width) return {lead + size};
    const QStringList words = lead.split(' ', Qt::SkipEmptyParts);
    for (qsizetype k = words.size() - 1; k >= 1; --k) {
        const QString first = words.first(k).join(' ');
        const QString second = words.sliced(k).join(' ') + ' ' + size;
        if (metrics.horizontalAdvance(first) <= width && metrics.horizontalAdvance(second) <= width)
            return {first, second};
    }
    return {};
}

}  // namespace

fitted_text fit_size_text(const QFont& font, const QString& lead, const QString& size, qreal width) {
    QFont smaller = font;
    smaller.setPointSizeF(font.pointSizeF() - 1);
    for (const QFont& f : {font, smaller}) {
        QStringList lines = fit_in(QFontMetricsF(f), lead, size, width);
        if (!lines.isEmpty()) return {f, lines};
    }
    // Too narrow for the words: the size stays whole on its own line.
    const QFontMetricsF metrics(smaller);
    const auto fit = [&](const QString& text) { return metrics.elidedText(text, Qt::ElideRight, width); };
    return {smaller, {fit(lead.trimmed()), fit(size)}};
}

QString volume_display_name(const volume_item_s& volume) {
    QString path = volume.mount_path;
    if (path.endsWith('\\')) path.chop(1);
    const QString& name = volume.label.isEmpty() ? language_text("local_disk") : volume.label;
    return name + " (" + path + ")";
}

}  // namespace qv::ui
