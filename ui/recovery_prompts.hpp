#pragma once
// Everything the recovery page asks of the user or the desktop, replaceable so
// the page can be driven without anyone at the screen.

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QWidget;

namespace qv::ui {

struct recovery_prompts_s {
    // A question with Yes and No; true for Yes.
    std::function<bool(QWidget* parent, const char* key)> ask;
    // A message with an OK button.
    std::function<void(QWidget* parent, const char* key)> tell;
    // The folder to recover into; empty when cancelled.
    std::function<QString(QWidget* parent)> choose_folder;
    // A scan-result file to write (save true) or read; empty when cancelled.
    std::function<QString(QWidget* parent, bool save)> choose_result_file;
    // Shows a folder in the desktop's file browser.
    std::function<void(const QString& folder)> open_folder;
    // The values of %1, %2 ... in the text of the next ask or tell; emptied by it.
    std::shared_ptr<QStringList> text_args = std::make_shared<QStringList>();
};

// Message boxes, file dialogs and the desktop's file browser.
recovery_prompts_s desktop_recovery_prompts();

}  // namespace qv::ui
