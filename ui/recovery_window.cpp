#include "ui/recovery_window.hpp"

#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

#include "app/language_settings.hpp"
#include "devices/format_size.hpp"
#include "engine/safe_names.hpp"
#include "sigscan/sc_api.hpp"
#include "ui/filter_row.hpp"
#include "ui/open_notice_board.hpp"
#include "ui/progress_bar.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_delegate.hpp"
#include "ui/recovery_layout.hpp"
#include "ui/recovery_model.hpp"
#include "ui/recovery_preview.hpp"
#include "ui/recovery_worker.hpp"
#include "ui/result_presenter.hpp"
#include "ui/scan_control.hpp"
#include "ui/scan_state.hpp"
#include "ui/skin_resources.hpp"
#include "ui/table_header.hpp"
#include "ui/table_view.hpp"

using qv::destination_failure;
using qv::destination_on_volume;
using qv::recover_destination_failed;
using qv::safe_file_name;
using qv::ui::column_name;
using qv::ui::column_tick;
using qv::ui::desktop_recovery_prompts;
using qv::ui::file_preview_s;
using qv::ui::filter_row_c;
using qv::ui::init_skin_resources;
using qv::ui::open_notice_board;
using qv::ui::recovery_form_s;
using qv::ui::recovery_layout;
using qv::ui::recovery_layout_s;
using qv::ui::recovery_preview_c;
using qv::ui::recover_row;
using qv::ui::result_presenter_c;
using qv::ui::scan_control_c;

namespace {

constexpr int poll_interval_ms = 200;
const QColor frame_colour(139, 184, 241);
const QColor progress_background(226, 240, 253);

}  // namespace

recovery_window_c::recovery_window_c(QObject* main_window, QWidget* parent)
    : QWidget(parent), main_window_(main_window) {
    init_skin_resources();
    form_.setup(this);
    scan_ = new scan_control_c(this);
    prompts_ = desktop_recovery_prompts();
    // A preview copies its file through the engine, which a running scan still fills.
    preview_ = std::make_unique<recovery_preview_c>([this](const QDir& folder, const recovery_item_s& row) {
        return scan_running ? -1 : recover_item(folder, row);
    });

    movie_ = new QMovie(":/images/recovery/ani.gif", QByteArray(), this);
    form_.lbl_anime->setMovie(movie_);
    movie_->jumpToFrame(0);

    table_ = new MyQTableView(this);
    table_->setObjectName("tv_filelist");
    table_->setStyleSheet("QTableView{border-style: none;border: 1px solid #8bb8fe;}");
    header_ = new MyHeaderView(table_);
    table_->setHorizontalHeader(header_);
    results_ = new result_presenter_c(form_.tv_dirtree, table_, header_, this);
    filter_row_ = new filter_row_c(this);
    connect(filter_row_, &filter_row_c::changed, this, [this] { results_->set_filter(filter_row_->filter()); });
    connect(results_, &result_presenter_c::table_filled, filter_row_, &filter_row_c::show_counts);
    delegate_ = new recovery_delegate_c(this);
    table_->setItemDelegate(delegate_);

    table_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setShowGrid(false);
    table_->verticalHeader()->hide();
    header_->setHighlightSections(false);
    header_->resizeSection(column_tick, 33);
    header_->resizeSection(column_name, 235);

    connect(scan_, &scan_control_c::scan_finished, this, &recovery_window_c::on_thread_finished);
    connect(form_.tv_dirtree, &QTreeView::clicked, this, &recovery_window_c::on_tree_clicked);
    connect(&open_notice_board::shared(), &open_notice_board::changed, this, qOverload<>(&QWidget::update));
    connect(table_, &QTableView::clicked, this, &recovery_window_c::on_list_clicked);
    connect(form_.btn_recovery, &QPushButton::clicked, this,
            &recovery_window_c::on_recovery_clicked);
    connect(form_.btn_pause, &QPushButton::clicked, this, &recovery_window_c::on_pause_clicked);
    connect(form_.btn_stop, &QPushButton::clicked, this, &recovery_window_c::on_stop_clicked);
    connect(form_.btn_filter, &QPushButton::clicked, this,
            &recovery_window_c::on_save_result_clicked);
    if (main_window_)
        connect(form_.btn_back, SIGNAL(clicked()), main_window_, SLOT(on_click_recovery_back()));
    connect(header_, &MyHeaderView::check_all, this, &recovery_window_c::on_check_all);
    connect(header_, &MyHeaderView::sort_column, this, &recovery_window_c::on_sort_column);

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &recovery_window_c::on_timer);
    timer_->start(poll_interval_ms);
    progress_ = new progress_bar_c(this);
    progress_->setup(":/images/partition_search/loding_on.png", progress_background);
    sc_load_config("./Quorvane.conf");
    form_.btn_filter->hide();
    resize(794, 496);
}

