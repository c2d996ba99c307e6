#include "ui/recovery_window.hpp"

#include <QFile>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QTextOption>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

#include "app/language_settings.hpp"
#include "devices/format_size.hpp"
#include "engine/fat_recovery.hpp"
#include "engine/recovery_base.hpp"
#include "engine/recovery_worker.hpp"
#include "engine/safe_names.hpp"
#include "ui/open_notice_board.hpp"
#include "ui/progress_bar.hpp"
#include "ui/recovery_delegate.hpp"
#include "ui/recovery_layout.hpp"
#include "ui/recovery_model.hpp"
#include "ui/result_tree.hpp"
#include "ui/scan_state.hpp"
#include "ui/skin_resources.hpp"
#include "ui/table_header.hpp"
#include "ui/table_view.hpp"

#if QUORVANE_HAVE_NTFS
#include "engine/ntfs_recovery.hpp"
#endif
#if QUORVANE_HAVE_DEEP
#include "engine/raw_recovery.hpp"
#include "engine/scan_result_file.hpp"
#include "sigscan/sc_api.hpp"
#endif

namespace {

constexpr int poll_interval_ms = 200;
const QColor frame_colour(139, 184, 241);
const QColor progress_background(226, 240, 253);

}  // namespace

recovery_window_c::recovery_window_c(QObject* main_window, QWidget* parent)
    : QWidget(parent), main_window_(main_window) {
    init_skin_resources();
    form_.setup(this);
    fat_ = std::make_unique<fat_recovery_c>();
#if QUORVANE_HAVE_NTFS
    ntfs_ = std::make_unique<ntfs_recovery_c>();
#endif
#if QUORVANE_HAVE_DEEP
    raw_ = std::make_unique<raw_recovery_c>();
#endif
    stop_engine_ = std::make_unique<recovery_stop_c>();
    current_engine_ = stop_engine_.get();
    prompts_ = desktop_recovery_prompts();

    movie_ = new QMovie(":/images/recovery/ani.gif", QByteArray(), this);
    form_.lbl_anime->setMovie(movie_);
    movie_->jumpToFrame(0);

    table_ = new MyQTableView(this);
    table_->setObjectName("tv_filelist");
    table_->setStyleSheet("QTableView{border-style: none;border: 1px solid #8bb8fe;}");
    header_ = new MyHeaderView(table_);
    table_->setHorizontalHeader(header_);
    install_tree_model(new TreeModel(this));
    install_table_model();
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

    for (recovery_base_c* engine :
         {engine_of_kind(engine_kind_fat), engine_of_kind(engine_kind_ntfs),
          engine_of_kind(engine_kind_deep)})
        if (engine)
            connect(engine, &QThread::finished, this, &recovery_window_c::on_thread_finished);
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
#if QUORVANE_HAVE_DEEP
    sc_load_config("./Quorvane.conf");
#endif
    form_.btn_filter->hide();
    resize(794, 496);
}

recovery_window_c::~recovery_window_c() {
    for (recovery_base_c* engine :
         {engine_of_kind(engine_kind_fat), engine_of_kind(engine_kind_ntfs),
          engine_of_kind(engine_kind_deep)}) {
        if (!engine) continue;
        disconnect(engine, nullptr, this, nullptr);
        if (engine->isRunning()) {
            engine->set_stop(2);
            engine->wait();
        }
    }
    if (worker_) worker_->wait();
    scan_running = false;
}

// ---- engines and scans ----

bool recovery_window_c::has_engine(int kind) {
    switch (kind) {
        case engine_kind_fat:
            return true;
#if QUORVANE_HAVE_NTFS
        case engine_kind_ntfs:
            return true;
#endif
#if QUORVANE_HAVE_DEEP
        case engine_kind_deep:
            return true;
#endif
        default:
            return false;
    }
}

recovery_base_c* recovery_window_c::engine_of_kind(int kind) const {
    switch (kind) {
        case engine_kind_fat:
            return fat_.get();
#if QUORVANE_HAVE_NTFS
        case engine_kind_ntfs:
            return ntfs_.get();
#endif
#if QUORVANE_HAVE_DEEP
        case engine_kind_deep:
            return raw_.get();
#endif
        default:
            return nullptr;
    }
}

