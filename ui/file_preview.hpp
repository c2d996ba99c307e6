#pragma once
// The preview of a clicked file: pictures as images, anything else as the text of its first bytes.

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>

namespace qv::ui {

// Files above this size (5 MiB) are not previewed.
inline constexpr uint64_t preview_max_bytes = 0x500000;
// Bytes of a file shown as text.
inline constexpr qint64 preview_text_bytes = 8192;

struct file_preview_s {
    bool ready = false;  // the file was recovered for preview
    QImage image;        // an image preview with a nonzero size
    QString text;        // a text preview (when at least one byte was read)
};

// True when the name's last four characters, in lower case, are those of a
// picture type the preview shows as an image (".jpg", "jpeg", ".png", ...).
bool preview_as_image(const QString& name);
// Text from the first bytes of a file: UTF-16LE after FF FE, UTF-8 after
// EF BB BF, else Latin-1; ends at the first NUL.
QString preview_text(const QByteArray& bytes);
// Reads the preview of the file at path, shown under name.
file_preview_s load_file_preview(const QString& path, const QString& name);

// Where an image goes in the preview frame of a page of the given size:
// as high as the frame allows, centred, and narrowed to fit when it is wide.
QRect preview_image_rect(const QSize& page, const QSize& image);

}  // namespace qv::ui
