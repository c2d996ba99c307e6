#pragma once
// What a scan core is handed besides its device: a stop and pause token that
// other threads steer, and callbacks for progress and for each item found.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/found_item.hpp"

namespace qv::sig {
struct signature_config;
}

namespace qv {

// Why a scan ends early. The values are those the window has always used.
enum class stop_reason : int32_t {
    running = 0,       // no stop asked for
    page_left = 2,     // the page was left: the result is dropped
    user_stopped = 3,  // the user pressed stop: the partial result is shown
};

// Stop, pause and counters of one scan; every member may be used from any thread.
class scan_token {
public:
    void request_stop(stop_reason why) { stop_.store(int32_t(why), std::memory_order_relaxed); }
    stop_reason stop() const { return stop_reason(stop_.load(std::memory_order_relaxed)); }
    bool stop_requested() const { return stop_.load(std::memory_order_relaxed) != 0; }
    void set_paused(bool on) { paused_.store(on, std::memory_order_relaxed); }
    bool paused() const { return paused_.load(std::memory_order_relaxed); }

    // Sleeps in short steps while paused. False when a stop was asked for
    // (before, during or after the pause): the scan then ends.
    bool wait_while_paused() const {
        while (paused()) {
            if (stop_requested()) return false;
            std::this_thread::sleep_for(pause_step);
        }
        return !stop_requested();
    }

    // Back to a fresh scan: running, not paused, counters at 0.
    void clear() {
        stop_ = 0;
        paused_ = false;
        progress = 0.0;
        entries = 0;
        items = 0;
    }

    std::atomic<double> progress{0.0};  // fraction done, 0.0 to 1.0
    std::atomic<uint64_t> entries{0};   // directory entries, records or blocks examined
    std::atomic<uint64_t> items{0};     // items filed under new ids

    static constexpr std::chrono::milliseconds pause_step{20};

private:
    std::atomic<int32_t> stop_{0};
    std::atomic<bool> paused_{false};
};

struct scan_hooks {
    // May be null: the scan then never pauses or stops early, and counts nowhere.
    scan_token* token = nullptr;
    // Called now and then from the scanning thread with the token's figures.
    std::function<void(double fraction, uint64_t entries, uint64_t items)> progress;
    // Called from the scanning thread for each item filed under a new id, as first seen.
    std::function<void(const found_item&)> found;
    // UTF-8 name of the folder that collects files whose own folder is gone, in the
    // user's language; empty: "Lost files".
    std::string lost_files_name;
    // The carver's file types, as the program loaded them (Quorvane.conf);
    // null: the built-in ones. File-system scanners ignore it.
    std::shared_ptr<const sig::signature_config> file_types;

    bool keep_going() const { return !token || token->wait_while_paused(); }
};

}  // namespace qv
