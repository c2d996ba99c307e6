#include "ui/raw_recovery.hpp"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <memory>

#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "devices/masked_device.hpp"
#include "engine/content_names.hpp"
#include "engine/debug_log.hpp"
#include "sigscan/config.hpp"

raw_recovery_c::raw_recovery_c(QObject* parent) : token_engine(parent) {}

void raw_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
    device_path_ = volume.volume_name;
    if (device_path_.endsWith(QLatin1Char('\\'))) device_path_.chop(1);
}

std::optional<qv::deep_checkpoint> raw_recovery_c::unfinished_scan() const {
    if (checkpoint_path_.empty()) return std::nullopt;
    auto checkpoint = qv::read_deep_checkpoint(checkpoint_path_);
    if (!checkpoint) return std::nullopt;
    const std::string path = device_path_.toLocal8Bit().toStdString();
    auto device = qv::device_catalog::shared().open(path, qv::access_mode::read_only);
    if (!device || !checkpoint->belongs_to(path, device->length(), core_.every_byte(), free_space_scan(*device)))
        return std::nullopt;
    return checkpoint;
}

bool raw_recovery_c::free_space_scan(qv::device_handle& device) const {
    return free_space_ && qv::free_space_readable(device, file_system_);
}

raw_recovery_c::~raw_recovery_c() {
    if (isRunning()) {
        set_stop(qv::stop_reason::page_left);
        wait();
    }
}

void raw_recovery_c::reset() {
    result_published();
    token_.clear();
    type_index_.clear();
    records_.clear();
    joins_.clear();
    facts_.clear();
    content_names_.clear();
    drop_found_items();
}

void raw_recovery_c::run() {
    reset();
    auto device = qv::device_catalog::shared().open(device_path_.toLocal8Bit().toStdString(),
                                                    qv::access_mode::read_only);
    bad_.clear();
    vanished_ = false;
    carried_unreadable_ = 0;
    checkpoints_written_ = 0;
    last_free_space_.reset();
    if (device) {
        qv::scan_hooks hooks;
        hooks.token = &token_;
        hooks.file_types = qv::sig::current_config();  // as the recovery page loaded them
        qv::deep_scan_extras extras;
        extras.bad = &bad_;
        std::unique_ptr<qv::masked_device> masked;
        if (free_space_) {
            last_free_space_ = read_mask(*device);
            if (last_free_space_->known)
                masked = std::make_unique<qv::masked_device>(*device, last_free_space_->masked);
        }
        const bool free_space_scan = masked != nullptr;
        const std::string path = device_path_.toLocal8Bit().toStdString();
        if (resume_ && resume_->belongs_to(path, device->length(), core_.every_byte(), free_space_scan)) {
            extras.start = {resume_->position, resume_->search_from, resume_->reported_end};
            extras.records = resume_->records;
            extras.joins = resume_->joins;
            // The sectors before the checkpoint are not read again: carry their count.
            carried_unreadable_ = resume_->unreadable_bytes;
        }
        qv::deep_checkpointer checkpoints(checkpoint_path_, path, device->length(), core_.every_byte(),
                                          checkpoint_interval_, carried_unreadable_, &bad_);
        checkpoints.set_free_space(free_space_scan);
        extras.at_block = [&](const qv::sig::scan_place& place, const std::vector<raw_item_s>& records,
                              const qv::record_joins& joins) {
            checkpoints.at_block(place, records, joins);
        };
        qv::deep_scan_result result = core_.scan(masked ? *masked : *device, hooks, &extras);
        checkpoints.finish(result.finished, result.records, result.joins);
        checkpoints_written_ = checkpoints.written();
        vanished_ = result.vanished;
        records_ = std::move(result.records);
        joins_ = std::move(result.joins);
        type_index_ = std::move(result.type_index);
        facts_ = std::move(result.facts);
    }
    resume_.reset();
    facts_.resize(records_.size());
    if (device) name_records(*device);
    publish_result();
}

