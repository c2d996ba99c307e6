#include "ui/scan_control.hpp"

#include <QFile>
#include <QThread>

#include "app/language_settings.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/scan_result_file.hpp"
#include "ui/exfat_recovery.hpp"
#include "ui/fat_recovery.hpp"
#include "ui/ntfs_recovery.hpp"
#include "ui/raw_recovery.hpp"
#include "ui/recovery_base.hpp"
#include "ui/scanner_thread.hpp"

namespace qv::ui {

scan_control_c::scan_control_c(QObject* parent)
    : QObject(parent),
      fat_(std::make_unique<fat_recovery_c>()),
      ntfs_(std::make_unique<ntfs_recovery_c>()),
      exfat_(std::make_unique<exfat_recovery_c>()),
      raw_(std::make_unique<raw_recovery_c>()),
      stand_in_(std::make_unique<recovery_stop_c>()) {
    current_ = stand_in_.get();
    for (recovery_base_c* engine : all_engines())
        connect(engine, &QThread::finished, this, &scan_control_c::on_engine_finished);
}

scan_control_c::~scan_control_c() {
    for (recovery_base_c* engine : all_engines()) {
        disconnect(engine, nullptr, this, nullptr);
        if (engine->isRunning()) {
            engine->set_stop(qv::stop_reason::page_left);
            engine->wait();
        }
    }
}

bool scan_control_c::has_engine(int kind) { return qv::scanner_of_kind(kind) != nullptr; }

bool scan_control_c::carves(int kind) {
    const qv::scanner_kind* scanner = qv::scanner_of_kind(kind);
    return scanner && scanner->carver;
}

recovery_base_c* scan_control_c::engine_of_kind(int kind) const {
    const qv::scanner_kind* scanner = qv::scanner_of_kind(kind);
    if (!scanner) return nullptr;
    // The window's thread adapter of each registered scanner, by the scanner's name.
    const std::pair<std::string_view, recovery_base_c*> adapters[] = {
        {"fat", fat_.get()}, {"ntfs", ntfs_.get()}, {"exfat", exfat_.get()}, {"deep", raw_.get()}};
    for (const auto& [name, engine] : adapters)
        if (name == scanner->name) return engine;
    auto& other = others_[kind];
    if (!other) {
        other = std::make_unique<scanner_thread_c>(*scanner);
        connect(other.get(), &QThread::finished, const_cast<scan_control_c*>(this), &scan_control_c::on_engine_finished);
    }
    return other.get();
}

std::vector<recovery_base_c*> scan_control_c::all_engines() const {
    std::vector<recovery_base_c*> all{fat_.get(), ntfs_.get(), exfat_.get(), raw_.get()};
    for (const auto& [kind, engine] : others_) all.push_back(engine.get());
    return all;
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
    apply_free_space();
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
    if (engine == raw_.get()) {
        raw_->set_name_from_content(name_from_content_setting());
        apply_free_space();
        raw_->set_checkpoint(checkpoint_of(volume_));
        if (resume)
            if (auto checkpoint = raw_->unfinished_scan()) raw_->resume_from(*checkpoint);
    }
    // Files whose folder is gone are shown under a folder in the user's language;
    // the command line keeps "Lost files".
    if (auto* scan = dynamic_cast<scanner_thread_c*>(engine)) scan->set_lost_files_name(language_text("lost_files"));
    engine->start(QThread::InheritPriority);
}

bool scan_control_c::name_from_content_setting() {
    return settings && settings->value("name_from_content", false).toBool();
}

bool scan_control_c::free_space_setting() {
    return !settings || settings->value("deep_scan_free_space", true).toBool();
}

void scan_control_c::apply_free_space() {
    raw_->set_free_space(free_space_setting(), volume_.file_system.toStdString());
}

void scan_control_c::switch_to_deep() {
    current_->reset();
    current_ = raw_.get();
    kind_ = qv::kind_of_scanner(qv::carving_scanner());
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
    if (current_ != raw_.get() || raw_->isRunning()) return false;
    return raw_->write_result_file(QFile::encodeName(path)) == 0;
}

bool scan_control_c::load_result(const QString& path) {
    raw_->set_name_from_content(name_from_content_setting());
    apply_free_space();
    QString device = raw_->read_result_file(QFile::encodeName(path));
    if (device.isEmpty()) return false;
    int index = qv::find_result_volume(volume_items, device);
    if (index < 0 || index >= volume_items.size()) return false;
    volume_ = volume_items[index];
    kind_ = qv::kind_of_scanner(qv::carving_scanner());
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

}  // namespace qv::ui
