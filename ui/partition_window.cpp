#include "ui/partition_window.hpp"

#include <QCoreApplication>
#include <QListView>
#include <QPainter>
#include <QPushButton>

#include "app/language_settings.hpp"
#include "devices/format_size.hpp"
#include "partition/partition_repair.hpp"
#include "ui/button_images.hpp"
#include "ui/list_page.hpp"
#include "ui/main_window.hpp"
#include "ui/partition_delegate.hpp"
#include "ui/partition_model.hpp"
#include "ui/progress_bar.hpp"
#include "ui/shell_prompts.hpp"
#include "ui/skin_resources.hpp"

using qv::ui::init_skin_resources;
using qv::ui::install_list_model;
using qv::ui::make_page_button;
using qv::ui::partition_row_columns;
using qv::ui::set_page_palette;
using qv::ui::shell_message;

namespace {

constexpr int poll_interval_ms = 400;
const QColor frame_colour(139, 184, 241);
const QColor progress_background(226, 240, 253);
const QColor error_colour(190, 30, 30);
const QRect progress_rect(120, 50, 450, 12);

QString narrow_button_style() {
    const QString base = "/images/partition_search/btn_start_";
    return button_style_sheet(base + "1.png", base + "2.png", base + "3.png") + "QPushButton{ color: #2a5d9a; }";
}

}  // namespace

partition_window_c::partition_window_c(main_window_c* main_window, QWidget* parent)
    : QWidget(parent), search_(std::make_unique<partition_repair_c>()), main_window_(main_window) {
    init_skin_resources();
    setObjectName("PartitionForm");
    set_page_palette(this);
    btn_repair_ = make_page_button(this, "btn_repair", "btn_repair");
    lv_volumes_ = new QListView(this);
    lv_volumes_->setObjectName("lv_volumes");
    lv_volumes_->setFrameShape(QFrame::NoFrame);
    lv_volumes_->setStyleSheet("QListView{border-style: none;border: 1px solid #8bb8fe;}");
    lv_volumes_->setSelectionMode(QAbstractItemView::SingleSelection);
    btn_back_ = make_page_button(this, "btn_back", "btn_back");
    btn_stop_ = make_page_button(this, "btn_stop", "btn_stop");
    btn_stop_->setStyleSheet(narrow_button_style());
    btn_stop_->resize(80, 30);

    delegate_ = new partition_delegate_c(this);
    lv_volumes_->setItemDelegate(delegate_);
    lv_volumes_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    show_partitions();

    connect(search_.get(), &partition_repair_c::partition_found, this, &partition_window_c::on_partition_found);
    connect(search_.get(), &QThread::finished, this, &partition_window_c::on_thread_finished);
    connect(btn_stop_, &QPushButton::clicked, this, &partition_window_c::on_stop_clicked);
    connect(&timer_, &QTimer::timeout, this, &partition_window_c::on_timer);
    if (main_window_)
        connect(btn_back_, &QPushButton::clicked, main_window_, &main_window_c::on_click_partition_back);
    connect(btn_repair_, &QPushButton::clicked, this, &partition_window_c::on_repair_clicked);
    timer_.start(poll_interval_ms);

    progress_ = new progress_bar_c(this);
    progress_->setup(":/images/partition_search/loding_on.png", progress_background);
    resize(794, 496);
}

partition_window_c::~partition_window_c() {
    timer_.stop();
    disconnect(search_.get(), nullptr, this, nullptr);
    end_search();
}

bool partition_window_c::searching() const { return search_->isRunning(); }

void partition_window_c::end_search() {
    // The search stops before its next chunk, so the list and the drive stay sound.
    search_->request_stop();
    search_->wait();
}

void partition_window_c::show_partitions(const QList<partition_item_s>& partitions) {
    model_ = new partition_model_c(partitions, lv_volumes_);
    install_list_model(lv_volumes_, model_);
}

void partition_window_c::show_partitions() { show_partitions(search_->partitions()); }

void partition_window_c::start_search(const drive_item_s& drive) {
    search_->set_reach(qv::partition::search_reach::likely_places);
    run_search(drive);
}

void partition_window_c::run_search(const drive_item_s& drive) {
    // Finds and the end of a search that has ended may still wait in the queue;
    // they are dropped before the next search can post its own. (The new
    // search clears the list only once its thread runs.)
    end_search();
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    search_->start_search(drive, QThread::InheritPriority);
    btn_repair_->setEnabled(true);
    progress_->value = 0.0;
    show_partitions({});
    update();
}

void partition_window_c::stop_search() {
    if (!search_->isRunning()) return;
    end_search();
    btn_stop_->setText(language_text("btn_start"));
    update();
}

void partition_window_c::on_partition_found() { show_partitions(); }

