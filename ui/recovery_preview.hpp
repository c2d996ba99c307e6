#pragma once
// The recovery page's preview: copies a clicked small file through its engine
// into a private temporary folder, loads it as a picture or text, and waits
// for the recovery worker when that is busy with the same engine.

#include <QDir>
#include <QRect>
#include <QSize>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include "ui/file_preview.hpp"
#include "ui/recovery_item.hpp"

class QPainter;

namespace qv::ui {

class recovery_preview_c {
public:
    // Writes a row's file into a folder under its own safe name: 0, or negative.
    using recover_fn = std::function<int(const QDir& folder, const recovery_item_s& row)>;

    explicit recovery_preview_c(recover_fn recover);

    const file_preview_s& current() const { return preview_; }
    // No preview and none waiting.
    void clear();
    // Shows the row's preview now, or, while the worker copies files out
    // through the same engine, once it has finished. Large files are not previewed.
    void request(const recovery_item_s& row, bool worker_busy);
    // Shows the preview that waited for the worker, if any; true when one did.
    bool show_waiting();
    // Recovers the row into the temporary folder and loads its preview.
    void show(const recovery_item_s& row);
    // Paints the picture in the page's preview frame, or the text into text_rect.
    void paint(QPainter& painter, const QSize& page, const QRect& text_rect) const;

private:
    recover_fn recover_;
    file_preview_s preview_;
    std::unique_ptr<QTemporaryDir> dir_;
    // A preview asked for while the worker ran; shown when it has finished.
    std::unique_ptr<recovery_item_s> waiting_;
};

}  // namespace qv::ui
