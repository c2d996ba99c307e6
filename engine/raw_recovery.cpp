#include "engine/raw_recovery.hpp"

#include <QDateTime>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "devices/device_catalog.hpp"
#include "devices/tolerant_read.hpp"
#include "engine/destination_failure.hpp"

raw_recovery_c::raw_recovery_c(QObject* parent) : recovery_base_c(parent) {}

void raw_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
    device_path_ = volume.volume_name;
    if (device_path_.endsWith(QLatin1Char('\\'))) device_path_.chop(1);
}

double raw_recovery_c::progress() { return sc_context_scanned(context_); }
void raw_recovery_c::set_progress(double value) { sc_context_set_scanned(context_, value); }
void raw_recovery_c::set_stop(int32_t value) { sc_context_set_stop(context_, value); }
int32_t raw_recovery_c::stop_state() { return sc_context_stop(context_); }
int32_t raw_recovery_c::is_paused() { return sc_context_paused(context_); }
void raw_recovery_c::set_paused(int32_t value) { sc_context_set_paused(context_, value); }

void raw_recovery_c::reset() {
    result_published();
    context_.owner = nullptr;
    context_.found = nullptr;
    sc_context_set_scanned(context_, 0.0);
    sc_context_set_paused(context_, 0);
    sc_context_set_stop(context_, 0);
    type_index_.clear();
    records_.clear();
    facts_.clear();
}

void raw_recovery_c::set_checkpoint(const std::string& path, std::chrono::milliseconds interval) {
    checkpoint_path_ = path;
    checkpoint_interval_ = interval;
}

void raw_recovery_c::resume_from(const qv::deep_checkpoint& checkpoint) { resume_ = checkpoint; }

uint64_t raw_recovery_c::unreadable_in(uint64_t id) const {
    auto it = unreadable_in_.find(id);
    return it == unreadable_in_.end() ? 0 : it->second;
}

void raw_recovery_c::write_checkpoint(const qv::sig::scan_place& place) {
    if (checkpoint_path_.empty()) return;
    qv::deep_checkpoint c;
    c.device_path = device_path_.toLocal8Bit().toStdString();
    c.device_length = device_length_;
    c.position = place.position;
    c.search_from = place.search_from;
    c.reported_end = place.reported_end;
    c.every_byte = every_byte_;
    // Only what lies before the position: the rest is read again after a resume.
    c.unreadable_bytes = carried_unreadable_ + state_.bad.overlap(0, place.position);
    c.records = records_;
    if (qv::write_deep_checkpoint(checkpoint_path_, c) == 0) ++checkpoints_written_;
    last_checkpoint_ = std::chrono::steady_clock::now();
}

void raw_recovery_c::run() {
    reset();
    context_.owner = this;
    context_.found = &raw_recovery_c::raw_found_callback;
    QByteArray path = device_path_.toLocal8Bit();
    // Found files are examined on worker threads while the scan reads on.
    auto device = qv::device_catalog::shared().open(path.toStdString(), qv::access_mode::read_only);
    std::unique_ptr<qv::sig::found_file_examiner> examiner;
    if (device) {
        const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
        examiner = std::make_unique<qv::sig::found_file_examiner>(*device, std::min(4u, cores - 1));
    }
    state_.bad.clear();
    state_.vanished = false;
    state_.start = {};
    checkpoints_written_ = 0;
    carried_unreadable_ = 0;
    device_length_ = device ? device->length() : 0;
    if (resume_ && resume_->device_path == path.toStdString() && resume_->device_length == device_length_ &&
        resume_->every_byte == every_byte_) {
        records_ = resume_->records;
        rebuild_type_index();
        if (examiner)
            for (const raw_item_s& r : records_) examiner->add({r.offset, r.size, qv::record_type(r)});
        state_.start = {resume_->position, resume_->search_from, resume_->reported_end};
        // The sectors before the checkpoint are not read again: carry their count.
        carried_unreadable_ = resume_->unreadable_bytes;
    }
    resume_.reset();
    qv::sig::scan_place place = state_.start;
    place.search_from = std::max(place.position, place.search_from);
    last_checkpoint_ = std::chrono::steady_clock::now();
    state_.at_block = [this, &place](const qv::sig::scan_place& at) {
        place = at;
        if (!checkpoint_path_.empty() && std::chrono::steady_clock::now() - last_checkpoint_ >= checkpoint_interval_)
            write_checkpoint(at);
    };
    examiner_ = examiner.get();
    int32_t end = sc_scan_with(&context_, path.constData(), every_byte_ ? sc_scan_every_byte : 0, &state_);
    examiner_ = nullptr;
    if (!checkpoint_path_.empty()) {
        if (end == 0)
            std::remove(checkpoint_path_.c_str());  // finished: nothing left to go on with
        else if (end > 0)
            write_checkpoint(place);  // stopped or the device went away: keep the place
    }
    if (examiner) {
        if (sc_context_stop(context_)) examiner->cancel();
        facts_ = examiner->finish();
    }
    facts_.resize(records_.size());
    publish_result();
}

