// quorvane-cli scan and recover.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "cli/cli_volume.hpp"
#include "cli/commands.hpp"
#include "cli/filter_options.hpp"
#include "cli/found_items.hpp"
#include "cli/json_text.hpp"
#include "cli/scan_job.hpp"
#include "devices/device_catalog.hpp"
#include "devices/format_size.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/destination_failure.hpp"
#include "engine/destination_names.hpp"
#include "engine/engine_choice.hpp"
#include "engine/file_times.hpp"
#include "engine/recovery_worker.hpp"
#include "engine/safe_names.hpp"
#include "engine/scan_result_file.hpp"

namespace {

// Sets up checkpoints for a deep scan and, where one of an interrupted scan of
// this volume is found, goes on from it: with --resume, or when the user says so.
void prepare_deep_resume(scan_job& job, const scan_options& o, const volume_item_s& volume) {
    const std::string device = volume.volume_name.toStdString();
    const std::string path = qv::deep_checkpoint_path(o.save, device);
    job.set_checkpoint(path, std::chrono::milliseconds(int64_t(o.checkpoint_every * 1000)));
    std::string why;
    auto checkpoint = qv::read_deep_checkpoint(path, &why);
    if (!checkpoint) {
        if (o.resume) std::fprintf(stderr, "no interrupted scan of %s to go on with; starting afresh\n", o.volume.c_str());
        return;
    }
    auto handle = qv::device_catalog::shared().open(device, qv::access_mode::read_only, nullptr);
    if (checkpoint->device_path != device || !handle || checkpoint->device_length != handle->length() ||
        checkpoint->every_byte != o.every_byte) {
        std::fprintf(stderr, "%s belongs to another scan; starting afresh\n", path.c_str());
        return;
    }
    const double done =
        checkpoint->device_length ? 100.0 * double(checkpoint->position) / double(checkpoint->device_length) : 0;
    bool go_on = o.resume;
    if (!go_on && isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "An interrupted deep scan of %s stopped at %.1f%% with %zu files found. Continue it? [Y/n] ",
                     o.volume.c_str(), done, checkpoint->records.size());
        char answer[16] = {};
        go_on = std::fgets(answer, sizeof answer, stdin) && (answer[0] == '\n' || answer[0] == 'y' || answer[0] == 'Y');
    } else if (!go_on) {
        std::fprintf(stderr, "an interrupted deep scan of %s (%.1f%% done) can be continued with --resume; starting afresh\n",
                     o.volume.c_str(), done);
    }
    if (!go_on) return;
    std::fprintf(stderr, "going on from %.1f%% with %zu files found before\n", done, checkpoint->records.size());
    job.resume_from(*checkpoint);
}

struct scan_session {
    volume_item_s volume;
    std::unique_ptr<scan_job> job;
    std::vector<listed_item> items;
    bool complete = true;
};

// Opens the volume, picks its engine and scans. Returns an exit code, 0 on success.
int scan_volume(const scan_options& o, scan_session* s) {
    std::string error;
    if (!open_named_drive(o.volume, &error)) return fail_usage(error);
    auto volume = resolve_volume(o.volume, &error);
    if (!volume) return fail_usage(error);
    s->volume = *volume;
    recovery_engine_kind kind = qv::choose_engine(volume->file_system.toStdString(), o.deep);
    if (kind == engine_kind_none)
        return fail_usage(o.volume + ": no file system this program reads (found \"" +
                          volume->file_system.toStdString() + "\"); try --deep");
    s->job = std::make_unique<scan_job>(kind, o.every_byte);
    if (kind == engine_kind_deep) prepare_deep_resume(*s->job, o, s->volume);
    if (!s->job->run(s->volume, &error)) return fail_usage(error);
    s->complete = s->job->complete();
    s->items = list_found_items(s->job->items());
    if (s->job->device_vanished())
        std::fprintf(stderr, "quorvane-cli: %s went away during the scan; what was found before is kept%s\n",
                     o.volume.c_str(), o.save.empty() ? "" : " and saved");
    if (s->job->unreadable_bytes() > 0)
        std::fprintf(stderr, "%s: %s could not be read (read as zeros)\n", o.volume.c_str(),
                     format_size(s->job->unreadable_bytes()).toLocal8Bit().constData());
    if (!o.save.empty()) {
        // A scan that found nothing is a result too: it is saved with no records.
        if (s->job->save(QFile::encodeName(QString::fromStdString(o.save)).toStdString(), true) != 0)
            return fail_usage(o.save + ": cannot save the scan result (the file cannot be written)");
        std::fprintf(stderr, "saved the scan result (%zu files) to %s\n", s->job->items().size(), o.save.c_str());
    }
    return 0;
}

void print_item(const listed_item& f, bool json) {
    if (json) {
        std::printf("{\"id\":%llu,\"path\":%s,\"name\":%s,\"size\":%llu,\"modified\":%lld,\"created\":%lld,"
                    "\"deleted\":%s,\"directory\":%s",
                    (unsigned long long)f.id, json_quote(f.path).c_str(), json_quote(f.name).c_str(),
                    (unsigned long long)f.size, (long long)f.modified, (long long)f.created,
                    f.deleted ? "true" : "false", f.directory ? "true" : "false");
        if (!f.type.empty())
            std::printf(",\"type\":%s,\"offset\":%llu", json_quote(f.type).c_str(), (unsigned long long)f.offset);
        std::printf("%s}\n", state_json_fields(f).c_str());
        return;
    }
    std::printf("%10llu  %-9s %10s  %-11s  %s\n", (unsigned long long)f.id,
                f.directory ? "<dir>" : (f.deleted ? "deleted" : "live"),
                f.directory ? "" : format_size(f.size).toLatin1().constData(),
                f.directory || f.state == qv::item_state::unknown ? "-" : qv::state_name(f.state), f.path.c_str());
}

