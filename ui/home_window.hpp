#pragma once
// The home page: start a new scan or resume a saved one, over a picture with three lines of text.

#include <QPoint>
#include <QPointF>
#include <QWidget>

#include <array>

class QLabel;
class QPushButton;
class main_window_c;

namespace qv::ui {

// Where the home page puts its parts on a page of height h.
struct home_layout_s {
    int button_y_start = 0;   // h - (0.55 h + 106), truncated
    int button_y_resume = 0;  // the same for the resume button's height
    int picture_label_y = 0;  // h - 188 - 60 (the hidden label)
    QPoint picture;           // wenzi.png's top-left corner, (55, h - 240)
    std::array<QPoint, 3> text;  // baselines of "home_text1".."3": (70, h - 190), (70, h - 140), (70, h - 90)
};
home_layout_s home_layout(int page_height, int start_height = 106, int resume_height = 106,
                          int label_height = 188);

}  // namespace qv::ui

class home_window_c : public QWidget {
    Q_OBJECT
public:
    // The two buttons go to main_window's slots; main_window may be null.
    explicit home_window_c(main_window_c* main_window, QWidget* parent = nullptr);

    QPushButton* start_button() const { return btn_start_; }
    QPushButton* resume_button() const { return btn_resume_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPushButton* btn_start_ = nullptr;
    QPushButton* btn_resume_ = nullptr;
    QLabel* lbl_wenzi_ = nullptr;
    main_window_c* main_window_ = nullptr;
};
