#include "partition/partition_repair.hpp"

#include <QMutexLocker>

#include <algorithm>
#include <memory>

#include "devices/device_catalog.hpp"
#include "partition/partition_search.hpp"

using namespace qv::partition;

partition_repair_c::partition_repair_c(QObject* parent) : QThread(parent) {}

partition_repair_c::~partition_repair_c() {
    request_stop();
    wait();
}

void partition_repair_c::set_drive(const drive_item_s& drive) {
    QMutexLocker lock(&mutex_);
    drive_ = drive;
}

drive_item_s partition_repair_c::drive() const {
    QMutexLocker lock(&mutex_);
    return drive_;
}

QList<partition_item_s> partition_repair_c::partitions() const {
    QMutexLocker lock(&mutex_);
    return partitions_;
}

disk_table partition_repair_c::table() const {
    QMutexLocker lock(&mutex_);
    return table_;
}

qsizetype partition_repair_c::lost_count() const {
    QMutexLocker lock(&mutex_);
    return std::count_if(partitions_.begin(), partitions_.end(), [](const partition_item_s& p) { return !p.listed; });
}

qsizetype partition_repair_c::partition_count() const {
    QMutexLocker lock(&mutex_);
    return partitions_.size();
}

QString partition_repair_c::last_error() const {
    QMutexLocker lock(&mutex_);
    return error_;
}

repair_report partition_repair_c::last_repair() const {
    QMutexLocker lock(&mutex_);
    return last_repair_;
}

void partition_repair_c::set_error(const QString& text) {
    QMutexLocker lock(&mutex_);
    error_ = text;
}

void partition_repair_c::request_stop() {
    stop_.store(true);
    requestInterruption();  // reaches a thread that start() has launched but run() not yet entered
}

bool partition_repair_c::stop_wanted() const {
    if (stop_.load(std::memory_order_relaxed)) return true;
    return QThread::currentThread() == this && isInterruptionRequested();
}

void partition_repair_c::start_search(const drive_item_s& drive, Priority priority) {
    if (isRunning()) {
        request_stop();
        wait();
    }
    set_drive(drive);
    start(priority);
}

void partition_repair_c::run() {
    search();
}

int partition_repair_c::search() {
    if (busy_.exchange(true)) {
        set_error(QStringLiteral("a search is already running"));
        return -1;
    }
    stop_.store(false);
    const drive_item_s target = drive();
    {
        QMutexLocker lock(&mutex_);
        partitions_.clear();
        table_ = {};
        error_.clear();
    }
    progress_.store(0.0);

    int result = -1;
    std::string open_error;
    std::unique_ptr<qv::device_handle> dev;
    if (target.name.isEmpty()) {
        set_error(QStringLiteral("no drive is chosen"));
    } else if (!(dev = qv::device_catalog::shared().open(
                     target.name.toStdString(), qv::access_mode::read_only, &open_error))) {
        set_error(QStringLiteral("cannot open %1: %2")
                      .arg(target.name, QString::fromStdString(open_error)));
    } else {
        search_hooks hooks;
        hooks.progress = &progress_;
        hooks.stop = [this] { return stop_wanted(); };
        hooks.reach = reach_.load();
        hooks.table = [this](const disk_table& table) {
            QMutexLocker lock(&mutex_);
            table_ = table;
        };
        hooks.found = [this](const partition_item_s& item) {
            {
                QMutexLocker lock(&mutex_);
                partitions_.append(item);
            }
            emit partition_found();
        };
        result = search_device(*dev, hooks) == search_stopped ? 1 : 0;
    }
    last_result_.store(result);
    busy_.store(false);
    return result;
}

int partition_repair_c::plan_repair(mbr_plan* plan, QString* error, bool force) const {
    return plan_partition_repair(drive(), partitions(), plan, error, force);
}

bool partition_repair_c::gpt_repair_wanted() const {
    const disk_table t = table();
    if (t.protective_mbr || t.primary.state != gpt_copy_state::missing || t.backup.state != gpt_copy_state::missing)
        return true;
    // An MBR cannot hold a partition that ends past 2^32 sectors.
    constexpr uint64_t mbr_sector_limit = uint64_t(1) << 32;
    const QList<partition_item_s> found = partitions();
    return std::any_of(found.begin(), found.end(),
                       [](const partition_item_s& p) { return p.end_sector >= mbr_sector_limit; });
}

int partition_repair_c::plan_gpt_repair(gpt_plan* plan, QString* error, bool force) const {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    const drive_item_s target = drive();
    if (target.name.isEmpty()) return fail(QStringLiteral("no drive is chosen"));
    const disk_table t = table();
    if (!force) {
        const QString refusal = gpt_write_refusal(t, target.name);
        if (!refusal.isEmpty()) return fail(refusal);
    }
    std::string open_error;
    std::unique_ptr<qv::device_handle> dev =
        qv::device_catalog::shared().open(target.name.toStdString(), qv::access_mode::read_only, &open_error);
    if (!dev) return fail(QStringLiteral("cannot open %1: %2").arg(target.name, QString::fromStdString(open_error)));
    return plan_gpt(*dev, t, partitions(), target.name, plan, error);
}

QString partition_repair_c::repair_plan_text() const {
    QString error;
    if (gpt_repair_wanted()) {
        gpt_plan plan;
        return plan_gpt_repair(&plan, &error) == 0 ? describe_gpt_plan(plan) : error;
    }
    mbr_plan plan;
    return plan_repair(&plan, &error) == 0 ? describe_plan(plan) : error;
}

int partition_repair_c::repair_partition_table() {
    return repair_partition_table(default_backup_dir(), nullptr);
}

int partition_repair_c::repair_partition_table(const QString& backup_dir, repair_report* report) {
    repair_report r;
    r.drive = drive().name;
    int result = -1;
    mbr_plan plan;
    if (r.drive.isEmpty())
        r.error = QStringLiteral("no drive is chosen");
    else if (isRunning() || busy_.load())
        r.error = QStringLiteral("the search is still running");
    else if (gpt_repair_wanted()) {
        gpt_plan gpt;
        if (plan_gpt_repair(&gpt, &r.error) == 0) result = apply_gpt_plan(gpt, backup_dir, &r);
        r.gpt = gpt;
    } else if (plan_repair(&plan, &r.error) == 0)
        result = apply_partition_plan(plan, backup_dir, &r);
    if (report) *report = r;
    QMutexLocker lock(&mutex_);
    last_repair_ = r;
    return result;
}
