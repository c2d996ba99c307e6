#include "ui/skin_widget.hpp"

#include <QAction>
#include <QChildEvent>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>

#include "app/language_settings.hpp"
#include "devices/volume_items.hpp"
#include "ui/button_images.hpp"
#include "ui/help_manual.hpp"
#include "ui/scan_state.hpp"
#include "ui/shell_prompts.hpp"
#include "ui/skin_resize_handler.hpp"
#include "ui/skin_resources.hpp"

using qv::ui::init_skin_resources;
using qv::ui::open_user_manual;
using qv::ui::paint_skin_frame;
using qv::ui::shell_message;
using qv::ui::skin_content_margins;
using qv::ui::skin_frame_images_s;

namespace {

// Presses, double-clicks and drags below this line belong to the pages.
constexpr int top_band_height = 100;
constexpr int repaint_interval_ms = 400;
const char* const window_title = "Tessaline";

}  // namespace

QSkinWidget::QSkinWidget(QWidget* parent) : QWidget(parent) {
    init_skin_resources();
    frame_images_ = skin_frame_images_s::load();

    add_button(std::make_unique<top_button_c>(), top_button_image("1", "1"), top_button_image("1", "2"),
               top_button_image("1", "3"), QRect(10, 25, 95, 70), &QSkinWidget::on_click_top_volumes);
    add_button(std::make_unique<top_button_c>(), top_button_image("2", "1"), top_button_image("2", "2"),
               top_button_image("2", "3"), QRect(113, 25, 95, 70), &QSkinWidget::on_click_top_drives);
    add_button(std::make_unique<top_button_c>(), top_button_image("3", "1"), top_button_image("3", "2"),
               top_button_image("3", "3"), QRect(216, 25, 95, 70), &QSkinWidget::on_click_top_deep_scan);
    add_button(std::make_unique<system_button_c>(), ":/images/system/quiButton1.png", ":/images/system/quiButton2.png",
               ":/images/system/quiButton3.png", QRect(1, 1, 30, 21), &QSkinWidget::on_click_close);
    add_button(std::make_unique<system_button_c>(), ":/images/system/maxButton1.png", ":/images/system/maxButton2.png",
               ":/images/system/maxButton3.png", QRect(31, 1, 30, 21), &QSkinWidget::on_click_maximise);
    maximise_button_ = buttons_.back().get();
    add_button(std::make_unique<system_button_c>(), ":/images/system/minButton1.png", ":/images/system/minButton2.png",
               ":/images/system/minButton3.png", QRect(61, 1, 30, 21), &QSkinWidget::on_click_minimise);
    add_button(std::make_unique<system_button_c>(), ":/images/system/settingButton1.png",
               ":/images/system/settingButton2.png", ":/images/system/settingButton3.png", QRect(91, 1, 30, 21),
               &QSkinWidget::on_click_settings);
    build_menu();

    setWindowFlags(Qt::FramelessWindowHint);
    // Per-pixel alpha has to be asked for before the native window exists.
    setAttribute(Qt::WA_TranslucentBackground);
    QTimer::singleShot(1, this, &QSkinWidget::setLayered);
    setWindowTitle(window_title);
    backing_ = QPixmap(size());
    backing_.fill(Qt::transparent);
    // The pages are child widgets that repaint themselves; the timer refreshes the frame around them.
    connect(&repaint_timer_, &QTimer::timeout, this,
            [this] { update(QRegion(rect()).subtracted(QRegion(contentsRect()))); });
    repaint_timer_.start(repaint_interval_ms);
    setMouseTracking(true);
    setContentsMargins(skin_content_margins(frame_images_));
    resize_handler_ = std::make_unique<QSkinWidgetResizeHandler>(this);
    frame_dirty_ = true;
}

QSkinWidget::~QSkinWidget() {
    repaint_timer_.stop();
    if (resize_handler_) removeEventFilter(resize_handler_.get());
}

void QSkinWidget::add_button(std::unique_ptr<button_t> button, const char* normal, const char* hover,
                             const char* pressed, const QRect& rect, button_t::action_t action) {
    add_button(std::move(button), QString(normal), QString(hover), QString(pressed), rect, action);
}

void QSkinWidget::add_button(std::unique_ptr<button_t> button, const QString& normal, const QString& hover,
                             const QString& pressed, const QRect& rect, button_t::action_t action) {
    button->init(normal, hover, pressed, rect, QString());
    button->action = action;
    buttons_.push_back(std::move(button));
}

void QSkinWidget::build_menu() {
    menu_ = new QMenu(this);
    QMenu* languages = menu_->addMenu(tr("Language"));
    for (qsizetype i = language_sections.size() - 1; i >= 0; --i) {
        QAction* action = languages->addAction(language_sections[i]);
        action->setData(int(i));
        connect(action, &QAction::triggered, this, &QSkinWidget::on_click_language);
    }
    menu_->addSeparator();
    connect(menu_->addAction(language_text("menu_help")), &QAction::triggered, this, &QSkinWidget::on_click_help);
    menu_->addSeparator();
    connect(menu_->addAction(language_text("menu_exit")), &QAction::triggered, this, &QSkinWidget::on_click_close);
}

QSkinWidget::button_t* QSkinWidget::button_at(const QPoint& point) const {
    for (const auto& b : buttons_)
        if (b->hit_test(point, rect())) return b.get();
    return nullptr;
}

// ---- painting ----

void QSkinWidget::updateStyle() {
    frame_ = paint_skin_frame(size(), windowTitle(), frame_images_);
    frame_dirty_ = false;
}

void QSkinWidget::setLayered() {
    if (!testAttribute(Qt::WA_TranslucentBackground)) setAttribute(Qt::WA_TranslucentBackground);
    update();
}

