#include "ui/scan_control.hpp"

#include <QFile>
#include <QThread>

#include "app/language_settings.hpp"
#include "engine/exfat_recovery.hpp"
#include "engine/fat_recovery.hpp"
#include "engine/ntfs_recovery.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/raw_recovery.hpp"
#include "engine/recovery_base.hpp"
#include "engine/scan_result_file.hpp"

scan_control_c::scan_control_c(QObject* parent)
    : QObject(parent),
      fat_(std::make_unique<fat_recovery_c>()),
      ntfs_(std::make_unique<ntfs_recovery_c>()),
      exfat_(std::make_unique<exfat_recovery_c>()),
      raw_(std::make_unique<raw_recovery_c>()),
      stand_in_(std::make_unique<recovery_stop_c>()) {
    current_ = stand_in_.get();
    for (recovery_base_c* engine : {engine_of_kind(engine_kind_fat), engine_of_kind(engine_kind_ntfs),
                                    engine_of_kind(engine_kind_exfat), engine_of_kind(engine_kind_deep)})
        connect(engine, &QThread::finished, this, &scan_control_c::on_engine_finished);
}

scan_control_c::~scan_control_c() {
    for (recovery_base_c* engine : {engine_of_kind(engine_kind_fat), engine_of_kind(engine_kind_ntfs),
                                    engine_of_kind(engine_kind_exfat), engine_of_kind(engine_kind_deep)}) {
        disconnect(engine, nullptr, this, nullptr);
        if (engine->isRunning()) {
            engine->set_stop(qv::stop_reason::page_left);
            engine->wait();
        }
    }
}

bool scan_control_c::has_engine(int kind) {
    return kind == engine_kind_fat || kind == engine_kind_ntfs || kind == engine_kind_exfat ||
           kind == engine_kind_deep;
}

recovery_base_c* scan_control_c::engine_of_kind(int kind) const {
    switch (kind) {
        case engine_kind_fat:
            return fat_.get();
        case engine_kind_ntfs:
            return ntfs_.get();
        case engine_kind_exfat:
            return exfat_.get();
        case engine_kind_deep:
            return raw_.get();
        default:
            return nullptr;
    }
}

void scan_control_c::set_target(const volume_item_s& volume, bool deep) {
    volume_ = volume;
    deep_ = deep;
}

int scan_control_c::choose_kind() const {
    int kind = qv::choose_engine(volume_.file_system.toStdString(), deep_);
    return engine_of_kind(kind) ? kind : -1;
}

namespace {

// The deep-scan checkpoint of a volume, in the user's data folder.
std::string checkpoint_of(const volume_item_s& volume) {
    QString device = volume.volume_name;
    if (device.endsWith(QLatin1Char('\\'))) device.chop(1);
    return qv::deep_checkpoint_path({}, device.toLocal8Bit().toStdString());
}

}  // namespace

std::optional<double> scan_control_c::unfinished_deep_scan() {
    if (raw_->isRunning()) return std::nullopt;
    raw_->set_volume(volume_);
    raw_->set_checkpoint(checkpoint_of(volume_));
    auto checkpoint = raw_->unfinished_scan();
    if (!checkpoint || checkpoint->device_length == 0) return std::nullopt;
    return double(checkpoint->position) / double(checkpoint->device_length);
}

void scan_control_c::start(int kind, bool resume) {
    recovery_base_c* engine = engine_of_kind(kind);
    if (!engine) return;
    engine->reset();
    current_ = engine;
    kind_ = kind;
    engine->set_volume(volume_);
    if (kind == engine_kind_deep) {
        raw_->set_checkpoint(checkpoint_of(volume_));
        if (resume)
            if (auto checkpoint = raw_->unfinished_scan()) raw_->resume_from(*checkpoint);
    }
    // NTFS files whose folder is gone are shown under a folder in the user's language.
    if (kind == engine_kind_ntfs && !language_text("lost_files").isEmpty())
        ntfs_->set_lost_files_name(language_text("lost_files"));
    engine->start(QThread::InheritPriority);
}

void scan_control_c::switch_to_deep() {
    current_->reset();
    current_ = raw_.get();
    kind_ = engine_kind_deep;
    deep_ = true;
}

void scan_control_c::reset_current() { current_->reset(); }

bool scan_control_c::running() const { return current_->isRunning(); }

void scan_control_c::stop(qv::stop_reason why) { current_->set_stop(why); }

bool scan_control_c::toggle_pause() {
    bool pause = current_->is_paused() == 0;
    current_->set_paused(pause ? 1 : 0);
    return pause;
}

bool scan_control_c::save_result(const QString& path) {
    if (kind_ != engine_kind_deep || raw_->isRunning()) return false;
    return raw_->write_result_file(QFile::encodeName(path)) == 0;
}

bool scan_control_c::load_result(const QString& path) {
    QString device = raw_->read_result_file(QFile::encodeName(path));
    if (device.isEmpty()) return false;
    int index = qv::find_result_volume(volume_items, device);
    if (index < 0 || index >= volume_items.size()) return false;
    volume_ = volume_items[index];
    kind_ = engine_kind_deep;
    current_ = raw_.get();
    deep_ = true;
    raw_->set_volume(volume_);
    return true;
}

void scan_control_c::on_engine_finished() {
    // Only the current engine's end counts (another engine cannot be running).
    if (sender() && sender() != current_) return;
    emit scan_finished();
}