int recovery_window_c::choose_engine_kind() const {
    int kind = -1;
    if (deep_scan_)
        kind = engine_kind_deep;
    else if (volume_.file_system == "NTFS")
        kind = engine_kind_ntfs;
    else if (volume_.file_system.left(3) == "FAT")
        kind = engine_kind_fat;
    return engine_of_kind(kind) ? kind : -1;
}

bool recovery_window_c::busy() const {
    return scan_running || (worker_ && worker_->isRunning());
}

void recovery_window_c::start_engine(int kind) {
    recovery_base_c* engine = engine_of_kind(kind);
    engine->reset();
    current_engine_ = engine;
    engine_kind_ = kind;
    engine->set_volume(volume_);
    scan_running = true;
    movie_->start();
    engine->start(QThread::InheritPriority);
    timer_->start(poll_interval_ms);
}

int recovery_window_c::scan_volume(const volume_item_s& volume, bool deep) {
    // A running recovery still uses the current engine and its results.
    if (busy()) return -1;
    recovery_form_s::set_text(form_.btn_pause, language_text("btn_pause"));
    form_.btn_pause->show();
    form_.btn_stop->show();
    clear_folder_tree();
    clear_table();
    deep_scan_ = deep;
    form_.btn_filter->hide();
    volume_ = volume;
    current_engine_->reset();
    int kind = choose_engine_kind();
    if (kind < 0) return -1;
    start_engine(kind);
    update();
    return 0;
}

int recovery_window_c::restart_scan() {
    if (busy()) return -1;
    // The tree points into the engine's results: it goes before they do.
    clear_folder_tree();
    clear_table();
    current_engine_->reset();
    int kind = choose_engine_kind();
    if (kind < 0) return -1;
    start_engine(kind);
    recovery_form_s::set_text(form_.btn_pause, language_text("btn_pause"));
    form_.btn_pause->show();
    form_.btn_stop->show();
    update();
    return 0;
}

void recovery_window_c::on_timer() {
    progress_->value = current_engine_->progress();
    if (isVisible()) update();
}

double recovery_window_c::progress_value() const {
    return progress_->value;
}

void recovery_window_c::on_thread_finished() {
    // Only the current engine's end counts (another engine cannot be running).
    if (sender() && sender() != current_engine_) return;
    scan_ended();
}

void recovery_window_c::scan_ended() {
    recovery_form_s::set_text(form_.btn_pause, language_text("btn_start"));
    form_.btn_stop->hide();
    const int32_t stop = current_engine_->stop_state();
    bool found = false;
    if (stop == 2) {
        current_engine_->reset();
    } else {
        current_engine_->set_progress(1.0);
        found = build_folder_tree(engine_kind_);
        if (engine_kind_ == engine_kind_deep) form_.btn_filter->show();
    }
    progress_->value = current_engine_->progress();
    scan_running = false;
    movie_->stop();
    update();
    if (!found && stop != 2 && stop != 3 && !deep_scan_ && isVisible() &&
        has_engine(engine_kind_deep) && prompts_.ask(this, "deep_scan_query")) {
        current_engine_->reset();
        current_engine_ = engine_of_kind(engine_kind_deep);
        engine_kind_ = engine_kind_deep;
        deep_scan_ = true;
        restart_scan();
    }
}

void recovery_window_c::on_stop_clicked() {
    current_engine_->set_stop(3);
    form_.btn_stop->hide();
}