recovery_window_c::~recovery_window_c() {
    disconnect(scan_, nullptr, this, nullptr);
    // The worker copies through an engine: it ends before the engines go.
    if (worker_) worker_->wait();
    delete scan_;
    scan_ = nullptr;
    scan_running = false;
}

// ---- state ----

recovery_base_c* recovery_window_c::current_engine() const { return scan_->current(); }
int recovery_window_c::engine_kind() const { return scan_->kind(); }
bool recovery_window_c::deep_scan() const { return scan_->deep(); }
const volume_item_s& recovery_window_c::volume() const { return scan_->volume(); }
const QList<recovery_item_s>& recovery_window_c::rows() const { return results_->rows(); }
TreeModel* recovery_window_c::tree_model() const { return results_->tree_model(); }
recovery_model_c* recovery_window_c::table_model() const { return results_->table_model(); }
const file_preview_s& recovery_window_c::preview() const { return preview_->current(); }
bool recovery_window_c::has_engine(int kind) { return scan_control_c::has_engine(kind); }

double recovery_window_c::progress_value() const {
    return progress_->value;
}

bool recovery_window_c::busy() const {
    return scan_running || (worker_ && worker_->isRunning());
}

// ---- scans ----

void recovery_window_c::show_scan_buttons() {
    recovery_form_s::set_text(form_.btn_pause, language_text("btn_pause"));
    form_.btn_pause->show();
    form_.btn_stop->show();
}

void recovery_window_c::start_engine(int kind) {
    // An interrupted deep scan of this volume can go on where it stopped.
    bool resume = false;
    if (scan_control_c::carves(kind)) {
        if (auto done = scan_->unfinished_deep_scan()) {
            *prompts_.text_args = {QString::number(*done * 100.0, 'f', 1) + QLatin1Char('%')};
            resume = prompts_.ask(this, "deep_resume_query");
            prompts_.text_args->clear();
        }
    }
    scan_running = true;
    movie_->start();
    scan_->start(kind, resume);
    timer_->start(poll_interval_ms);
}

int recovery_window_c::scan_volume(const volume_item_s& volume, bool deep) {
    // A running recovery still uses the current engine and its results.
    if (busy()) return -1;
    scan_->set_target(volume, deep);
    int kind = scan_->choose_kind();
    if (kind < 0) {
        // No scanner reads this file system: say so, and offer the deep scan of the same volume.
        *prompts_.text_args = {volume.file_system};
        const bool go_deep = prompts_.ask(this, "scan_no_file_system");
        prompts_.text_args->clear();
        if (!go_deep) return -1;
        scan_->set_target(volume, true);
        kind = scan_->choose_kind();
        if (kind < 0) return -1;
    }
    show_scan_buttons();
    clear_folder_tree();
    clear_table();
    form_.btn_filter->hide();
    scan_->reset_current();
    start_engine(kind);
    update();
    return 0;
}

int recovery_window_c::restart_scan() {
    if (busy()) return -1;
    // The tree points into the engine's results: it goes before they do.
    clear_folder_tree();
    clear_table();
    scan_->reset_current();
    int kind = scan_->choose_kind();
    if (kind < 0) return -1;
    start_engine(kind);
    show_scan_buttons();
    update();
    return 0;
}

void recovery_window_c::on_timer() {
    progress_->value = current_engine()->progress();
    if (isVisible()) update();
}

void recovery_window_c::on_thread_finished() {
    scan_ended();
}

