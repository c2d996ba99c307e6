#include "ui/home_window.hpp"

#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "app/language_settings.hpp"
#include "ui/button_images.hpp"
#include "ui/list_page.hpp"
#include "ui/main_window.hpp"
#include "ui/skin_resources.hpp"

using qv::ui::home_layout;
using qv::ui::home_layout_s;
using qv::ui::init_skin_resources;
using qv::ui::set_page_palette;

namespace qv::ui {

home_layout_s home_layout(int h, int start_height, int resume_height, int label_height) {
    home_layout_s l;
    l.button_y_start = int(h - (0.55 * h + start_height));
    l.button_y_resume = int(h - (0.55 * h + resume_height));
    l.picture_label_y = h - label_height - 60;
    l.picture = QPoint(55, h - 240);
    l.text = {QPoint(70, h - 190), QPoint(70, h - 140), QPoint(70, h - 90)};
    return l;
}

}  // namespace qv::ui

home_window_c::home_window_c(main_window_c* main_window, QWidget* parent)
    : QWidget(parent), main_window_(main_window) {
    init_skin_resources();
    // The form.
    setObjectName("HomeForm");
    resize(676, 492);
    setWindowTitle("Form");
    set_page_palette(this);
    btn_start_ = new QPushButton(this);
    btn_start_->setObjectName("btn_start");
    btn_start_->setGeometry(130, 190, 111, 41);
    btn_resume_ = new QPushButton(this);
    btn_resume_->setObjectName("btn_resume");
    btn_resume_->setGeometry(370, 190, 121, 41);
    lbl_wenzi_ = new QLabel(this);
    lbl_wenzi_->setObjectName("lbl_wenzi");
    lbl_wenzi_->setGeometry(150, 300, 301, 91);
    lbl_wenzi_->setStyleSheet("#lbl_wenzi {border-image: url(:/images/home/wenzi.png); }");

    lbl_wenzi_->setGeometry(55, 262, 692, 188);
    btn_start_->setGeometry(40, 105, 330, 106);
    btn_resume_->setGeometry(425, 105, 323, 106);
    btn_start_->setStyleSheet(button_style_sheet(home_button_image("btn_start_scan", "1"),
                                                 home_button_image("btn_start_scan", "2"),
                                                 home_button_image("btn_start_scan", "3")));
    btn_resume_->setStyleSheet(button_style_sheet(home_button_image("btn_resume_recovery", "1"),
                                                  home_button_image("btn_resume_recovery", "2"),
                                                  home_button_image("btn_resume_recovery", "3")));
    btn_start_->setCursor(Qt::PointingHandCursor);
    btn_resume_->setCursor(Qt::PointingHandCursor);
    if (main_window_) {
        connect(btn_start_, &QPushButton::clicked, main_window_, &main_window_c::on_click_home_start);
        connect(btn_resume_, &QPushButton::clicked, main_window_, &main_window_c::on_click_home_resume);
    }
    lbl_wenzi_->hide();
}

void home_window_c::resizeEvent(QResizeEvent* event) {
    const home_layout_s l = home_layout(height(), btn_start_->height(), btn_resume_->height(), lbl_wenzi_->height());
    btn_start_->move(btn_start_->x(), l.button_y_start);
    btn_resume_->move(btn_resume_->x(), l.button_y_resume);
    lbl_wenzi_->move(lbl_wenzi_->x(), l.picture_label_y);
    QWidget::resizeEvent(event);
}

void home_window_c::paintEvent(QPaintEvent*) {
    const home_layout_s l = home_layout(height());
    QPainter painter(this);
    const QPixmap band(":/images/background/bai.png");
    if (!band.isNull()) painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    const QPixmap picture(":/images/home/wenzi.png");
    if (!picture.isNull()) painter.drawPixmap(l.picture, picture);
    painter.setFont(QFont("arial", 8));
    painter.setPen(QColor(91, 135, 201));
    painter.drawText(l.text[0], language_text("home_text1"));
    painter.drawText(l.text[1], language_text("home_text2"));
    painter.drawText(l.text[2], language_text("home_text3"));
}
