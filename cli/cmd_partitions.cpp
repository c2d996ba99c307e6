// quorvane-cli partitions: the lost-partition search, the repair and putting a saved sector back.
#include <QDir>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "cli/cli_volume.hpp"
#include "cli/commands.hpp"
#include "cli/json_text.hpp"
#include "cli/terminal_progress.hpp"
#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "devices/format_size.hpp"
#include "partition/drive_lookup.hpp"
#include "partition/gpt_plan.hpp"
#include "partition/mbr_backup.hpp"
#include "partition/mbr_writer.hpp"
#include "partition/partition_search.hpp"

namespace qv::cli {

namespace {

void print_partition(const partition_item_s& p, int number, bool json) {
    uint64_t bytes = (p.end_sector - p.start_sector + 1) * 512;
    const QString name = p.fs_name.isEmpty() ? QStringLiteral("?") : p.fs_name;
    if (json) {
        std::printf("{\"number\":%d,\"file_system\":%s,\"type\":%d,\"first_sector\":%llu,\"last_sector\":%llu,"
                    "\"size\":%llu,\"kind\":%s,\"label\":%s,\"state\":\"%s\"}\n",
                    number, json_quote(p.fs_name.toStdString()).c_str(), p.partition_type,
                    (unsigned long long)p.start_sector, (unsigned long long)p.end_sector, (unsigned long long)bytes,
                    json_quote(p.fs_name.toLower().toStdString()).c_str(), json_quote(p.label.toStdString()).c_str(),
                    p.listed ? "listed" : "lost");
    } else {
        std::printf("%3d  %-7s  first sector %12llu  last sector %12llu  %10s  %-6s  %s\n", number,
                    name.toUtf8().constData(), (unsigned long long)p.start_sector, (unsigned long long)p.end_sector,
                    format_size(bytes).toLatin1().constData(), p.listed ? "listed" : "lost",
                    p.label.toUtf8().constData());
    }
    std::fflush(stdout);
}

// The drive's own table: one JSON line, or one line on standard error.
void print_table(const qv::partition::disk_table& t, bool json) {
    using namespace qv::partition;
    if (!json) {
        std::fprintf(stderr, "%s\n", describe_table(t).toUtf8().constData());
        return;
    }
    auto copy = [](const gpt_copy& c) {
        return "{\"state\":\"" + std::string(gpt_copy_state_name(c.state)) +
               "\",\"problem\":" + json_quote(c.problem.toStdString()) + "}";
    };
    std::printf("{\"table\":\"%s\",\"summary\":%s,\"gpt_primary\":%s,\"gpt_backup\":%s,\"listed\":%zu}\n",
                table_kind_name(t.kind), json_quote(describe_table(t).toStdString()).c_str(), copy(t.primary).c_str(),
                copy(t.backup).c_str(), t.partitions.size());
    std::fflush(stdout);
}

// "about 3 min left" for the expected rest of a search.
std::string time_left_text(double seconds) {
    if (seconds < 60) return "about " + std::to_string(int(seconds) + 1) + " s left";
    if (seconds < 3600) return "about " + std::to_string(int(seconds / 60) + 1) + " min left";
    const int minutes = int(seconds / 60) + 1;
    return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min left";
}

void print_report(const qv::partition::repair_report& rep, const char* what = "first sector") {
    if (!rep.backup_path.isEmpty())
        std::fprintf(stderr, "saved the replaced %s to %s\n", what, rep.backup_path.toLocal8Bit().constData());
    if (!rep.error.isEmpty()) std::fprintf(stderr, "quorvane-cli: %s\n", rep.error.toLocal8Bit().constData());
}

}  // namespace

int cmd_partitions(const partition_options& o) {
    std::string error;
    if (!open_named_drive(o.drive, &error)) return fail_usage(error);
    QString path = QDir::cleanPath(QDir::current().absoluteFilePath(QString::fromStdString(o.drive)));
    if (o.drive.rfind("/dev/", 0) == 0) path = QString::fromStdString(o.drive);
    auto drive = qv::partition::find_drive_item(path);
    if (!drive) return fail_usage(o.drive + ": not a drive");

    if (!o.restore.empty()) {
        qv::partition::repair_report rep;
        int rc = qv::partition::restore_partition_table(drive->name, QString::fromStdString(o.restore),
                                                        qv::partition::default_backup_dir(), &rep, o.force);
        print_report(rep, "sectors");
        if (rc == 0) std::fprintf(stderr, "put the saved sectors back on %s\n", o.drive.c_str());
        return rc == 0 ? 0 : 1;
    }

    // The search runs on this thread: its hooks print the table, each find and the progress bar.
    std::string open_error;
    auto dev = qv::device_catalog::shared().open(drive->name.toStdString(), qv::access_mode::read_only, &open_error);
    if (!dev) return fail_usage(o.drive + ": cannot open " + drive->name.toStdString() + ": " + open_error);
    terminal_progress bar;
    qv::partition::disk_table table;
    QList<partition_item_s> found;
    std::atomic<double> progress{0.0};
    qv::partition::search_hooks hooks;
    hooks.progress = &progress;
    hooks.table = [&](const qv::partition::disk_table& t) {
        table = t;
        bar.clear();
        print_table(table, o.json);
    };
    hooks.found = [&](const partition_item_s& p) {
        found.append(p);
        bar.clear();
        print_partition(p, int(found.size()), o.json);
    };
    // Asked between chunks: the moment to redraw the bar. The search is never stopped.
    const auto started = std::chrono::steady_clock::now();
    auto drawn = started;
    hooks.stop = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now - drawn < std::chrono::milliseconds(200)) return false;
        drawn = now;
        const double done = progress.load(std::memory_order_relaxed);
        std::string status = "searched " + format_size(uint64_t(done * double(drive->size))).toStdString();
        const double elapsed = std::chrono::duration<double>(now - started).count();
        if (done > 0.01 && elapsed > 2) status += ", " + time_left_text(elapsed * (1 - done) / done);
        bar.update(done, status);
        return false;
    };
    hooks.reach = o.every_sector ? qv::partition::search_reach::every_sector : qv::partition::search_reach::likely_places;
    qv::partition::search_device(*dev, hooks);
    bar.clear();
    if (!o.json) std::fprintf(stderr, "%lld partitions found on %s\n", (long long)found.size(), o.drive.c_str());

    // A GPT that can be repaired has its plan shown even when not asked to write.
    if (o.write_gpt || table.kind == qv::partition::table_kind::gpt) {
        qv::partition::gpt_plan plan;
        QString plan_error;
        const int planned = qv::partition::plan_gpt(*dev, table, found, drive->name, &plan, &plan_error);
        dev.reset();
        if (planned == 0) std::fprintf(stderr, "%s\n", qv::partition::describe_gpt_plan(plan).toLocal8Bit().constData());
        if (!o.write_gpt) {
            if (planned == 0) std::fprintf(stderr, "--write-gpt --yes writes it\n");
        } else {
            if (planned != 0 && table.primary.state == qv::partition::gpt_copy_state::good &&
                table.backup.state == qv::partition::gpt_copy_state::good) {
                std::fprintf(stderr, "%s, nothing written\n", plan_error.toLocal8Bit().constData());
                return 0;
            }
            // A GPT over a valid MBR replaces its table: refused unless asked for with --force.
            const QString refusal = qv::partition::gpt_write_refusal(table, drive->name);
            if (!refusal.isEmpty() && !o.force) return fail_usage(refusal.toStdString());
            if (planned != 0) return fail_usage(o.drive + ": " + plan_error.toStdString());
            qv::partition::repair_report rep;
            const int rc = qv::partition::apply_gpt_plan(plan, qv::partition::default_backup_dir(), &rep);
            print_report(rep, "sectors");
            if (rc == 0) std::fprintf(stderr, "wrote the GPT to %s\n", o.drive.c_str());
            return rc == 0 ? 0 : 1;
        }
    }
    if (!o.write_mbr) return 0;

    // An MBR over a valid GPT hides its partitions: refused unless asked for with --force.
    const QString refusal = qv::partition::mbr_write_refusal(table, drive->name);
    if (!refusal.isEmpty() && !o.force) return fail_usage(refusal.toStdString());
    qv::partition::mbr_plan plan;
    QString plan_error;
    if (qv::partition::plan_partition_repair(*drive, found, &plan, &plan_error, o.force) != 0)
        return fail_usage(plan_error.toStdString());
    std::fprintf(stderr, "%s\n", qv::partition::describe_plan(plan).toLocal8Bit().constData());
    qv::partition::repair_report rep;
    int rc = qv::partition::apply_partition_plan(plan, qv::partition::default_backup_dir(), &rep);
    print_report(rep, plan.ebrs.empty() ? "first sector" : "sectors");
    if (rc == 0) std::fprintf(stderr, "wrote the new partition table to %s\n", o.drive.c_str());
    return rc == 0 ? 0 : 1;
}

}  // namespace qv::cli