void recovery_window_c::scan_ended() {
    recovery_form_s::set_text(form_.btn_pause, language_text("btn_start"));
    form_.btn_stop->hide();
    recovery_base_c* engine = current_engine();
    const qv::stop_reason stop = engine->stop_state();
    bool found = false;
    if (stop == qv::stop_reason::page_left) {
        engine->reset();
    } else {
        engine->set_progress(1.0);
        found = build_folder_tree(scan_->kind());
        if (scan_control_c::carves(scan_->kind())) form_.btn_filter->show();
    }
    progress_->value = engine->progress();
    scan_running = false;
    movie_->stop();
    update();
    // A medium pulled out: what was found before stays to be browsed and saved.
    if (stop != qv::stop_reason::page_left && engine->device_vanished() && isVisible()) {
        prompts_.tell(this, "scan_device_gone");
        return;
    }
    // Nothing at all was found by a scan that ran to its end: offer the deep scan.
    if (!found && stop == qv::stop_reason::running && !scan_->deep() && isVisible() &&
        has_engine(qv::kind_of_scanner(qv::carving_scanner())) && prompts_.ask(this, "deep_scan_query")) {
        scan_->switch_to_deep();
        restart_scan();
    }
}

void recovery_window_c::on_stop_clicked() {
    scan_->stop(qv::stop_reason::user_stopped);
    form_.btn_stop->hide();
}

void recovery_window_c::on_pause_clicked() {
    if (scan_->running()) {
        bool paused = scan_->toggle_pause();
        recovery_form_s::set_text(form_.btn_pause, language_text(paused ? "btn_resume" : "btn_pause"));
        return;
    }
    if (busy()) return;
    clear_folder_tree();
    clear_table();
    recovery_form_s::set_text(form_.btn_pause, language_text("btn_pause"));
    form_.btn_stop->show();
    restart_scan();
}

void recovery_window_c::reset_page() {
    open_notice_board::shared().clear();
    clear_folder_tree();
    clear_table();
    filter_row_->clear();
    preview_->clear();
    // An engine that still scans, or whose results a recovery still reads,
    // is reset when the next scan starts.
    if (!busy()) scan_->reset_current();
    progress_->value = 0.0;
    timer_->stop();
    movie_->stop();
    update();
}

// ---- saved deep-scan results ----

void recovery_window_c::on_save_result_clicked() {
    if (!scan_control_c::carves(scan_->kind()) || scan_->running()) return;
    QString path = prompts_.choose_result_file(this, true);
    if (path.isEmpty()) return;
    scan_->save_result(path);
}

int recovery_window_c::resume_saved_result() {
    if (busy()) return -1;
    clear_folder_tree();
    clear_table();
    scan_->reset_current();
    progress_->value = 0.0;
    timer_->stop();
    QString path = prompts_.choose_result_file(this, false);
    if (path.isEmpty()) return -1;
    if (!scan_->load_result(path)) return -1;
    scan_ended();
    form_.btn_pause->hide();
    form_.btn_stop->hide();
    form_.btn_filter->hide();
    return 0;
}

// ---- tree and table ----

void recovery_window_c::clear_folder_tree() {
    results_->clear_tree();
}

void recovery_window_c::clear_table() {
    results_->clear_table();
    preview_->clear();
}

bool recovery_window_c::build_folder_tree(int kind) {
    return results_->show_result(scan_->engine_of_kind(kind));
}

void recovery_window_c::fill_file_table(const QModelIndex& folder) {
    results_->fill_table(folder, !scan_running);
}

void recovery_window_c::check_all(bool value) {
    results_->check_all(value);
}

void recovery_window_c::on_check_all(const bool& value) {
    check_all(value);
}

void recovery_window_c::on_sort_column(int column) {
    results_->sort_by_column(column);
}

void recovery_window_c::on_tree_clicked(const QModelIndex& index) {
    preview_->clear();
    fill_file_table(index);
    update();
}

// ---- preview and recovery ----

int recovery_window_c::recover_item(const QDir& directory, const recovery_item_s& row) {
    const qv::recovery_status status = recover_row(*current_engine(), row, directory.filePath(safe_file_name(row.name)));
    if (status.written()) return 0;
    return status.destination_failed ? recover_destination_failed : -1;
}

void recovery_window_c::on_list_clicked(const QModelIndex& index) {
    preview_->clear();
    if (!index.isValid() || index.row() >= rows().size()) return;
    if (index.column() == column_tick) results_->toggle_tick(index.row());
    const recovery_item_s row = rows()[index.row()];
    preview_->request(row, worker_ && worker_->isRunning());
    update();
}

