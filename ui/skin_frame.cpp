#include "ui/skin_frame.hpp"

#include <QColor>
#include <QFont>
#include <QPainter>

namespace qv::ui {

namespace {

// The shipped images' sizes; used where an image is missing.
constexpr int default_left = 3;
constexpr int default_top = 100;
constexpr int default_right = 3;
constexpr int default_bottom = 4;
constexpr int band_end = 64;  // the top band's ends are drawn unstretched
const QColor missing_image_colour(42, 93, 154);

int width_or(const QPixmap& p, int fallback) { return p.isNull() ? fallback : p.width(); }
int height_or(const QPixmap& p, int fallback) { return p.isNull() ? fallback : p.height(); }

void draw_top_band(QPainter& painter, const QPixmap& so, int w, int top) {
    if (so.isNull() || so.width() < 2 * band_end + 1) {
        painter.fillRect(0, 0, w, top, missing_image_colour);
        return;
    }
    const int h = so.height();
    painter.drawPixmap(QRect(0, 0, band_end, h), so, QRect(0, 0, band_end, h));
    painter.drawPixmap(QRect(w - band_end, 0, band_end, h), so, QRect(so.width() - band_end, 0, band_end, h));
    painter.drawPixmap(QRect(band_end, 0, w - 2 * band_end, h), so,
                       QRect(band_end, 0, so.width() - 2 * band_end, h));
}

void draw_bottom_edge(QPainter& painter, const QPixmap& su, int w, int h, int left, int right, int bottom) {
    if (su.isNull() || su.width() <= left + right) {
        painter.fillRect(0, h - bottom, w, bottom, missing_image_colour);
        return;
    }
    const int sw = su.width();
    const int sh = su.height();
    painter.drawPixmap(QRect(left, h - sh, w - left - right, sh), su, QRect(left, 0, sw - left - right, sh));
    painter.drawPixmap(QRect(0, h - sh, left, sh), su, QRect(0, 0, left, sh));
    painter.drawPixmap(QRect(w - right, h - sh, right, sh), su, QRect(sw - right, 0, right, sh));
}

void draw_side(QPainter& painter, const QPixmap& image, const QRect& target) {
    if (image.isNull())
        painter.fillRect(target, missing_image_colour);
    else
        painter.drawPixmap(target, image);
}

}  // namespace

skin_frame_images_s skin_frame_images_s::load() {
    return {QPixmap(":/images/system/so.png"), QPixmap(":/images/system/su.png"), QPixmap(":/images/system/sl.png"),
            QPixmap(":/images/system/sr.png"), QPixmap(":/images/top/logo.png")};
}

QMargins skin_content_margins(const skin_frame_images_s& images) {
    return QMargins(width_or(images.left, default_left), height_or(images.top, default_top),
                    width_or(images.right, default_right), height_or(images.bottom, default_bottom));
}

QPixmap paint_skin_frame(const QSize& size, const QString& title, const skin_frame_images_s& images) {
    QPixmap frame(size.expandedTo(QSize(1, 1)));
    frame.fill(Qt::transparent);
    const QMargins m = skin_content_margins(images);
    const int w = size.width();
    const int h = size.height();
    QPainter painter(&frame);
    draw_top_band(painter, images.top, w, m.top());
    draw_bottom_edge(painter, images.bottom, w, h, m.left(), m.right(), m.bottom());
    draw_side(painter, images.right, QRect(w - m.right(), m.top(), m.right(), h - m.top() - m.bottom()));
    draw_side(painter, images.left, QRect(0, m.top(), m.left(), h - m.bottom() - m.top()));
    if (!images.logo.isNull()) painter.drawPixmap(w - 120, 24, images.logo);
    QFont font("Comic Sans MS");
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QPoint(10, 20), title);
    return frame;
}

}  // namespace qv::ui
