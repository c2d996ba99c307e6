#pragma once
// The file table's heading: a check-all box in the first section and headings
// that sort the table when pressed.

#include <QHeaderView>
#include <QPixmap>

class MyHeaderView : public QHeaderView {
    Q_OBJECT
public:
    explicit MyHeaderView(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    bool check_all_state() const { return checked_; }
    void set_check_all_state(bool value);

signals:
    void check_all(const bool& var);
    void sort_column(int col);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    QPixmap unticked_;
    QPixmap ticked_;
    bool checked_ = false;
};
