#include "ui/recovery_preview.hpp"

#include <QPainter>
#include <QTextOption>

#include "engine/safe_names.hpp"

namespace qv::ui {

recovery_preview_c::recovery_preview_c(recover_fn recover) : recover_(std::move(recover)) {}

void recovery_preview_c::clear() {
    preview_ = {};
    waiting_.reset();
}

void recovery_preview_c::request(const recovery_item_s& row, bool worker_busy) {
    if (row.size > preview_max_bytes) return;
    // One engine serves one thread: while the worker copies files out, the
    // preview waits for it.
    if (worker_busy)
        waiting_ = std::make_unique<recovery_item_s>(row);
    else
        show(row);
}

bool recovery_preview_c::show_waiting() {
    if (!waiting_) return false;
    std::unique_ptr<recovery_item_s> row = std::move(waiting_);
    show(*row);
    return true;
}

void recovery_preview_c::show(const recovery_item_s& row) {
    if (!dir_) {
        dir_ = std::make_unique<QTemporaryDir>(QDir::temp().filePath("quorvane-preview-XXXXXX"));
        if (!dir_->isValid()) {
            dir_.reset();
            return;
        }
    }
    QDir dir(dir_->path());
    if (recover_(dir, row) != 0) return;
    preview_ = load_file_preview(dir.filePath(safe_file_name(row.name)), row.name);
}

void recovery_preview_c::paint(QPainter& painter, const QSize& page, const QRect& text_rect) const {
    if (!preview_.ready) return;
    if (!preview_.image.isNull()) {
        QRect target = preview_image_rect(page, preview_.image.size());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, preview_.image);
    } else if (!preview_.text.isEmpty()) {
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        painter.setPen(Qt::black);
        painter.save();
        painter.setClipRect(text_rect);
        painter.drawText(QRectF(text_rect), preview_.text, option);
        painter.restore();
    }
}

}  // namespace qv::ui