qv::free_space_mask raw_recovery_c::read_mask(qv::device_handle& device) {
    // The file-system scan counts on a token of its own; a stop asked for
    // meanwhile reaches it through its progress calls.
    qv::scan_token fs_token;
    qv::scan_hooks fs_hooks;
    fs_hooks.token = &fs_token;
    fs_hooks.progress = [&](double, uint64_t, uint64_t) {
        if (token_.stop_requested()) fs_token.request_stop(token_.stop());
    };
    qv::free_space_mask mask = qv::read_free_space_mask(device, file_system_, fs_hooks);
    if (!mask.known)
        qv::debug_printf("free space unknown (%s); the deep scan reads the whole volume\n", mask.unknown_why.c_str());
    else
        qv::debug_printf("deep scan of free space: %llu bytes in use by the %s file system and %llu bytes of the %zu "
                     "files it lists are left out\n",
                     (unsigned long long)mask.in_use_bytes, mask.scanner.c_str(), (unsigned long long)mask.found_bytes,
                     mask.found_items);
    return mask;
}

void raw_recovery_c::name_records(qv::device_handle& device) {
    if (!name_from_content_) return;
    std::vector<qv::found_item> items = qv::deep_found_items(records_, type_index_, facts_, joins_);
    // A user's stop keeps the partial result, which is named too; leaving the page drops it.
    qv::name_carved_from_content(device, items, [this] { return token_.stop() == qv::stop_reason::page_left; });
    content_names_.assign(records_.size(), {});
    for (const qv::found_item& item : items)
        if (item.id < content_names_.size() && item.name != qv::carved_name(records_[item.id]))
            content_names_[item.id] = item.name;
}

std::vector<qv::found_item> raw_recovery_c::make_found_items() {
    std::vector<qv::found_item> items = qv::deep_found_items(records_, type_index_, facts_, joins_);
    for (qv::found_item& item : items)
        if (item.id < content_names_.size() && !content_names_[item.id].empty()) item.name = content_names_[item.id];
    return items;
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
}

int32_t raw_recovery_c::recover_file(uint64_t id, QString destination) {
    result_published();
    last_unreadable_ = 0;
    if (id >= records_.size()) return -1;
    const raw_item_s item = records_[id];
    auto device = qv::device_catalog::shared().open(device_path_.toLocal8Bit().toStdString(),
                                                    qv::access_mode::read_only);
    if (!device) return -1;
    int64_t taken = id < facts_.size() ? facts_[id].taken : 0;
    uint64_t unreadable = 0;
    // A file put together from two pieces is written the first, then the second.
    int result = qv::deep_core::recover(*device, qv::record_pieces(item, joins_),
                                        QFile::encodeName(destination).toStdString(), taken, &unreadable);
    last_unreadable_ = unreadable;
    if (unreadable)
        unreadable_in_[id] = unreadable;
    else
        unreadable_in_.erase(id);
    return result;
}

int raw_recovery_c::write_result_file(const QByteArray& path, bool allow_empty) {
    result_published();
    return qv::write_scan_result(path.toStdString(), device_path_.toLocal8Bit().toStdString(), records_,
                                 allow_empty, joins_);
}

QString raw_recovery_c::read_result_file(const QByteArray& path, bool allow_empty) {
    auto header = qv::read_scan_result_path(path.toStdString());
    if (!header) return {};
    device_path_ = QString::fromLocal8Bit(header->data(), qsizetype(header->size()));
    auto device = qv::device_catalog::shared().open(*header, qv::access_mode::read_only);
    if (!device) return {};
    auto result = qv::read_scan_result(path.toStdString(), device->length(), nullptr, allow_empty);
    if (!result || result->device_path != *header) return {};
    records_ = std::move(result->records);
    joins_ = std::move(result->joins);
    type_index_ = qv::type_index_of(records_);
    // Capture times and checks are not kept in the file: read them again.
    facts_ = qv::deep_core::examine(*device, records_, &token_);
    content_names_.clear();
    name_records(*device);
    drop_found_items();
    return device_path_;
}

recovery_item_s raw_recovery_c::row(const raw_item_s& item, uint64_t id, int64_t taken) {
    recovery_item_s r;
    r.name = QString::fromStdString(qv::carved_name(item));
    r.size = item.size;
    r.date1 = taken;
    r.id = id;
    return r;
}
