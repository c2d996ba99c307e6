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
#include "engine/safe_names.hpp"
#include "engine/scan_result_file.hpp"
#include "engine/scanner.hpp"

namespace qv::cli {

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
    if (!handle || !checkpoint->belongs_to(device, handle->length(), o.every_byte, o.free_space)) {
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
    std::unique_ptr<qv::device_handle> probe;
    if (volume->file_system.isEmpty())
        probe = qv::device_catalog::shared().open(volume->volume_name.toStdString(), qv::access_mode::read_only);
    const qv::scanner_kind* kind = qv::choose_scanner(volume->file_system.toStdString(), o.deep, probe.get());
    probe.reset();
    if (!kind)
        return fail_usage(o.volume + ": no file system this program reads (found \"" +
                          volume->file_system.toStdString() + "\"); try --deep");
    s->job = std::make_unique<scan_job>(*kind, o.every_byte);
    if (kind->carver && o.free_space) s->job->set_free_space(volume->file_system.toStdString());
    if (kind->carver) prepare_deep_resume(*s->job, o, s->volume);
    if (!s->job->run(s->volume, &error)) return fail_usage(error);
    if (const auto& mask = s->job->free_space()) {
        if (!mask->known)
            std::fprintf(stderr, "%s: free space unknown (%s); scanning the whole volume\n", o.volume.c_str(),
                         mask->unknown_why.c_str());
        else
            std::fprintf(stderr,
                         "%s: skipped %llu bytes (%s) in use by the %s file system and %llu bytes (%s) of the %zu "
                         "files it lists\n",
                         o.volume.c_str(), (unsigned long long)mask->in_use_bytes,
                         format_size(mask->in_use_bytes).toLocal8Bit().constData(), mask->scanner.c_str(),
                         (unsigned long long)mask->found_bytes,
                         format_size(mask->found_bytes).toLocal8Bit().constData(), mask->found_items);
    }
    s->complete = s->job->complete();
    if (o.name_from_content) s->job->name_from_content();
    s->items = list_found_items(s->job->items());
    if (s->job->device_vanished())
        std::fprintf(stderr, "quorvane-cli: %s went away during the scan; what was found before is kept%s\n",
                     o.volume.c_str(), o.save.empty() ? "" : " and saved");
    for (const std::string& place : s->job->problems().places)
        std::fprintf(stderr, "%s: could not read %s; skipped\n", o.volume.c_str(), place.c_str());
    if (s->job->unreadable_bytes() > 0)
        std::fprintf(stderr, "%s: %s could not be read (%s)\n", o.volume.c_str(),
                     format_size(s->job->unreadable_bytes()).toLocal8Bit().constData(),
                     kind->carver ? "read as zeros" : "skipped");
    for (const std::string& what : s->job->problems().corrupt)
        std::fprintf(stderr, "%s: %s\n", o.volume.c_str(), what.c_str());
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

// What a recovery run came to, file by file.
struct recovery_tally {
    size_t chosen = 0;
    size_t recovered = 0;  // written, whole or damaged
    size_t damaged = 0;    // written with zeros where the source could not be read
    size_t failed = 0;     // not written
    bool destination_stopped = false;
};

// The exit code of recover and resume, from the tally alone: 0 when every
// chosen file came back as it was, 1 when any failed, came back damaged or the
// destination stopped the run.
int recover_exit_code(const recovery_tally& t) {
    const bool all_whole = !t.destination_stopped && t.recovered == t.chosen && t.damaged == 0 && t.failed == 0;
    return all_whole ? 0 : 1;
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
    recovery_tally tally;
    tally.chosen = chosen.size();
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
        qv::recovery_status rc = recover_into(
            folder, leaf, names,
            [&](const QString& target) { return job.recover(*f, QFile::encodeName(target).toStdString()); },
            &destination);
        const uint64_t unreadable = rc.unreadable_bytes;
        if (rc.written()) {
            qv::set_modified_time(destination, f->modified);
            ++tally.recovered;
            left -= f->size;
            const std::string written = destination.toLocal8Bit().toStdString();
            if (unreadable > 0) {
                // Written whole, with zeros where the source could not be read.
                ++tally.damaged;
                std::fprintf(stderr, "damaged: %s (%llu bytes unreadable, written as zeros)\n", written.c_str(),
                             (unsigned long long)unreadable);
            }
            if (o.json) {
                qv::found_item state = *f;
                if (unreadable > 0) {
                    state.state = qv::item_state::damaged;
                    state.unreadable_bytes = unreadable;
                }
                std::printf("{\"id\":%llu,\"path\":%s,\"size\":%llu,\"to\":%s%s}\n", (unsigned long long)f->id,
                            json_quote(f->path).c_str(), (unsigned long long)f->size, json_quote(written).c_str(),
                            state_json_fields(state).c_str());
            } else {
                std::printf("%s\n", written.c_str());
            }
        } else if (rc.destination_failed) {
            // The rest would fail the same way: stop at once and say what is missing.
            destination_failure stop = classify_destination_failure(rc.destination_errno, folder, left);
            std::fprintf(stderr, "quorvane-cli: %s\n",
                         destination_failure_text(tally.recovered, chosen.size(), stop).toLocal8Bit().constData());
            tally.destination_stopped = true;
            return recover_exit_code(tally);
        } else {
            ++tally.failed;
            std::fprintf(stderr, "failed: %s (%s)\n", f->path.c_str(), qv::failure_text(rc).c_str());
        }
    }
    std::string damaged_note =
        tally.damaged > 0 ? " (" + std::to_string(tally.damaged) + " damaged: parts could not be read)" : std::string();
    std::fprintf(stderr, "recovered %zu of %zu files into %s%s\n", tally.recovered, chosen.size(),
                 to.toLocal8Bit().constData(), damaged_note.c_str());
    if (recover_exit_code(tally) != 0) std::fprintf(stderr, "quorvane-cli: not everything came back as it was\n");
    return recover_exit_code(tally);
}

int cmd_resume(const std::string& file, const std::string& to_arg, bool name_from_content) {
    QString to = QDir::cleanPath(QDir::current().absoluteFilePath(QString::fromStdString(to_arg)));
    auto device = qv::read_scan_result_path(file);
    if (!device) return fail_usage(file + ": not a scan result file");
    std::string error;
    open_named_drive(*device, &error);
    scan_job job(qv::carving_scanner());
    if (!job.load_saved(file, &error, true)) return fail_usage(error);
    if (!QDir().mkpath(to)) return fail_usage(to_arg + ": cannot create the recovery folder");
    if (destination_on_volume(to, QString::fromStdString(*device)))
        return fail_usage(to_arg + ": lies on the volume being recovered; choose a folder on another disk");
    if (name_from_content) job.name_from_content();
    scan_options o;
    o.keep_tree = true;
    return recover_items(job, list_found_items(job.items()), o, to);
}

}  // namespace qv::cli