void raw_recovery_c::examine_records() {
    facts_.assign(records_.size(), {});
    if (records_.empty()) return;
    auto device = qv::device_catalog::shared().open(device_path_.toLocal8Bit().toStdString(),
                                                     qv::access_mode::read_only);
    if (!device) return;
    std::vector<qv::sig::found_span> spans;
    spans.reserve(records_.size());
    for (const raw_item_s& r : records_) spans.push_back({r.offset, r.size, qv::record_type(r)});
    const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    facts_ = qv::sig::examine_found_files(*device, spans, threads,
                                          [this] { return sc_context_stop(context_) != 0; });
}

void raw_recovery_c::raw_found_callback(void* owner, const char* type, uint64_t offset, uint64_t size) {
    if (owner) static_cast<raw_recovery_c*>(owner)->add_record(type ? type : "", offset, size);
}

void raw_recovery_c::add_record(const char* type, uint64_t offset, uint64_t size) {
    raw_item_s item;
    item.index = records_.size();
    item.offset = offset;
    item.size = size;
    // The first 8 bytes, zero-filled; no terminator when the name has 8 or more.
    std::memcpy(item.type, type, std::min(std::strlen(type), sizeof item.type));
    records_.push_back(item);
    type_index_[type].push_back(item.index);
    if (examiner_) examiner_->add({offset, size, type});
}

void raw_recovery_c::rebuild_type_index() {
    type_index_.clear();
    for (const raw_item_s& r : records_) type_index_[qv::record_type(r)].push_back(r.index);
}

int32_t raw_recovery_c::recover_file(uint64_t id, QString destination) {
    result_published();
    if (id >= records_.size()) return -1;
    const raw_item_s item = records_[id];
    unreadable_in_.erase(id);
    std::unique_ptr<qv::device_handle> device =
        qv::device_catalog::shared().open(device_path_.toLocal8Bit().toStdString(), qv::access_mode::read_only);
    if (!device) return -1;
    // The whole file must lie on the device, or the copy could only be partial.
    if (item.offset > device->length() || item.size > device->length() - item.offset) return -1;
    const QByteArray out_path = QFile::encodeName(destination);
    int fd = ::open(out_path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;  // callers create the file first and judge that themselves
    constexpr size_t piece = 1 << 20;
    std::vector<char> buffer(piece, 0);
    qv::bad_ranges bad;
    uint64_t done = 0;
    bool read_ok = true;
    int write_error = 0;
    while (done < item.size && read_ok && write_error == 0) {
        size_t want = size_t(std::min<uint64_t>(item.size - done, piece));
        size_t got = 0;
        // Bad sectors inside the file are written as zeros and counted.
        if (qv::read_tolerant(*device, item.offset + done, buffer.data(), want, &got, &bad) ==
                qv::read_outcome::vanished ||
            got != want) {
            read_ok = false;
            break;
        }
        for (size_t w_done = 0; w_done < want;) {
            ssize_t w = ::write(fd, buffer.data() + w_done, want - w_done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                write_error = w < 0 ? errno : ENOSPC;
                break;
            }
            w_done += size_t(w);
        }
        done += want;
    }
    if (::close(fd) != 0 && write_error == 0) write_error = errno;
    if (write_error != 0 || !read_ok) {
        ::unlink(out_path.constData());
        if (write_error == 0) return -1;
        errno = write_error;
        return recover_destination_failed;
    }
    // The capture time becomes the copy's modified time.
    if (id < facts_.size() && facts_[id].taken != 0) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(facts_[id].taken), 0}};
        ::utimensat(AT_FDCWD, out_path.constData(), times, 0);
    }
    if (bad.total() > 0) unreadable_in_[id] = bad.total();
    return 0;
}

int raw_recovery_c::write_result_file(const QByteArray& path, bool allow_empty) {
    result_published();
    return qv::write_scan_result(path.toStdString(), device_path_.toLocal8Bit().toStdString(), records_,
                                 allow_empty);
}

QString raw_recovery_c::read_result_file(const QByteArray& path, bool allow_empty) {
    auto header = qv::read_scan_result_path(path.toStdString());
    if (!header) return {};
    device_path_ = QString::fromLocal8Bit(header->data(), qsizetype(header->size()));
    std::unique_ptr<sc_device, void (*)(sc_handle)> device(sc_open(header->c_str()), sc_close);
    if (!device) return {};
    auto result = qv::read_scan_result(path.toStdString(), sc_length(device.get()), nullptr, allow_empty);
    if (!result || result->device_path != *header) return {};
    records_ = std::move(result->records);
    rebuild_type_index();
    // Capture times and checks are not kept in the file: read them again.
    examine_records();
    return device_path_;
}

recovery_item_s raw_recovery_c::row(const raw_item_s& item, uint64_t id, int64_t taken) {
    recovery_item_s r;
    r.name = QString::asprintf("%08llu.%s", static_cast<unsigned long long>(item.index),
                               qv::record_type(item).c_str());
    r.size = item.size;
    r.date1 = taken;
    r.id = id;
    return r;
}
