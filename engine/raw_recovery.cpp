#include "engine/raw_recovery.hpp"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "devices/device_catalog.hpp"

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
    examiner_ = examiner.get();
    sc_scan_ex(&context_, path.constData(), every_byte_ ? sc_scan_every_byte : 0);
    examiner_ = nullptr;
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
    QByteArray path = device_path_.toLocal8Bit();
    std::unique_ptr<sc_device, void (*)(sc_handle)> device(sc_open(path.constData()), sc_close);
    if (!device) return -1;
    // The whole file must lie on the device, or the copy could only be partial.
    if (item.offset > sc_length(device.get()) || item.size > sc_length(device.get()) - item.offset)
        return -1;
    if (sc_seek(device.get(), item.offset, 0) < 0) return -1;
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return -1;
    constexpr int32_t piece = 1 << 20;
    std::vector<char> buffer(piece, 0);
    uint64_t remaining = item.size;
    bool ok = true;
    while (remaining > 0 && ok) {
        int32_t want = int32_t(std::min<uint64_t>(remaining, uint64_t(piece)));
        int32_t got = sc_read(device.get(), buffer.data(), want);
        if (got <= 0) {
            ok = false;
            break;
        }
        qint64 n = qint64(std::min<uint64_t>(remaining, uint64_t(got)));
        ok = out.write(buffer.data(), n) == n;
        remaining -= uint64_t(n);
    }
    ok = out.flush() && ok;
    // The capture time becomes the copy's modified time.
    if (ok && id < facts_.size() && facts_[id].taken != 0)
        out.setFileTime(QDateTime::fromSecsSinceEpoch(facts_[id].taken, Qt::UTC),
                        QFileDevice::FileModificationTime);
    out.close();
    if (!ok || out.error() != QFileDevice::NoError) {
        out.remove();
        return -1;
    }
    return 0;
}

int raw_recovery_c::write_result_file(const QByteArray& path) {
    result_published();
    return qv::write_scan_result(path.toStdString(), device_path_.toLocal8Bit().toStdString(), records_);
}

QString raw_recovery_c::read_result_file(const QByteArray& path) {
    auto header = qv::read_scan_result_path(path.toStdString());
    if (!header) return {};
    device_path_ = QString::fromLocal8Bit(header->data(), qsizetype(header->size()));
    std::unique_ptr<sc_device, void (*)(sc_handle)> device(sc_open(header->c_str()), sc_close);
    if (!device) return {};
    auto result = qv::read_scan_result(path.toStdString(), sc_length(device.get()));
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
