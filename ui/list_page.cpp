#include "ui/list_page.hpp"

#include <QAbstractItemModel>
#include <QItemSelectionModel>
#include <QListView>
#include <QPainter>
#include <QPushButton>

#include "app/language_settings.hpp"
#include "ui/button_images.hpp"

namespace qv::ui {

namespace {

constexpr int button_width = 100;
constexpr int button_height = 30;

QString wide_button_style() {
    const QString base = "/images/partition_search/btn_wai_";
    return button_style_sheet(base + "1.png", base + "2.png", base + "3.png") + "QPushButton{ color: #ffffff; }";
}

}  // namespace

void set_page_palette(QWidget* page) {
    QPalette palette = page->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button, QPalette::Light, QPalette::Midlight,
                          QPalette::BrightText, QPalette::AlternateBase})
            palette.setColor(group, role, Qt::white);
        const QColor text = group == QPalette::Disabled ? QColor(127, 127, 127) : QColor(Qt::black);
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(group, role, text);
        palette.setColor(group, QPalette::Shadow, Qt::black);
        palette.setColor(group, QPalette::Dark, QColor(127, 127, 127));
        palette.setColor(group, QPalette::Mid, QColor(170, 170, 170));
        palette.setColor(group, QPalette::ToolTipBase, QColor(255, 255, 220));
        palette.setColor(group, QPalette::ToolTipText, Qt::black);
    }
    page->setPalette(palette);
    // The window is translucent: a page fills its own background.
    page->setAutoFillBackground(true);
}

QPushButton* make_page_button(QWidget* parent, const char* name, const char* key) {
    auto* b = new QPushButton(language_text(key), parent);
    b->setObjectName(name);
    b->setFont(fit_button_font(b->text(), button_width));
    b->setStyleSheet(wide_button_style());
    b->setCursor(Qt::PointingHandCursor);
    b->resize(button_width, button_height);
    return b;
}

void list_page_form_s::setup(QWidget* page, const char* form_name, const char* list_name) {
    page->setObjectName(form_name);
    set_page_palette(page);
    list = new QListView(page);
    list->setObjectName(list_name);
    list->setFrameShape(QFrame::NoFrame);
    list->setStyleSheet("QListView{border-style: none;border: 1px solid #8bb8fe;}");
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setUniformItemSizes(true);
    btn_back = make_page_button(page, "btn_back", "btn_back");
    btn_refresh = make_page_button(page, "btn_refresh", "btn_refresh");
    btn_scan = make_page_button(page, "btn_scan", "btn_scan");
}

list_page_geometry_s list_page_geometry(const QSize& page) {
    const int w = page.width();
    const int h = page.height();
    list_page_geometry_s g;
    g.btn_back = QRect(175, h - 54, button_width, button_height);
    g.btn_refresh = QRect(w / 2 - 50, h - 54, button_width, button_height);
    g.btn_scan = QRect(w - 275, h - 54, button_width, button_height);
    g.list = QRect(25, 45, w - 50, h - 140);
    return g;
}

void list_page_form_s::lay_out(const QSize& page) const {
    const list_page_geometry_s g = list_page_geometry(page);
    btn_back->setGeometry(g.btn_back);
    btn_refresh->setGeometry(g.btn_refresh);
    btn_scan->setGeometry(g.btn_scan);
    list->setGeometry(g.list);
}

void paint_list_page(QWidget* page) {
    QPainter painter(page);
    const QPixmap band(":/images/background/bai.png");
    if (!band.isNull()) painter.fillRect(QRect(0, 0, page->width(), band.height()), QBrush(band));
    painter.setFont(QFont("Arial", 12));
    painter.setPen(Qt::black);
    painter.drawText(QPoint(23, 30), language_text("volume_select"));
}

void install_list_model(QAbstractItemView* view, QAbstractItemModel* model) {
    QAbstractItemModel* old_model = view->model();
    QItemSelectionModel* old_selection = view->selectionModel();
    if (model && !model->parent()) model->setParent(view);
    view->setModel(model);
    if (old_selection && old_selection != view->selectionModel()) old_selection->deleteLater();
    if (old_model && old_model != model && old_model->parent() == view) old_model->deleteLater();
}

}  // namespace qv::ui
