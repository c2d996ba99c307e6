#pragma once
// One read at a time on a thread of its own: the carver's next piece of the
// volume comes in from the device while the piece before it is searched.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "devices/device_handle.hpp"
#include "devices/tolerant_read.hpp"

namespace qv::sig {

// True when this thread may run on more than one processor: those it is
// allowed, not those the machine has (a process held to one has one).
bool several_processors();

class read_ahead {
public:
    struct result {
        uint64_t offset = 0;
        size_t got = 0;         // bytes read; fewer than asked only at the device's end
        bool vanished = false;  // the device went away
    };

    // Called on the reading thread after each read, with the read's number
    // (0, 1, ...) and what it read (nothing when the device went away): work
    // on the bytes while that processor still holds them in its cache. The
    // read counts as finished once the call returns.
    using piece_fn = std::function<void(uint64_t number, uint64_t offset, const uint8_t* data, size_t size)>;

    // Unreadable sectors read as zeros and go to bad (may be null), as in read_tolerant.
    read_ahead(device_handle& device, bad_ranges* bad, piece_fn on_piece = {});
    ~read_ahead();  // waits for a read in flight
    read_ahead(const read_ahead&) = delete;
    read_ahead& operator=(const read_ahead&) = delete;

    // Starts reading n bytes at offset into out, which the caller leaves alone
    // until finish(). At most one read is in flight: a new one waits for finish().
    void start(uint64_t offset, uint8_t* out, size_t n);
    bool in_flight() const { return in_flight_; }
    // Waits for the read started last and says what it read; empty when none is in flight.
    std::optional<result> finish();
    // Reads finished so far: those numbered below it are done with; the one
    // numbered by it may be in flight.
    uint64_t finished() const { return finished_; }

private:
    void run();

    device_handle& device_;
    bad_ranges* bad_;
    piece_fn on_piece_;
    uint64_t reads_ = 0;  // the reading thread's own: reads done so far
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    // Written under mutex_: the read asked for, whether it is done, and whether the thread is to end.
    uint64_t offset_ = 0;
    uint8_t* out_ = nullptr;
    size_t length_ = 0;
    // asked_ and done_ are also read without the lock, by a thread watching
    // for them before it sleeps.
    std::atomic<bool> asked_{false}, done_{false};
    bool quit_ = false;
    const bool watch_;  // each thread watches for the other's hand-over (several processors)
    result result_;
    bool in_flight_ = false;  // the caller's side: started and not yet finished
    uint64_t finished_ = 0;   // the caller's side too
};

}  // namespace qv::sig
