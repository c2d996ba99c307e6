#pragma once
// Drawing pieces of the skin images: the palette, buttons, fitted lettering and icons.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace qv::skin {

// The skin's blues.
inline const QColor blue_dark(91, 135, 201);
inline const QColor blue_light(139, 184, 241);
inline const QColor blue_mid(81, 149, 206);
inline const QColor blue_pale(232, 246, 255);
inline const QColor blue_line(211, 231, 255);
inline const QColor white(255, 255, 255);

// A transparent canvas.
QImage canvas(int width, int height);
// A painter with antialiasing on.
void begin(QPainter& p, QImage& image);

// Button looks for the three states (1 normal, 2 hover, 3 pressed).
struct button_look {
    QColor top, bottom, border;
};
button_look blue_button(int state);
button_look pale_button(int state);
// A rounded button face with a vertical gradient, a border and a soft top highlight.
void button_face(QPainter& p, const QRectF& r, const button_look& look, qreal radius);

// Draws text as large as fits in box (pixel sizes max_px down to min_px),
// wrapping at words when it must. Returns the pixel size used.
int fit_text(QPainter& p, const QRectF& box, const QString& text, const QColor& colour, int max_px,
             int min_px, bool bold, int alignment);

enum class icon {
    disk_restore,  // a hard disk with an arrow out of it: recover files
    partitions,    // a disc cut into partitions
    deep_scan,     // stacked layers under a magnifier
    scan,          // a magnifier over a hard disk
    resume,        // a saved result sheet with a circular arrow
    drive,         // a small hard disk
    folder,
};
// Draws an icon into box with the given line colour and fill colour.
void draw_icon(QPainter& p, icon which, const QRectF& box, const QColor& line, const QColor& fill);
// A magnifier: lens centre, lens radius, line width; the handle points down-right.
void magnifier(QPainter& p, const QPointF& centre, qreal radius, qreal width, const QColor& line,
               const QColor& glass);

// Saves as PNG; false (with a message on standard error) on failure.
bool save_png(const QImage& image, const QString& path);

}  // namespace qv::skin
