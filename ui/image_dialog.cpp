#include "ui/image_dialog.hpp"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"
#include "devices/format_size.hpp"
#include "imaging/image_thread.hpp"
#include "ui/shell_prompts.hpp"

namespace qv::ui {

namespace {

constexpr int tick_ms = 250;

QString time_text(double seconds) {
    if (seconds < 0) return QStringLiteral("?");
    const qint64 s = qint64(seconds + 0.5);
    return s >= 3600 ? QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

}  // namespace

image_dialog_c::image_dialog_c(QWidget* parent) : QDialog(parent) {
    setObjectName("ImageForm");
    setWindowTitle(language_text("menu_save_image"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(language_text("image_choose_drive"), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    sources_ = new QComboBox(this);
    layout->addWidget(sources_);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    layout->addWidget(bar_);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    layout->addWidget(status_);
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(language_text("btn_start"), this);
    stop_ = new QPushButton(language_text("btn_stop"), this);
    stop_->setEnabled(false);
    buttons->addStretch();
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    layout->addLayout(buttons);
    worker_ = new qv::imaging::image_thread_c(this);
    timer_ = new QTimer(this);
    timer_->setInterval(tick_ms);
    connect(start_, &QPushButton::clicked, this, &image_dialog_c::on_start_clicked);
    connect(stop_, &QPushButton::clicked, this, &image_dialog_c::on_stop_clicked);
    connect(timer_, &QTimer::timeout, this, &image_dialog_c::on_tick);
    connect(worker_, &QThread::finished, this, &image_dialog_c::on_finished);
    resize(520, 200);
    list_sources();
}

image_dialog_c::~image_dialog_c() {
    worker_->request_stop();
    worker_->wait();
}

void image_dialog_c::list_sources() {
    sources_->clear();
    auto& catalog = qv::device_catalog::shared();
    for (const auto& d : catalog.drives())
        if (d.ready)
            sources_->addItem(QStringLiteral("%1  (%2)").arg(QString::fromStdString(d.path), format_size(d.size)),
                              QString::fromStdString(d.path));
    for (const auto& v : catalog.volumes())
        if (v.partition_number > 0)
            sources_->addItem(QStringLiteral("%1  (%2, %3)")
                                  .arg(QString::fromStdString(v.path), QString::fromStdString(v.file_system),
                                       format_size(v.length)),
                              QString::fromStdString(v.path));
}

bool image_dialog_c::running() const { return worker_->isRunning(); }

QString image_dialog_c::status_text() const { return status_->text(); }

void image_dialog_c::start_imaging(const QString& source, const QString& image) {
    if (worker_->isRunning() || source.isEmpty() || image.isEmpty()) return;
    worker_->set_job(QFile::encodeName(source).toStdString(), QFile::encodeName(image).toStdString());
    start_->setEnabled(false);
    sources_->setEnabled(false);
    stop_->setEnabled(true);
    status_->clear();
    worker_->start(QThread::LowPriority);
    timer_->start();
}

void image_dialog_c::on_start_clicked() {
    const QString source = sources_->currentData().toString();
    if (source.isEmpty()) return;
    const QString image = shell_prompts().choose_image_target(this);
    start_imaging(source, image);
}

void image_dialog_c::on_stop_clicked() { worker_->request_stop(); }

void image_dialog_c::on_tick() {
    const auto p = worker_->progress();
    if (p.size == 0) return;
    bar_->setValue(int(1000.0 * double(p.rescued + p.bad_bytes) / double(p.size)));
    status_->setText(language_text("image_progress")
                         .arg(format_size(p.rescued), format_size(p.size), format_size(p.bad_bytes))
                         .arg(p.error_areas)
                         .arg(format_size(uint64_t(p.rate)), time_text(p.seconds_left)));
}

void image_dialog_c::on_finished() {
    timer_->stop();
    on_tick();
    start_->setEnabled(true);
    sources_->setEnabled(true);
    stop_->setEnabled(false);
    using qv::imaging::imaging_result;
    const auto out = worker_->outcome();
    const char* key = nullptr;
    QString detail;
    switch (out.result) {
        case imaging_result::finished:
            key = out.last.bad_bytes ? "image_done_damaged" : "image_done";
            break;
        case imaging_result::stopped: key = "image_stopped"; break;
        case imaging_result::source_gone: key = "image_source_gone"; break;
        case imaging_result::failed:
            key = "image_failed";
            detail = QString::fromStdString(out.message);
            break;
    }
    QString text = language_text(key);
    if (out.result == imaging_result::finished && out.last.bad_bytes) text = text.arg(format_size(out.last.bad_bytes));
    status_->setText(detail.isEmpty() ? text : text + " " + detail);
    if (out.result != imaging_result::finished) return;
    const QString image = QFile::decodeName(QByteArray::fromStdString(worker_->image_path()));
    if (shell_message(this, "Quorvane", "image_open_now", QMessageBox::Yes | QMessageBox::No, status_->text()) ==
        QMessageBox::Yes)
        emit open_image_requested(image);
}

}  // namespace qv::ui