void recovery_window_c::on_recovery_clicked() {
    const QList<recovery_item_s>& list = rows();
    if (list.isEmpty() || scan_running) return;
    bool any = std::any_of(list.begin(), list.end(), [](const recovery_item_s& r) { return r.ticked & 0xFF; });
    if (!any) {
        prompts_.tell(this, "recovery_check_warning");
        return;
    }
    QString folder = prompts_.choose_folder(this);
    if (folder.isEmpty()) return;
    if (destination_on_volume(folder, volume().device_name) &&
        !prompts_.ask(this, "recovery_same_volume_warning"))
        return;
    if (!worker_) {
        worker_ = std::make_unique<recovery_file_c>();
        connect(worker_.get(), &QThread::finished, this, &recovery_window_c::on_recovery_finished);
    }
    if (worker_->isRunning()) return;
    worker_->set_job(current_engine(), QDir(folder), list);
    worker_->start(QThread::InheritPriority);
}

void recovery_window_c::on_recovery_finished() {
    const destination_failure& stop = worker_->destination_stop();
    const QString total = QString::number(worker_->pending_rows());
    if (stop.stopped) {
        // The rest would fail the same way: say what was recovered and what is missing.
        if (stop.full)
            *prompts_.text_args = {QString::number(worker_->recovered()), total, format_size(stop.more_needed)};
        else
            *prompts_.text_args = {QString::number(worker_->recovered()), total, stop.reason};
        prompts_.tell(this, stop.full ? "recovery_destination_full" : "recovery_destination_failed");
        prompts_.text_args->clear();
    }
    results_->mark_damaged(worker_->damaged_ids());
    if (!stop.stopped && worker_->damaged() > 0) {
        *prompts_.text_args = {QString::number(worker_->damaged())};
        prompts_.tell(this, "recovery_damaged");
        prompts_.text_args->clear();
    }
    prompts_.open_folder(worker_->destination().path());
    if (preview_->show_waiting()) update();
}

// ---- painting and layout ----

void recovery_window_c::paintEvent(QPaintEvent*) {
    if (!isVisible()) return;
    QPainter painter(this);
    const recovery_layout_s l = recovery_layout(width(), height());
    static const QPixmap band(":/images/background/bai.png");
    if (!band.isNull()) painter.fillRect(QRect(0, 0, width(), band.height()), QBrush(band));

    painter.setPen(frame_colour);
    painter.drawRect(l.status_frame);
    painter.drawRect(l.preview_frame);
    progress_->paint(painter, l.progress_bar);

    painter.setPen(Qt::black);
    painter.setFont(QFont("Verdana", 10));
    recovery_base_c* engine = current_engine();
    QString status;
    if (deep_scan()) {
        double fraction = std::clamp(engine->progress(), 0.0, 1.0);
        status = language_text("raw_progress") + " " + format_size(uint64_t(fraction * double(volume().total_bytes)));
    } else {
        status = language_text("recovery_reading") + QString::number(engine->entries_read());
    }
    if (const uint64_t unreadable = engine->unreadable_bytes(); unreadable > 0)
        status += QStringLiteral(" · ") + language_text("status_unreadable").arg(format_size(unreadable));
    if (const QString notice = open_notice_board::shared().text(); !notice.isEmpty()) status += "   " + notice;
    painter.drawText(l.status_text, status);

    painter.fillRect(l.preview_fill, Qt::white);
    preview_->paint(painter, size(), l.preview_text);

    uint64_t found = engine->items_found();
    if (found > 0) {
        painter.setPen(Qt::red);
        painter.drawText(l.found_text, language_text("recovery_total_files") + " " + QString::number(found));
    }
}

void recovery_window_c::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const recovery_layout_s l = recovery_layout(width(), height());
    form_.btn_back->setGeometry(l.btn_back);
    form_.btn_recovery->setGeometry(l.btn_recovery);
    form_.btn_pause->setGeometry(l.btn_pause);
    form_.btn_stop->setGeometry(l.btn_stop);
    form_.btn_filter->setGeometry(l.btn_save);
    form_.tv_dirtree->setGeometry(l.tree);
    filter_row_->setGeometry(l.filter_row);
    table_->setGeometry(l.table_view);
    form_.lbl_anime->setGeometry(l.anime);
}
