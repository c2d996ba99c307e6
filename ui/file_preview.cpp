#include "ui/file_preview.hpp"

#include <QFile>

#include <algorithm>

#include "ui/recovery_layout.hpp"

namespace qv::ui {

namespace {

const char* const image_endings[] = {".bmp", ".gif", ".jpg", "jpeg", ".png", ".pbm",
                                     ".pgm", ".ppm", "tiff", ".xbm", ".xpm"};

}  // namespace

bool preview_as_image(const QString& name) {
    if (name.size() < 4) return false;
    QString ending = name.right(4).toLower();
    for (const char* e : image_endings)
        if (ending == QLatin1String(e)) return true;
    return false;
}

QString preview_text(const QByteArray& bytes) {
    QString text;
    if (bytes.size() > 2 && uchar(bytes[0]) == 0xFF && uchar(bytes[1]) == 0xFE) {
        QByteArray body = bytes.mid(2);
        qsizetype units = body.size() / 2;
        text.resize(units);
        for (qsizetype i = 0; i < units; ++i)
            text[i] = QChar(char16_t(uchar(body[2 * i]) | (uchar(body[2 * i + 1]) << 8)));
    } else if (bytes.size() > 3 && uchar(bytes[0]) == 0xEF && uchar(bytes[1]) == 0xBB &&
               uchar(bytes[2]) == 0xBF) {
        text = QString::fromUtf8(bytes.mid(3));
    } else {
        text = QString::fromLatin1(bytes);
    }
    qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0) text.truncate(nul);
    return text;
}

file_preview_s load_file_preview(const QString& path, const QString& name) {
    file_preview_s preview;
    preview.ready = true;
    if (preview_as_image(name)) {
        QImage image(path);
        if (image.width() > 0 && image.height() > 0) preview.image = image;
        return preview;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return preview;
    QByteArray bytes = file.read(preview_text_bytes);
    if (!bytes.isEmpty()) preview.text = preview_text(bytes);
    return preview;
}

QRect preview_image_rect(const QSize& page, const QSize& image) {
    if (image.width() <= 0 || image.height() <= 0) return {};
    recovery_layout_s layout = recovery_layout(page.width(), page.height());
    int64_t h = std::max(0, layout.preview_frame.height() - 10);
    int64_t w = h * image.width() / image.height();
    int64_t room = std::max(0, layout.preview_frame.width() - 10);
    if (w > room) {
        w = room;
        h = w * image.height() / image.width();
    }
    int x = int((page.width() - w - 222) / 2 + 212);
    return QRect(x, layout.preview_frame.y() + 5, int(w), int(h));
}

}  // namespace qv::ui
