#pragma once
// Moves the skinned window by its top band and resizes it at its edges,
// through the window system where it can, by hand where it cannot.

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

class QMouseEvent;
class QSkinWidget;

class QSkinWidgetResizeHandler : public QObject {
    Q_OBJECT
public:
    // Installs itself as an event filter on skin.
    explicit QSkinWidgetResizeHandler(QSkinWidget* skin);

    // Whether a drag that starts outside the edges moves the window; the
    // skin's press handler switches it on for presses on the bare top band.
    void setMovingEnabled(bool enabled) { moving_enabled_ = enabled; }
    bool isMovingEnabled() const { return moving_enabled_; }
    // True while a drag this handler runs by hand is under way.
    bool is_dragging() const { return drag_ != drag_kind::none; }

    // The window edges within range pixels of pos, for a window of that size.
    static Qt::Edges edges_at(const QPoint& pos, const QSize& size, int range = edge_range);
    // The geometry after dragging edges of start by delta, no smaller than minimum.
    static QRect resized(const QRect& start, Qt::Edges edges, const QPoint& delta, const QSize& minimum);

    static constexpr int edge_range = 4;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class drag_kind { none, move, resize };

    void press(QMouseEvent* event);
    void move(QMouseEvent* event);
    void update_cursor(const QPoint& pos);

    QSkinWidget* skin_;
    bool moving_enabled_ = false;
    drag_kind drag_ = drag_kind::none;
    Qt::Edges drag_edges_;
    QPoint press_global_;
    QRect press_geometry_;
};
