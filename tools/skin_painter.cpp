#include "tools/skin_painter.hpp"

#include <QDir>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainterPath>

#include <cmath>
#include <cstdio>

namespace qv::skin {

QImage canvas(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void begin(QPainter& p, QImage& image) {
    p.begin(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

button_look blue_button(int state) {
    switch (state) {
        case 2:
            return {QColor(132, 190, 240), QColor(96, 163, 220), blue_dark};
        case 3:
            return {QColor(72, 128, 186), QColor(88, 144, 204), QColor(62, 104, 168)};
        default:
            return {QColor(112, 175, 230), blue_mid, blue_dark};
    }
}

button_look pale_button(int state) {
    switch (state) {
        case 2:
            return {white, QColor(222, 240, 255), blue_mid};
        case 3:
            return {QColor(208, 229, 250), QColor(226, 241, 255), blue_dark};
        default:
            return {white, blue_pale, blue_light};
    }
}

void button_face(QPainter& p, const QRectF& r, const button_look& look, qreal radius) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, look.top);
    g.setColorAt(1, look.bottom);
    p.setPen(QPen(look.border, 1));
    p.setBrush(g);
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    // A soft highlight along the top edge.
    QColor shine(255, 255, 255, 70);
    p.setPen(QPen(shine, 1));
    p.drawLine(QPointF(r.left() + radius, r.top() + 1.5),
               QPointF(r.right() - radius, r.top() + 1.5));
}

int fit_text(QPainter& p, const QRectF& box, const QString& text, const QColor& colour, int max_px,
             int min_px, bool bold, int alignment) {
    QFont font("DejaVu Sans");
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    int used = min_px;
    int flags = alignment | Qt::TextWordWrap;
    for (int px = max_px; px >= min_px; --px) {
        font.setPixelSize(px);
        QRectF need = QFontMetricsF(font).boundingRect(box, flags, text);
        if (need.width() <= box.width() && need.height() <= box.height()) {
            used = px;
            break;
        }
    }
    font.setPixelSize(used);
    p.save();
    p.setFont(font);
    p.setPen(colour);
    p.drawText(box, flags, text);
    p.restore();
    return used;
}

void magnifier(QPainter& p, const QPointF& c, qreal radius, qreal width, const QColor& line,
               const QColor& glass) {
    p.save();
    const qreal d = radius / std::sqrt(2.0);
    QPen handle(line, width * 1.9, Qt::SolidLine, Qt::RoundCap);
    p.setPen(handle);
    p.drawLine(c + QPointF(d, d), c + QPointF(d + radius * 0.85, d + radius * 0.85));
    p.setPen(QPen(line, width));
    p.setBrush(glass);
    p.drawEllipse(c, radius, radius);
    // A glint on the glass.
    QColor glint = line;
    glint.setAlpha(110);
    p.setPen(QPen(glint, std::max<qreal>(1.0, width * 0.5), Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(c.x() - radius * 0.6, c.y() - radius * 0.6, radius * 1.2, radius * 1.2),
              100 * 16, 60 * 16);
    p.restore();
}

namespace {

// A hard disk seen from the front: body, a groove and a light.
void hard_disk(QPainter& p, const QRectF& r, const QColor& line, const QColor& fill, qreal width) {
    p.save();
    p.setPen(QPen(line, width));
    p.setBrush(fill);
    qreal radius = r.height() * 0.22;
    p.drawRoundedRect(r, radius, radius);
    p.drawLine(QPointF(r.left() + r.width() * 0.08, r.top() + r.height() * 0.55),
               QPointF(r.right() - r.width() * 0.08, r.top() + r.height() * 0.55));
    p.setBrush(line);
    p.setPen(Qt::NoPen);
    qreal led = std::max<qreal>(1.2, r.height() * 0.12);
    p.drawEllipse(QPointF(r.right() - r.width() * 0.16, r.top() + r.height() * 0.78), led, led);
    p.restore();
}

void arrow_up(QPainter& p, const QPointF& tip, qreal length, qreal head, const QColor& line,
              qreal width) {
    p.save();
    p.setPen(QPen(line, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(tip, tip + QPointF(0, length));
    QPainterPath h;
    h.moveTo(tip + QPointF(-head, head));
    h.lineTo(tip);
    h.lineTo(tip + QPointF(head, head));
    p.setBrush(Qt::NoBrush);
    p.drawPath(h);
    p.restore();
}

void pie(QPainter& p, const QRectF& r, const QColor& line, const QColor& fill, qreal width) {
    p.save();
    p.setPen(QPen(line, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QColor a = fill, b = fill;
    a.setAlpha(std::min(255, fill.alpha() + 90));
    b.setAlpha(fill.alpha() / 2);
    p.setBrush(fill);
    p.drawPie(r, 90 * 16, 150 * 16);
    p.setBrush(a);
    p.drawPie(r, 240 * 16, 80 * 16);
    p.setBrush(b);
    p.drawPie(r, 320 * 16, 130 * 16);
    p.setBrush(line);
    p.setPen(Qt::NoPen);
    p.drawEllipse(r.center(), r.width() * 0.07, r.width() * 0.07);
    p.restore();
}

void layers(QPainter& p, const QRectF& r, const QColor& line, const QColor& fill, qreal width) {
    p.save();
    p.setPen(QPen(line, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const qreal h = r.height() * 0.42, step = r.height() * 0.29;
    for (int i = 2; i >= 0; --i) {
        qreal top = r.top() + i * step;
        QPainterPath d;
        d.moveTo(r.center().x(), top);
        d.lineTo(r.right(), top + h / 2);
        d.lineTo(r.center().x(), top + h);
        d.lineTo(r.left(), top + h / 2);
        d.closeSubpath();
        QColor f = fill;
        f.setAlpha(std::min(255, fill.alpha() + (2 - i) * 50));
        p.setBrush(f);
        p.drawPath(d);
    }
    p.restore();
}

void sheet(QPainter& p, const QRectF& r, const QColor& line, const QColor& fill, qreal width) {
    p.save();
    p.setPen(QPen(line, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const qreal fold = r.width() * 0.3;
    QPainterPath s;
    s.moveTo(r.topLeft());
    s.lineTo(r.right() - fold, r.top());
    s.lineTo(r.right(), r.top() + fold);
    s.lineTo(r.bottomRight());
    s.lineTo(r.bottomLeft());
    s.closeSubpath();
    p.setBrush(fill);
    p.drawPath(s);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(
        QPolygonF({QPointF(r.right() - fold, r.top()), QPointF(r.right() - fold, r.top() + fold),
                   QPointF(r.right(), r.top() + fold)}));
    for (int i = 0; i < 3; ++i) {
        qreal y = r.top() + r.height() * (0.45 + 0.16 * i);
        p.drawLine(QPointF(r.left() + r.width() * 0.2, y), QPointF(r.right() - r.width() * 0.2, y));
    }
    p.restore();
}

void circular_arrow(QPainter& p, const QPointF& c, qreal radius, const QColor& line, qreal width) {
    p.save();
    p.setPen(QPen(line, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QRectF box(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius);
    p.drawArc(box, 60 * 16, 280 * 16);
    // Head at the arc's end (60 degrees), pointing along the turn.
    const qreal a = 60.0 * M_PI / 180.0;
    QPointF end(c.x() + radius * std::cos(a), c.y() - radius * std::sin(a));
    qreal head = radius * 0.55;
    QPainterPath h;
    h.moveTo(end + QPointF(-head * 0.9, -head * 0.25));
    h.lineTo(end);
    h.lineTo(end + QPointF(-head * 0.1, head * 0.95));
    p.drawPath(h);
    p.restore();
}

void folder_shape(QPainter& p, const QRectF& r, const QColor& line, const QColor& fill) {
    p.save();
    p.setPen(QPen(line, 1));
    QPainterPath back;
    back.moveTo(r.left(), r.top() + r.height() * 0.12);
    back.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.12);
    back.lineTo(r.left() + r.width() * 0.48, r.top() + r.height() * 0.26);
    back.lineTo(r.right(), r.top() + r.height() * 0.26);
    back.lineTo(r.right(), r.bottom());
    back.lineTo(r.left(), r.bottom());
    back.closeSubpath();
    p.setBrush(fill.darker(112));
    p.drawPath(back);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, fill.lighter(112));
    g.setColorAt(1, fill);
    p.setBrush(g);
    p.drawRect(QRectF(r.left(), r.top() + r.height() * 0.38, r.width(), r.height() * 0.62));
    p.restore();
}

}  // namespace

void draw_icon(QPainter& p, icon which, const QRectF& b, const QColor& line, const QColor& fill) {
    const qreal w = std::max<qreal>(1.2, b.width() / 16.0);
    switch (which) {
        case icon::disk_restore:
            hard_disk(p, QRectF(b.left(), b.top() + b.height() * 0.58, b.width(), b.height() * 0.4),
                      line, fill, w);
            arrow_up(p, QPointF(b.center().x(), b.top() + b.height() * 0.04), b.height() * 0.44,
                     b.width() * 0.2, line, w * 1.4);
            break;
        case icon::partitions:
            pie(p, b.adjusted(w, w, -w, -w), line, fill, w);
            break;
        case icon::deep_scan:
            layers(
                p,
                QRectF(b.left(), b.top() + b.height() * 0.1, b.width() * 0.78, b.height() * 0.86),
                line, fill, w);
            magnifier(p, QPointF(b.left() + b.width() * 0.64, b.top() + b.height() * 0.36),
                      b.width() * 0.19, w * 1.2, line, fill);
            break;
        case icon::scan:
            hard_disk(
                p,
                QRectF(b.left(), b.top() + b.height() * 0.5, b.width() * 0.86, b.height() * 0.42),
                line, fill, w);
            magnifier(p, QPointF(b.left() + b.width() * 0.56, b.top() + b.height() * 0.34),
                      b.width() * 0.22, w * 1.3, line, fill);
            break;
        case icon::resume: {
            sheet(p,
                  QRectF(b.left() + b.width() * 0.04, b.top(), b.width() * 0.6, b.height() * 0.84),
                  line, fill, w);
            // The arrow sits on a paper-white disc so it reads apart from the sheet.
            QPointF centre(b.left() + b.width() * 0.72, b.top() + b.height() * 0.72);
            p.save();
            p.setPen(Qt::NoPen);
            p.setBrush(white);
            p.drawEllipse(centre, b.width() * 0.28, b.width() * 0.28);
            p.restore();
            circular_arrow(p, centre, b.width() * 0.18, line, w * 1.5);
            break;
        }
        case icon::drive:
            hard_disk(p,
                      QRectF(b.left() + 0.5, b.top() + b.height() * 0.25, b.width() - 1,
                             b.height() * 0.55),
                      line, fill, 1.0);
            break;
        case icon::folder:
            folder_shape(p, b, line, fill);
            break;
    }
}

bool save_png(const QImage& image, const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace qv::skin
