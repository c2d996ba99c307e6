#pragma once
// The frameless, image-skinned top-level window: frame, top-band and
// title-bar buttons, the window menu, moving, resizing and maximising.

#include <QByteArray>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <vector>

#include "ui/skin_buttons.hpp"
#include "ui/skin_frame.hpp"

class QMenu;
class QSkinWidgetResizeHandler;

class QSkinWidget : public QWidget {
    Q_OBJECT
public:
    using button_t = button_c<QSkinWidget>;

    explicit QSkinWidget(QWidget* parent = nullptr);
    ~QSkinWidget() override;

    // Top-band buttons 1 to 3, then close, maximise/restore, minimise, settings.
    const std::vector<std::unique_ptr<button_t>>& buttons() const { return buttons_; }
    button_t* maximise_button() const { return maximise_button_; }
    QMenu* menu() const { return menu_; }
    QSkinWidgetResizeHandler* resize_handler() const { return resize_handler_.get(); }
    const QPixmap& backing_image() const { return backing_; }
    bool frame_dirty() const { return frame_dirty_; }
    // False while the window is maximised.
    bool is_normal() const { return normal_; }
    // The first button (in list order) under a point in window coordinates.
    button_t* button_at(const QPoint& point) const;

    // Set by top-band button 3, cleared by button 1; a volume scan then runs the deep scan directly.
    bool deep_scan_requested = false;

signals:
    void aboutToClose();

public slots:
    // Rebuilds the frame image for the current size.
    void updateStyle();
    // Makes sure the window composes with per-pixel alpha.
    void setLayered();
    // Shows the backing image: asks for a repaint that puts it on the screen.
    void updateAlpha();

    // Close button and "menu_exit": asks "quit_warning" while a scan runs.
    virtual void on_click_close();
    // "menu_help": opens the user manual.
    virtual void on_click_help();
    // An action of the Language submenu: saves the chosen language for the next start.
    virtual void on_click_language();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    // Pages added to the window are watched for the mouse entering them.
    void childEvent(QChildEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Implemented by the main window: show the page with that index, and
    // leave the recovery page (stopping its scan) before another page is shown.
    virtual void show_page(int index) = 0;
    virtual void leave_recovery_page() = 0;

    // Button actions.
    void on_click_top_volumes();
    void on_click_top_drives();
    void on_click_top_deep_scan();
    void on_click_maximise();
    void on_click_restore();
    void on_click_minimise();
    void on_click_settings();

private:
    friend class QSkinWidgetResizeHandler;

    // The common start of the three top-band handlers; false when the navigation stops.
    bool leave_for_top_band();
    void toggle_maximised();
    // Every button back to normal; true when one changed.
    bool clear_button_states();
    void build_menu();
    void add_button(std::unique_ptr<button_t> button, const char* normal, const char* hover, const char* pressed,
                    const QRect& rect, button_t::action_t action);
    void add_button(std::unique_ptr<button_t> button, const QString& normal, const QString& hover,
                    const QString& pressed, const QRect& rect, button_t::action_t action);

    bool frame_dirty_ = true;
    QPixmap backing_;  // frame and buttons, window-sized, with alpha
    QPixmap frame_;    // the frame alone, rebuilt by updateStyle()
    std::unique_ptr<QSkinWidgetResizeHandler> resize_handler_;
    std::vector<std::unique_ptr<button_t>> buttons_;
    qv::ui::skin_frame_images_s frame_images_;
    button_t* maximise_button_ = nullptr;
    QMenu* menu_ = nullptr;
    QByteArray saved_geometry_;
    bool normal_ = true;
    QTimer repaint_timer_;
};
