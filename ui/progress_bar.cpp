#include "ui/progress_bar.hpp"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

double clamped(double value) {
    if (!(value > 0.0)) return 0.0;  // also NaN
    return std::min(value, 1.0);
}

}  // namespace

void progress_bar_c::setup(const QString& image_path, const QColor& background) {
    pixmap_.load(image_path);
    brush_ = QBrush(pixmap_);
    background_ = background;
    value = 0.0;
}

int progress_bar_c::fill_width(const QRect& rect, double value) {
    return int(double(rect.width()) * clamped(value));
}

QString progress_bar_c::percent_text(double value) {
    return QString::asprintf("%d%%", int(clamped(value) * 100.0));
}

void progress_bar_c::paint(QPainter& painter, const QRect& rect) const {
    painter.save();
    painter.fillRect(rect, background_);
    QRect done(rect.left(), rect.top(), fill_width(rect, value), rect.height());
    if (done.width() > 0) {
        painter.setBrushOrigin(rect.topLeft());
        painter.fillRect(done, pixmap_.isNull() ? QBrush(QColor(81, 149, 206)) : brush_);
    }
    painter.setPen(Qt::black);
    painter.drawText(rect, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextDontClip,
                     percent_text(value));
    painter.restore();
}
