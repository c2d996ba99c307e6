#include "ui/recovery_form.hpp"

#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>

#include "app/language_settings.hpp"
#include "ui/button_images.hpp"

namespace qv::ui {

namespace {

QString image_buttons(const char* base, const char* text_colour) {
    QString b = QString("/images/partition_search/%1").arg(base);
    return button_style_sheet(b + "1.png", b + "2.png", b + "3.png") +
           QString("QPushButton{ color: %1; }").arg(text_colour);
}

constexpr int button_font_points = 11;
constexpr int smallest_font_points = 7;
constexpr int text_margin = 8;

QPushButton* make_button(QWidget* page, const char* name, const char* key, const QString& style,
                         int width) {
    auto* b = new QPushButton(page);
    b->setObjectName(name);
    b->setProperty("fit_width", width);
    b->setStyleSheet(style);
    b->setCursor(Qt::PointingHandCursor);
    recovery_form_s::set_text(b, language_text(key));
    return b;
}

}  // namespace

void recovery_form_s::set_text(QPushButton* button, const QString& text) {
    const int room = button->property("fit_width").toInt() - text_margin;
    QFont font("Arial", button_font_points, QFont::Bold);
    while (font.pointSize() > smallest_font_points &&
           QFontMetrics(font).horizontalAdvance(text) > room)
        font.setPointSize(font.pointSize() - 1);
    button->setFont(font);
    button->setText(text);
}

void recovery_form_s::setup(QWidget* page) {
    page->setObjectName("RecoveryForm");
    page->setAutoFillBackground(true);
    QPalette palette = page->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::Base, Qt::white);
    page->setPalette(palette);

    const QString wide = image_buttons("btn_wai_", "#ffffff");
    const QString narrow = image_buttons("btn_start_", "#2a5d9a");
    btn_recovery = make_button(page, "btn_recovery", "btn_recovery", wide, 100);
    btn_back = make_button(page, "btn_back", "btn_back", wide, 100);
    btn_stop = make_button(page, "btn_stop", "btn_stop", narrow, 80);
    btn_pause = make_button(page, "btn_pause", "btn_pause", narrow, 80);
    btn_filter = make_button(page, "btn_filter", "btn_save_result", narrow, 80);

    tv_dirtree = new QTreeView(page);
    tv_dirtree->setObjectName("tv_dirtree");
    tv_dirtree->setFrameShape(QFrame::NoFrame);
    tv_dirtree->setStyleSheet("QTreeView{border-style: none;border: 1px solid #8bb8fe;}");
    tv_dirtree->header()->hide();
    tv_dirtree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tv_dirtree->header()->setStretchLastSection(false);

    lbl_anime = new QLabel(page);
    lbl_anime->setObjectName("lbl_anime");
    lbl_anime->setAttribute(Qt::WA_TranslucentBackground);
}

}  // namespace qv::ui