void recovery_window_c::on_pause_clicked() {
    if (current_engine_->isRunning()) {
        if (current_engine_->is_paused()) {
            current_engine_->set_paused(0);
            recovery_form_s::set_text(form_.btn_pause, language_text("btn_pause"));
        } else {
            current_engine_->set_paused(1);
            recovery_form_s::set_text(form_.btn_pause, language_text("btn_resume"));
        }
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
    pending_preview_.reset();
    preview_ = {};
    // An engine that still scans, or whose results a recovery still reads,
    // is reset when the next scan starts.
    if (!busy()) current_engine_->reset();
    progress_->value = 0.0;
    timer_->stop();
    movie_->stop();
    update();
}

// ---- saved deep-scan results ----

void recovery_window_c::on_save_result_clicked() {
#if QUORVANE_HAVE_DEEP
    if (engine_kind_ != engine_kind_deep || raw_->isRunning()) return;
    QString path = prompts_.choose_result_file(this, true);
    if (path.isEmpty()) return;
    raw_->write_result_file(QFile::encodeName(path));
#endif
}

int recovery_window_c::resume_saved_result() {
#if QUORVANE_HAVE_DEEP
    if (busy()) return -1;
    clear_folder_tree();
    clear_table();
    current_engine_->reset();
    progress_->value = 0.0;
    timer_->stop();
    QString path = prompts_.choose_result_file(this, false);
    if (path.isEmpty()) return -1;
    QString device = raw_->read_result_file(QFile::encodeName(path));
    if (device.isEmpty()) return -1;
    int index = qv::find_result_volume(volume_items, device);
    if (index < 0 || index >= volume_items.size()) return -1;
    volume_ = volume_items[index];
    engine_kind_ = engine_kind_deep;
    current_engine_ = raw_.get();
    deep_scan_ = true;
    raw_->set_volume(volume_);
    scan_ended();
    form_.btn_pause->hide();
    form_.btn_stop->hide();
    form_.btn_filter->hide();
    return 0;
#else
    return -1;
#endif
}

// ---- tree and table ----

void recovery_window_c::install_tree_model(TreeModel* model) {
    QItemSelectionModel* old_selection = form_.tv_dirtree->selectionModel();
    TreeModel* old = tree_model_;
    tree_model_ = model;
    form_.tv_dirtree->setModel(model);
    delete old_selection;
    delete old;
}

void recovery_window_c::install_table_model() {
    QItemSelectionModel* old_selection = table_->selectionModel();
    recovery_model_c* old = table_model_;
    table_model_ = new recovery_model_c(rows_, this);
    table_->setModel(table_model_);
    delete old_selection;
    delete old;
}

void recovery_window_c::clear_folder_tree() {
    install_tree_model(new TreeModel(this));
}

void recovery_window_c::clear_table() {
    rows_.clear();
    install_table_model();
    header_->set_check_all_state(false);
    preview_ = {};
}

bool recovery_window_c::build_folder_tree(int kind) {
    auto* model = new TreeModel(this);
    switch (kind) {
        case engine_kind_fat:
            add_fat_folders(*model, fat_->items());
            break;
#if QUORVANE_HAVE_NTFS
        case engine_kind_ntfs:
            add_ntfs_folders(*model, ntfs_->items());
            break;
#endif
#if QUORVANE_HAVE_DEEP
        case engine_kind_deep:
            add_deep_folders(*model, raw_->type_index());
            break;
#endif
        default:
            break;
    }
    if (!tree_has_results(*model)) {
        delete model;
        clear_folder_tree();
        return false;
    }
    install_tree_model(model);
    form_.tv_dirtree->expandToDepth(0);
    return true;
}

void recovery_window_c::fill_file_table(const QModelIndex& folder) {
    rows_.clear();
    const tree_node* node = TreeModel::node(folder);
    const void* payload = node ? node->payload : nullptr;
    if (payload && !scan_running) {
        switch (engine_kind_) {
            case engine_kind_fat:
                rows_ = fat_folder_rows(*static_cast<const fat_item_s*>(payload));
                break;
#if QUORVANE_HAVE_NTFS
            case engine_kind_ntfs:
                rows_ = ntfs_folder_rows(*static_cast<const ntfs_item_s*>(payload));
                break;
#endif
#if QUORVANE_HAVE_DEEP
            case engine_kind_deep:
                rows_ = deep_folder_rows(raw_->records(),
                                         *static_cast<const std::vector<uint64_t>*>(payload), raw_->facts());
                break;
#endif
            default:
                break;
        }
    }
    install_table_model();
    header_->set_check_all_state(false);
}

void recovery_window_c::check_all(bool value) {
    for (recovery_item_s& row : rows_) row.ticked = value ? 1 : 0;
    install_table_model();
}

void recovery_window_c::on_check_all(const bool& value) {
    check_all(value);
}

void recovery_window_c::on_sort_column(int column) {
    // The current row stays current: it is looked up again by its id after the sort.
    QModelIndex current = table_->currentIndex();
    bool had_current = current.isValid() && current.row() < rows_.size();
    uint64_t id = had_current ? rows_[current.row()].id : 0;
    table_model_->sort_by_column(column);
    if (!had_current) return;
    for (qsizetype i = 0; i < rows_.size(); ++i)
        if (rows_[i].id == id) {
            table_->selectionModel()->setCurrentIndex(
                table_model_->index(int(i), current.column()),
                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            break;
        }
}

void recovery_window_c::on_tree_clicked(const QModelIndex& index) {
    preview_ = {};
    pending_preview_.reset();
    fill_file_table(index);
    update();
}

// ---- preview and recovery ----

int recovery_window_c::recover_item(const QDir& directory, const recovery_item_s& row) {
    return recover_row(*current_engine_, engine_kind_, row,
                       directory.filePath(safe_file_name(row.name)));
}

void recovery_window_c::on_list_clicked(const QModelIndex& index) {
    preview_ = {};
    pending_preview_.reset();
    if (!index.isValid() || index.row() >= rows_.size()) return;
    if (index.column() == column_tick)
        table_model_->set_ticked(index.row(), (rows_[index.row()].ticked & 0xFF) ? 0 : 1);
    const recovery_item_s row = rows_[index.row()];
    if (row.size <= preview_max_bytes) {
        // One engine serves one thread: while the worker copies files out, the
        // preview waits for it.
        if (worker_ && worker_->isRunning())
            pending_preview_ = std::make_unique<recovery_item_s>(row);
        else
            show_preview(row);
    }
    update();
}

void recovery_window_c::show_preview(const recovery_item_s& row) {
    if (scan_running) return;
    if (!preview_dir_) {
        preview_dir_ =
            std::make_unique<QTemporaryDir>(QDir::temp().filePath("quorvane-preview-XXXXXX"));
        if (!preview_dir_->isValid()) {
            preview_dir_.reset();
            return;
        }
    }
    QDir dir(preview_dir_->path());
    if (recover_item(dir, row) != 0) return;
    preview_ = load_file_preview(dir.filePath(safe_file_name(row.name)), row.name);
}

void recovery_window_c::on_recovery_clicked() {
    if (rows_.isEmpty() || scan_running) return;
    bool any = std::any_of(rows_.begin(), rows_.end(),
                           [](const recovery_item_s& r) { return r.ticked & 0xFF; });
    if (!any) {
        prompts_.tell(this, "recovery_check_warning");
        return;
    }
    QString folder = prompts_.choose_folder(this);
    if (folder.isEmpty()) return;
    if (destination_on_volume(folder, volume_.device_name) &&
        !prompts_.ask(this, "recovery_same_volume_warning"))
        return;
    if (!worker_) {
        worker_ = std::make_unique<recovery_file_c>();
        connect(worker_.get(), &QThread::finished, this, &recovery_window_c::on_recovery_finished);
    }
    if (worker_->isRunning()) return;
    worker_->set_job(current_engine_, engine_kind_, QDir(folder), rows_);
    worker_->start(QThread::InheritPriority);
}

void recovery_window_c::on_recovery_finished() {
    prompts_.open_folder(worker_->destination().path());
    if (pending_preview_) {
        std::unique_ptr<recovery_item_s> row = std::move(pending_preview_);
        show_preview(*row);
        update();
    }
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
    QString status;
    if (deep_scan_) {
        double fraction = std::clamp(current_engine_->progress(), 0.0, 1.0);
        status = language_text("raw_progress") + " " +
                 format_size(uint64_t(fraction * double(volume_.total_bytes)));
    } else {
        status =
            language_text("recovery_reading") + QString::number(current_engine_->entries_read());
    }
    if (const QString notice = open_notice_board::shared().text(); !notice.isEmpty()) status += "   " + notice;
    painter.drawText(l.status_text, status);

    painter.fillRect(l.preview_fill, Qt::white);
    if (preview_.ready) paint_preview(painter);

    uint64_t found = current_engine_->items_found();
    if (found > 0) {
        painter.setPen(Qt::red);
        painter.drawText(l.found_text,
                         language_text("recovery_total_files") + " " + QString::number(found));
    }
}

void recovery_window_c::paint_preview(QPainter& painter) {
    const recovery_layout_s l = recovery_layout(width(), height());
    if (!preview_.image.isNull()) {
        QRect target = preview_image_rect(size(), preview_.image.size());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, preview_.image);
    } else if (!preview_.text.isEmpty()) {
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        painter.setPen(Qt::black);
        painter.save();
        painter.setClipRect(l.preview_text);
        painter.drawText(QRectF(l.preview_text), preview_.text, option);
        painter.restore();
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
    table_->setGeometry(l.table);
    form_.lbl_anime->setGeometry(l.anime);
}
