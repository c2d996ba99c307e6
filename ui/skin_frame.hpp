#pragma once
// The skinned window's frame: top band, edges, logo and title composed from the skin images.

#include <QMargins>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace qv::ui {

struct skin_frame_images_s {
    QPixmap top;     // so.png, the 100-pixel top band
    QPixmap bottom;  // su.png
    QPixmap left;    // sl.png
    QPixmap right;   // sr.png
    QPixmap logo;    // top/logo.png

    // Loads the images from ":/images/system" and ":/images/top".
    static skin_frame_images_s load();
};

// Left, top, right and bottom: the widths and heights of the edge images
// (3, 100, 3, 4 with the shipped skin; the same when an image is missing).
QMargins skin_content_margins(const skin_frame_images_s& images);

// A size-sized image, transparent but for the frame: the top band with its
// 64-pixel ends kept and the middle stretched, the edges, the logo at
// (width - 120, 24) and the title in white with its baseline at (10, 20).
// A missing edge image is replaced by a plain band of the same size.
QPixmap paint_skin_frame(const QSize& size, const QString& title, const skin_frame_images_s& images);

}  // namespace qv::ui
