#pragma once
// The recovery page's form ("RecoveryForm"): its buttons, the folder tree and the animation label.

class QLabel;
class QString;
class QPushButton;
class QTreeView;
class QWidget;

namespace qv::ui {

struct recovery_form_s {
    QPushButton* btn_recovery = nullptr;
    QPushButton* btn_back = nullptr;
    QPushButton* btn_stop = nullptr;
    QPushButton* btn_pause = nullptr;
    QPushButton* btn_filter = nullptr;  // saves a deep-scan result
    QTreeView* tv_dirtree = nullptr;
    QLabel* lbl_anime = nullptr;

    // Creates the widgets on page, with their object names, texts, fonts and images.
    void setup(QWidget* page);
    // Sets a button's text in Arial 11 bold, smaller when a long translation
    // would not fit the button.
    static void set_text(QPushButton* button, const QString& text);
};

}  // namespace qv::ui
