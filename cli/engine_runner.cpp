#include "cli/engine_runner.hpp"

#include <csignal>
#include <string>

#include "cli/terminal_progress.hpp"
#include "devices/format_size.hpp"
#include "engine/fat_recovery.hpp"
#ifdef QUORVANE_HAVE_NTFS
#include "engine/ntfs_recovery.hpp"
#endif
#ifdef QUORVANE_HAVE_DEEP
#include "engine/raw_recovery.hpp"
#endif

namespace {

volatile std::sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

}  // namespace

std::unique_ptr<recovery_base_c> make_engine(const std::string& kind, bool every_byte) {
    if (kind == "fat") return std::make_unique<fat_recovery_c>();
#ifdef QUORVANE_HAVE_NTFS
    if (kind == "ntfs") return std::make_unique<ntfs_recovery_c>();
#endif
#ifdef QUORVANE_HAVE_DEEP
    if (kind == "deep") {
        auto raw = std::make_unique<raw_recovery_c>();
        raw->set_every_byte(every_byte);
        return raw;
    }
#endif
    (void)every_byte;
    return nullptr;
}

bool run_scan(recovery_base_c& engine, const volume_item_s& volume, bool deep) {
    interrupted = 0;
    auto previous = std::signal(SIGINT, on_interrupt);
    engine.reset();
    engine.set_volume(volume);
    engine.start(QThread::InheritPriority);
    terminal_progress bar;
    bool stopped = false;
    while (!engine.wait(200)) {
        if (interrupted && !stopped) {
            engine.set_stop(3);
            stopped = true;
        }
        std::string status;
        if (deep)
            status = "scanned " + format_size(uint64_t(engine.progress() * double(volume.total_bytes))).toStdString();
        else
            status = "entries " + std::to_string(engine.entries_read());
        if (engine.items_found() > 0) status += ", found " + std::to_string(engine.items_found());
#ifdef QUORVANE_HAVE_DEEP
        if (auto* raw = qobject_cast<raw_recovery_c*>(&engine); raw && raw->unreadable_bytes() > 0)
            status += ", unreadable " + format_size(raw->unreadable_bytes()).toStdString();
#endif
        bar.update(engine.progress(), status);
    }
    bar.clear();
    std::signal(SIGINT, previous);
    engine.set_progress(1.0);
    return !stopped;
}
