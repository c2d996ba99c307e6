#pragma once
// "Save drive as image…": choose a drive or volume and an image file, then
// follow the copy (rescued, unreadable, rate, time left) until it ends.

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
namespace qv::imaging {
class image_thread_c;
}

namespace qv::ui {

class image_dialog_c : public QDialog {
    Q_OBJECT
public:
    explicit image_dialog_c(QWidget* parent = nullptr);
    ~image_dialog_c() override;

    // Fills the source list from the device catalog: drives first, then volumes.
    void list_sources();
    // Starts copying source (a drive or volume path) into image; an image
    // with its map next to it is continued.
    void start_imaging(const QString& source, const QString& image);
    bool running() const;
    qv::imaging::image_thread_c& worker() { return *worker_; }
    // The text shown under the bar.
    QString status_text() const;

signals:
    // The copy ended and the user wants to open the image as a drive.
    void open_image_requested(const QString& path);

private slots:
    void on_start_clicked();
    void on_stop_clicked();
    void on_tick();
    void on_finished();

private:
    QComboBox* sources_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QTimer* timer_ = nullptr;
    qv::imaging::image_thread_c* worker_ = nullptr;
};

}  // namespace qv::ui
