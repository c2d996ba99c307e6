#pragma once
// The interface every scan engine's thread adapter implements for the window,
// and the do-nothing engine that stands in before any scan. The scanning
// itself is done by the thread-free cores (fat_core, ntfs_core, deep_core).

#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "devices/volume_items.hpp"
#include "engine/found_item.hpp"
#include "engine/recovery_status.hpp"
#include "engine/scan_hooks.hpp"

namespace qv {
class item_index;
}

class recovery_base_c : public QThread {
    Q_OBJECT
public:
    explicit recovery_base_c(QObject* parent = nullptr);
    ~recovery_base_c() override;

    // Stores a private copy of the volume to scan.
    virtual void set_volume(const volume_item_s& volume) = 0;
    // Fraction of the scan done, 0.0 to 1.0. Callable from any thread.
    virtual double progress() = 0;
    virtual void set_progress(double value) = 0;
    // running goes on; any other reason ends the scan at its next check
    // (user_stopped: the partial result is shown; page_left: it is dropped).
    virtual void set_stop(qv::stop_reason why) = 0;
    virtual qv::stop_reason stop_state() { return qv::stop_reason::running; }
    virtual int32_t is_paused() = 0;
    virtual void set_paused(int32_t value) = 0;
    // Directory entries (or records) examined so far.
    virtual uint64_t entries_read() = 0;
    // Clears progress, pause, stop, both counters and all results.
    virtual void reset() = 0;
    // Writes one found item's content to destination: 0 success, -1 failure.
    // Called only while the engine's thread is idle.
    virtual int32_t recover_file(uint64_t id, QString destination) = 0;
    // Writes the item's full path on the scanned volume into out: 0 success,
    // -1 when the item or an ancestor is missing.
    virtual int32_t build_item_path(uint64_t id, QString* out) {
        Q_UNUSED(id);
        Q_UNUSED(out);
        return 0;
    }
    // Result items filed so far under new ids.
    virtual uint64_t items_found() { return 0; }
    // Bytes the current or last scan could not read (skipped, or read as zeros); any thread.
    virtual uint64_t unreadable_bytes() const { return 0; }
    // True when the last scan ended because the device went away.
    virtual bool device_vanished() const { return false; }
    // Bytes of the file the last recover_file wrote as zeros because they could not be read.
    virtual uint64_t last_unreadable_bytes() const { return 0; }
    // Writes one found item's content to destination, live or deleted, through
    // the engine's own reader, and says how it went. Called only while the
    // engine's thread is idle. Engines over a scanner give its status; the
    // others' recover_file results become one here.
    virtual qv::recovery_status recover(uint64_t id, const QString& destination);

    // The finished scan's result as found items, made on first use after each
    // scan. Read only while the engine's thread is idle.
    const std::vector<qv::found_item>& found_items();

protected:
    // The end of a scan publishes its result with a release store; readers on
    // other threads load it with acquire before they look. QThread::wait orders
    // this already, but through locks that thread checkers cannot see.
    void publish_result() { result_generation_.fetch_add(1, std::memory_order_release); }
    void result_published() const { (void)result_generation_.load(std::memory_order_acquire); }

    // The engine's own result as found items (called by found_items()).
    virtual std::vector<qv::found_item> make_found_items() { return {}; }
    // Forgets the found items made from an earlier result.
    void drop_found_items();
    // The found item with this id (making the found items first); null when there is none.
    const qv::found_item* find_found_item(uint64_t id);
    // mount_path, then "/" and each name from the topmost folder below the
    // root down to the item: 0; -1 (out holds mount_path) when an item of the
    // chain is missing or the parents loop.
    int32_t path_from_found_items(uint64_t id, const QString& mount_path, QString* out);

private:
    std::atomic<uint32_t> result_generation_{0};
    std::mutex found_mutex_;
    bool found_made_ = false;
    std::vector<qv::found_item> found_;
    std::unique_ptr<qv::item_index> found_index_;
};

namespace qv::ui {

// An engine whose progress, pause, stop and entry count are those of one scan
// token that its scan reads: what the window asks of it, answered once for all.
class token_engine : public recovery_base_c {
public:
    using recovery_base_c::recovery_base_c;
    double progress() override { return token_.progress; }
    void set_progress(double value) override { token_.progress = value; }
    void set_stop(qv::stop_reason why) override { token_.request_stop(why); }
    qv::stop_reason stop_state() override { return token_.stop(); }
    int32_t is_paused() override { return token_.paused() ? 1 : 0; }
    void set_paused(int32_t value) override { token_.set_paused(value != 0); }
    uint64_t entries_read() override { return token_.entries; }

protected:
    qv::scan_token token_;
};

}  // namespace qv::ui

// Stands in for an engine when no scan has been started: every call is harmless.
class recovery_stop_c : public recovery_base_c {
    Q_OBJECT
public:
    explicit recovery_stop_c(QObject* parent = nullptr) : recovery_base_c(parent) {}
    void set_volume(const volume_item_s&) override {}
    double progress() override { return 0.0; }
    void set_progress(double) override {}
    void set_stop(qv::stop_reason) override {}
    // It never scans, so it always reads as stopped.
    qv::stop_reason stop_state() override { return qv::stop_reason::user_stopped; }
    int32_t is_paused() override { return 0; }
    void set_paused(int32_t) override {}
    uint64_t entries_read() override { return 0; }
    void reset() override {}
    int32_t recover_file(uint64_t, QString) override { return 0; }
};