void QSkinWidget::updateAlpha() { update(); }

void QSkinWidget::paintEvent(QPaintEvent*) {
    // The pages are child widgets and paint themselves over this image.
    if (frame_dirty_ || frame_.size() != size()) updateStyle();
    if (backing_.size() != size()) backing_ = QPixmap(size());
    backing_.fill(Qt::transparent);
    {
        QPainter painter(&backing_);
        painter.drawPixmap(0, 0, frame_);
        for (const auto& b : buttons_) b->paint(painter, rect());
    }
    QPainter window(this);
    window.setCompositionMode(QPainter::CompositionMode_Source);
    window.drawPixmap(0, 0, backing_);
}

void QSkinWidget::resizeEvent(QResizeEvent* event) {
    frame_dirty_ = true;
    QWidget::resizeEvent(event);
}

void QSkinWidget::closeEvent(QCloseEvent* event) {
    emit aboutToClose();
    event->accept();
}

// ---- mouse ----

void QSkinWidget::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (pos.y() > top_band_height) {
        resize_handler_->setMovingEnabled(false);
        return;
    }
    bool pressed_before = false;
    for (const auto& b : buttons_) {
        if (!b->hit_test(pos, rect())) continue;
        resize_handler_->setMovingEnabled(false);
        if (b->state != 2) {
            b->state = 2;
            update();
            return;
        }
        pressed_before = true;
    }
    if (!pressed_before) resize_handler_->setMovingEnabled(true);
}

void QSkinWidget::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    for (const auto& b : buttons_) {
        if (!b->hit_test(pos, rect()) || b->state == 1) continue;
        b->state = 1;
        update();
        event->accept();
        b->run(*this);
        return;
    }
}

void QSkinWidget::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    for (const auto& b : buttons_) {
        const bool hit = b->hit_test(pos, rect());
        if (hit && b->state == 0) {
            b->state = 1;
            update();
            return;
        }
        if (!hit && b->state != 0) {
            b->state = 0;
            update();
            return;
        }
    }
}

void QSkinWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (pos.y() > top_band_height || button_at(pos)) return;
    maximise_button_->run(*this);
}

bool QSkinWidget::clear_button_states() {
    bool changed = false;
    for (const auto& b : buttons_)
        if (b->state != 0) {
            b->state = 0;
            changed = true;
        }
    return changed;
}

void QSkinWidget::leaveEvent(QEvent* event) {
    // The mouse went off the window: no button stays lit.
    if (clear_button_states()) update();
    QWidget::leaveEvent(event);
}

void QSkinWidget::childEvent(QChildEvent* event) {
    if (event->added() && event->child()->isWidgetType()) event->child()->installEventFilter(this);
    QWidget::childEvent(event);
}

bool QSkinWidget::eventFilter(QObject* watched, QEvent* event) {
    // Moving from the top band onto a page sends the window no leave event.
    if (event->type() == QEvent::Enter && watched->parent() == this && clear_button_states()) update();
    return QWidget::eventFilter(watched, event);
}

// ---- title-bar buttons ----

void QSkinWidget::on_click_maximise() {
    maximise_button_->set_images(":/images/system/resumeButton1.png", ":/images/system/resumeButton2.png",
                                 ":/images/system/resumeButton3.png");
    maximise_button_->action = &QSkinWidget::on_click_restore;
    toggle_maximised();
}

void QSkinWidget::on_click_restore() {
    maximise_button_->set_images(":/images/system/maxButton1.png", ":/images/system/maxButton2.png",
                                 ":/images/system/maxButton3.png");
    maximise_button_->action = &QSkinWidget::on_click_maximise;
    toggle_maximised();
}

void QSkinWidget::toggle_maximised() {
    if (normal_) {
        saved_geometry_ = saveGeometry();
        if (QScreen* screen = QGuiApplication::primaryScreen()) setGeometry(screen->availableGeometry());
    } else {
        restoreGeometry(saved_geometry_);
    }
    normal_ = !normal_;
    update();
}

void QSkinWidget::on_click_minimise() {
    for (const auto& b : buttons_) b->state = 0;
    showMinimized();
}

void QSkinWidget::on_click_settings() { menu_->exec(QCursor::pos()); }

void QSkinWidget::on_click_close() {
    if (scan_running && shell_message(this, "Quorvane", "quit_warning", QMessageBox::Yes | QMessageBox::No) !=
                            QMessageBox::Yes)
        return;
    close();
}

void QSkinWidget::on_click_help() { open_user_manual(); }

void QSkinWidget::on_click_language() {
    auto* action = qobject_cast<QAction*>(sender());
    if (!action) return;
    const int position = action->data().toInt();
    if (position == language_index || position < 0 || position >= language_sections.size()) return;
    current_language = language_sections[position];
    language_index = position;
    save_settings();
    shell_message(this, "Quorvane", "language_warning");
}

// ---- top band ----

bool QSkinWidget::leave_for_top_band() {
    if (!init_ready) {
        shell_message(this, "Quorvane", "startup_warning");
        return false;
    }
    if (scan_running &&
        shell_message(this, "Quorvane", "back_warning", QMessageBox::Yes | QMessageBox::No) == QMessageBox::No)
        return false;
    leave_recovery_page();
    return true;
}

void QSkinWidget::on_click_top_volumes() {
    if (!leave_for_top_band()) return;
    deep_scan_requested = false;
    show_page(1);
}

void QSkinWidget::on_click_top_drives() {
    if (!leave_for_top_band()) return;
    show_page(2);
}

void QSkinWidget::on_click_top_deep_scan() {
    if (!leave_for_top_band()) return;
    deep_scan_requested = true;
    show_page(1);
}