bool partition_window_c::repair_offered() const {
    // A GPT with one copy damaged is repaired even though it lists everything found.
    const qv::partition::disk_table t = search_->table();
    if ((t.primary.state == qv::partition::gpt_copy_state::good) !=
        (t.backup.state == qv::partition::gpt_copy_state::good))
        return true;
    // Nothing is missing when the drive's own table lists every partition found.
    return !(search_->partition_count() > 0 && search_->lost_count() == 0);
}

void partition_window_c::on_thread_finished() {
    // A finish from a search the user has already restarted is stale.
    if (search_->isRunning()) return;
    show_partitions();
    btn_repair_->setEnabled(repair_offered());
    progress_->value = search_->progress();
    btn_stop_->setText(language_text("btn_start"));
    update();
    // Volumes made at odd places are missed by the quick search: when it found
    // nothing lost, the user may have every sector read.
    if (search_->last_result() == 0 && search_->reach() == qv::partition::search_reach::likely_places &&
        search_->lost_count() == 0 && isVisible() &&
        shell_message(this, "Quorvane", "partition_every_sector_query", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::Yes) {
        search_->set_reach(qv::partition::search_reach::every_sector);
        btn_stop_->setText(language_text("btn_stop"));
        run_search(search_->drive());
    }
}

void partition_window_c::on_timer() {
    progress_->value = search_->progress();
    if (isVisible()) update();
}

void partition_window_c::on_stop_clicked() {
    if (search_->isRunning()) {
        end_search();
        btn_stop_->setText(language_text("btn_start"));
    } else {
        btn_stop_->setText(language_text("btn_stop"));
        run_search(search_->drive());
    }
    update();
}

void partition_window_c::on_repair_clicked() {
    if (search_->isRunning() || !repair_offered()) return;
    // The question carries the plan: which sectors are written, and why.
    if (shell_message(this, "Quorvane", "partition_query", QMessageBox::Yes | QMessageBox::No,
                      search_->repair_plan_text()) != QMessageBox::Yes)
        return;
    search_->repair_partition_table();
    const auto report = search_->last_repair();
    QString backup;
    if (!report.backup_path.isEmpty())
        backup = (language_text("partition_backup") + " " + report.backup_path).trimmed();
    if (report.written) {
        shell_message(this, "Quorvane", "partition_finished", QMessageBox::Ok, backup);
    } else {
        // Nothing (or not all) was written: say so rather than announce success.
        QString detail = report.error;
        if (!backup.isEmpty()) detail += "\n" + backup;
        shell_message(this, "Quorvane", "partition_failed", QMessageBox::Ok, detail);
    }
}

void partition_window_c::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap band(":/images/background/bai.png");
    if (!band.isNull()) painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));
    const QPixmap icon(":/images/partition_search/icon_found1.png");
    if (!icon.isNull()) painter.drawPixmap(45, 30, icon);
    painter.setPen(frame_colour);
    painter.drawRect(25, 12, width() - 50, 92);
    progress_->paint(painter, progress_rect);
    painter.setPen(Qt::black);
    if (search_->isRunning()) {
        painter.setFont(QFont("Verdana", 10));
        painter.drawText(QPoint(120, 40), language_text("partition_text1"));
    }
    const drive_item_s drive = search_->drive();
    painter.setFont(QFont("Verdana", 8));
    if (!drive.name.isEmpty())
        painter.drawText(QPoint(120, 85), drive.name + "  (" + format_size(uint64_t(std::max<int64_t>(0, drive.size))) +
                                              ")");
    if (!search_->isRunning() && search_->last_result() < 0 && !search_->last_error().isEmpty()) {
        painter.setPen(error_colour);
        painter.drawText(QPoint(120, 100), search_->last_error());
    } else if (!search_->isRunning() && !drive.name.isEmpty()) {
        // What the drive's own table holds: GPT copies good or damaged, MBR, none.
        painter.drawText(QPoint(120, 100), qv::partition::describe_table(search_->table()));
    }
    // Column headings over the list.
    painter.setPen(Qt::black);
    const auto columns = partition_row_columns(QRect(lv_volumes_->x() + 1, lv_volumes_->y() - 24,
                                                     lv_volumes_->viewport()->width(), 30));
    const char* headings[] = {"partition_number", "partition_fs", "partition_ss", "partition_es", "drive_size"};
    for (int i = 0; i < 5; ++i) painter.drawText(columns[i], language_text(headings[i]));
}

void partition_window_c::resizeEvent(QResizeEvent* event) {
    const int w = width();
    const int h = height();
    btn_back_->move(200, h - 54);
    btn_repair_->move(w - 300, h - 54);
    btn_stop_->move(w - 168, 42);
    lv_volumes_->setGeometry(25, 120, w - 50, h - 180);
    QWidget::resizeEvent(event);
}
