#include "sigscan/read_ahead.hpp"

namespace qv::sig {

read_ahead::read_ahead(device_handle& device, bad_ranges* bad) : device_(device), bad_(bad) {}

read_ahead::~read_ahead() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();  // a read in flight ends first: the thread looks at quit_ between reads
}

void read_ahead::start(uint64_t offset, uint8_t* out, size_t n) {
    if (in_flight_) finish();
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    {
        std::lock_guard lock(mutex_);
        offset_ = offset;
        out_ = out;
        length_ = n;
        asked_ = true;
        done_ = false;
    }
    in_flight_ = true;
    wake_.notify_all();
}

std::optional<read_ahead::result> read_ahead::finish() {
    if (!in_flight_) return std::nullopt;
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return done_; });
    in_flight_ = false;
    return result_;
}

void read_ahead::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return asked_ || quit_; });
        if (asked_) {
            asked_ = false;
            const uint64_t offset = offset_;
            uint8_t* out = out_;
            const size_t n = length_;
            lock.unlock();
            size_t got = 0;
            const bool vanished = read_tolerant(device_, offset, out, n, &got, bad_) == read_outcome::vanished;
            lock.lock();
            result_ = {offset, got, vanished};
            done_ = true;
            wake_.notify_all();
        }
        if (quit_) return;
    }
}

}  // namespace qv::sig
