#include "ui/skin_resize_handler.hpp"

#include <QMouseEvent>
#include <QWindow>

#include "ui/skin_widget.hpp"

QSkinWidgetResizeHandler::QSkinWidgetResizeHandler(QSkinWidget* skin) : QObject(nullptr), skin_(skin) {
    skin_->installEventFilter(this);
}

Qt::Edges QSkinWidgetResizeHandler::edges_at(const QPoint& pos, const QSize& size, int range) {
    Qt::Edges edges;
    if (pos.x() < range) edges |= Qt::LeftEdge;
    if (pos.x() >= size.width() - range) edges |= Qt::RightEdge;
    if (pos.y() < range) edges |= Qt::TopEdge;
    if (pos.y() >= size.height() - range) edges |= Qt::BottomEdge;
    return edges;
}

QRect QSkinWidgetResizeHandler::resized(const QRect& start, Qt::Edges edges, const QPoint& delta,
                                        const QSize& minimum) {
    QRect r = start;
    if (edges & Qt::LeftEdge) r.setLeft(std::min(start.left() + delta.x(), start.right() + 1 - minimum.width()));
    if (edges & Qt::RightEdge) r.setRight(std::max(start.right() + delta.x(), start.left() + minimum.width() - 1));
    if (edges & Qt::TopEdge) r.setTop(std::min(start.top() + delta.y(), start.bottom() + 1 - minimum.height()));
    if (edges & Qt::BottomEdge)
        r.setBottom(std::max(start.bottom() + delta.y(), start.top() + minimum.height() - 1));
    return r;
}

bool QSkinWidgetResizeHandler::eventFilter(QObject* watched, QEvent* event) {
    if (watched != skin_) return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* e = static_cast<QMouseEvent*>(event);
        skin_->mousePressEvent(e);
        press(e);
        return true;
    }
    case QEvent::MouseMove: {
        auto* e = static_cast<QMouseEvent*>(event);
        skin_->mouseMoveEvent(e);
        move(e);
        return true;
    }
    case QEvent::MouseButtonRelease:
        skin_->mouseReleaseEvent(static_cast<QMouseEvent*>(event));
        drag_ = drag_kind::none;
        return true;
    case QEvent::WindowActivate:
        skin_->update();
        return false;
    default:
        return false;
    }
}

void QSkinWidgetResizeHandler::press(QMouseEvent* event) {
    drag_ = drag_kind::none;
    if (event->button() != Qt::LeftButton || skin_->button_at(event->position().toPoint())) return;
    const QPoint pos = event->position().toPoint();
    const Qt::Edges edges = skin_->is_normal() && !skin_->isMaximized() ? edges_at(pos, skin_->size()) : Qt::Edges();
    QWindow* window = skin_->windowHandle();
    if (edges) {
        if (window && window->startSystemResize(edges)) return;
        drag_ = drag_kind::resize;
        drag_edges_ = edges;
    } else if (moving_enabled_) {
        if (window && window->startSystemMove()) return;
        drag_ = drag_kind::move;
    } else {
        return;
    }
    press_global_ = event->globalPosition().toPoint();
    press_geometry_ = skin_->geometry();
}

void QSkinWidgetResizeHandler::move(QMouseEvent* event) {
    const QPoint delta = event->globalPosition().toPoint() - press_global_;
    switch (drag_) {
    case drag_kind::move:
        skin_->move(press_geometry_.topLeft() + delta);
        break;
    case drag_kind::resize:
        skin_->setGeometry(resized(press_geometry_, drag_edges_, delta, skin_->minimumSize()));
        break;
    case drag_kind::none:
        if (event->buttons() == Qt::NoButton) update_cursor(event->position().toPoint());
        break;
    }
}

void QSkinWidgetResizeHandler::update_cursor(const QPoint& pos) {
    const Qt::Edges e = skin_->is_normal() ? edges_at(pos, skin_->size()) : Qt::Edges();
    Qt::CursorShape shape = Qt::ArrowCursor;
    if (e == (Qt::LeftEdge | Qt::TopEdge) || e == (Qt::RightEdge | Qt::BottomEdge))
        shape = Qt::SizeFDiagCursor;
    else if (e == (Qt::RightEdge | Qt::TopEdge) || e == (Qt::LeftEdge | Qt::BottomEdge))
        shape = Qt::SizeBDiagCursor;
    else if (e & (Qt::LeftEdge | Qt::RightEdge))
        shape = Qt::SizeHorCursor;
    else if (e & (Qt::TopEdge | Qt::BottomEdge))
        shape = Qt::SizeVerCursor;
    if (shape == Qt::ArrowCursor)
        skin_->unsetCursor();
    else
        skin_->setCursor(shape);
}
