#pragma once
// The image buttons of the skinned window: three images (normal, hover,
// pressed), a state, a rectangle and the window member function they run.

#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <QString>

class QSkinWidget;

template <class window_t>
class button_c {
public:
    using action_t = void (window_t::*)();

    virtual void init(const QString& normal, const QString& hover, const QString& pressed, const QRect& rectangle,
                      const QString& caption) {
        set_images(normal, hover, pressed);
        rect = rectangle;
        text = caption;
    }
    // Whether point (window coordinates) lies on the button of a window with that rectangle.
    virtual bool hit_test(const QPoint& point, const QRect& window) const = 0;
    virtual void paint(QPainter& painter, const QRect& window) const = 0;
    virtual void set_images(const QString& normal, const QString& hover, const QString& pressed) {
        images[0] = QPixmap(normal);
        images[1] = QPixmap(hover);
        images[2] = QPixmap(pressed);
    }
    virtual ~button_c() = default;

    // Runs the action on window; a button without action does nothing.
    void run(window_t& window) const {
        if (action) (window.*action)();
    }
    const QPixmap& current_image() const { return images[state >= 0 && state < 3 ? state : 0]; }

    QPixmap images[3];
    int state = 0;  // 0 normal, 1 hover, 2 pressed
    QRect rect;
    QString text;   // never drawn
    action_t action = nullptr;
};

// A button of the top band, placed from the window's left edge.
class top_button_c : public button_c<QSkinWidget> {
public:
    bool hit_test(const QPoint& point, const QRect& window) const override;
    void paint(QPainter& painter, const QRect& window) const override;
};

// A title-bar button; its rectangle's x counts from the window's right edge.
class system_button_c : public button_c<QSkinWidget> {
public:
    bool hit_test(const QPoint& point, const QRect& window) const override;
    void paint(QPainter& painter, const QRect& window) const override;
};
