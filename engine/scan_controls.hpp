#pragma once
// Progress, pause, stop and counters of one engine, safe to read and write
// from the interface thread while the engine's thread runs.

#include <QThread>

#include <atomic>
#include <cstdint>

struct scan_controls {
    std::atomic<double> progress{0.0};
    std::atomic<int32_t> paused{0};
    std::atomic<int32_t> stop{0};
    std::atomic<uint64_t> entries{0};
    std::atomic<uint64_t> items{0};

    void clear() {
        progress = 0.0;
        paused = 0;
        stop = 0;
        entries = 0;
        items = 0;
    }
    // Sleeps in 100 ms steps while paused. False when a stop was requested
    // (before, during or after the pause): the caller then ends its walk.
    bool wait_while_paused() {
        while (paused.load(std::memory_order_relaxed)) {
            if (stop.load(std::memory_order_relaxed)) return false;
            QThread::msleep(100);
        }
        return stop.load(std::memory_order_relaxed) == 0;
    }
};
