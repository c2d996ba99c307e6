#pragma once
// What a file-system walk could not read: the bytes it skipped, a line naming
// each place (for the log), and whether the device went away on the way.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qv {

class read_problems {
public:
    // Places kept by name; past this only the bytes are counted.
    static constexpr size_t max_places = 200;

    // bytes at `place` could not be read and were skipped (or read as zeros).
    void note(uint64_t bytes, std::string place);
    void note_vanished() { vanished_.store(true, std::memory_order_relaxed); }

    // Any thread, while the walk goes on.
    uint64_t unreadable_bytes() const { return bytes_.load(std::memory_order_relaxed); }
    bool vanished() const { return vanished_.load(std::memory_order_relaxed); }
    // Places noted so far, first ones first (at most max_places), and how many were noted in all.
    std::vector<std::string> places() const;
    uint64_t place_count() const { return count_.load(std::memory_order_relaxed); }
    void clear();

private:
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> count_{0};
    std::atomic<bool> vanished_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> places_;
};

}  // namespace qv