bool wanted(const listed_item& f, const scan_options& o) {
    if (f.directory || !f.deleted) return false;
    if (!o.ids.empty() && std::find(o.ids.begin(), o.ids.end(), f.id) == o.ids.end()) return false;
    if (o.skip_overwritten && f.state == qv::item_state::overwritten) return false;
    if (o.skip_damaged && f.state == qv::item_state::damaged) return false;
    return o.filter.matches(f, f.path);
}

}  // namespace

int recover_items(scan_job& job, const std::vector<listed_item>& items, const scan_options& o, const QString& to);

int fail_usage(const std::string& message) {
    std::fprintf(stderr, "quorvane-cli: %s\n", message.c_str());
    return 2;
}

int cmd_scan(const scan_options& o) {
    scan_session s;
    if (int rc = scan_volume(o, &s)) return rc;
    size_t shown = 0;
    for (const auto& f : s.items)
        if (o.filter.matches(f, f.path)) {
            print_item(f, o.json);
            if (f.deleted && !f.directory) ++shown;
        }
    if (!o.json) {
        size_t deleted = std::count_if(s.items.begin(), s.items.end(),
                                       [](const listed_item& f) { return f.deleted && !f.directory; });
        std::string listed = o.filter.active() ? ", " + std::to_string(shown) + " of them match the filter" : "";
        std::fprintf(stderr, "%s: %zu deleted files found%s (%llu entries read)%s\n", o.volume.c_str(), deleted,
                     listed.c_str(), (unsigned long long)s.job->entries_read(),
                     s.complete ? "" : ", scan stopped early");
    }
    return 0;
}

int cmd_recover(const scan_options& o) {
    QString to = QDir::cleanPath(QDir::current().absoluteFilePath(QString::fromStdString(o.to)));
    if (!QDir().mkpath(to)) return fail_usage(o.to + ": cannot create the recovery folder");
    scan_session s;
    if (int rc = scan_volume(o, &s)) return rc;
    if (destination_on_volume(to, s.volume.device_name))
        return fail_usage(o.to + ": lies on the volume being recovered; choose a folder on another disk");
    return recover_items(*s.job, s.items, o, to);
}

int recover_items(scan_job& job, const std::vector<listed_item>& items, const scan_options& o, const QString& to) {
    std::vector<const listed_item*> chosen;
    uint64_t left = 0;  // bytes of the chosen files not recovered yet
    for (const auto& f : items)
        if (wanted(f, o)) {
            chosen.push_back(&f);
            left += f.size;
        }
    size_t recovered = 0;
    destination_names names;
    for (const listed_item* f : chosen) {
        QString folder = to;
        if (o.keep_tree) {
            QString dir = QFileInfo(QString::fromStdString(f->path)).path();
            for (const auto& part : dir.split('/', Qt::SkipEmptyParts)) folder += '/' + safe_file_name(part);
            QDir().mkpath(folder);
        }
        QString leaf = QString::fromStdString(f->path).section('/', -1);
        QString destination;
        int rc = recover_into(
            folder, leaf, names,
            [&](const QString& target) { return job.recover(*f, QFile::encodeName(target).toStdString()); },
            &destination);
        if (rc == 0) {
            qv::set_modified_time(destination, f->modified);
            ++recovered;
            left -= f->size;
            std::printf("%s\n", destination.toLocal8Bit().constData());
        } else if (rc == recover_destination_failed) {
            // The rest would fail the same way: stop at once and say what is missing.
            destination_failure stop = classify_destination_failure(errno, folder, left);
            std::fprintf(stderr, "quorvane-cli: %s\n",
                         destination_failure_text(recovered, chosen.size(), stop).toLocal8Bit().constData());
            return 1;
        } else {
            std::fprintf(stderr, "failed: %s\n", f->path.c_str());
        }
    }
    std::fprintf(stderr, "recovered %zu of %zu files into %s\n", recovered, chosen.size(),
                 to.toLocal8Bit().constData());
    return recovered == chosen.size() ? 0 : 1;
}

int cmd_resume(const std::string& file, const std::string& to_arg) {
    QString to = QDir::cleanPath(QDir::current().absoluteFilePath(QString::fromStdString(to_arg)));
    auto device = qv::read_scan_result_path(file);
    if (!device) return fail_usage(file + ": not a scan result file");
    std::string error;
    open_named_drive(*device, &error);
    scan_job job(engine_kind_deep);
    if (!job.load_saved(file, &error, true)) return fail_usage(error);
    if (!QDir().mkpath(to)) return fail_usage(to_arg + ": cannot create the recovery folder");
    if (destination_on_volume(to, QString::fromStdString(*device)))
        return fail_usage(to_arg + ": lies on the volume being recovered; choose a folder on another disk");
    scan_options o;
    o.keep_tree = true;
    return recover_items(job, list_found_items(job.items()), o, to);
}
