#include "sigscan/read_ahead.hpp"

#include <sched.h>

#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace qv::sig {

namespace {

// Before a thread sleeps on the other, it watches for this long: putting a
// thread to sleep and waking it costs tens of microseconds (more under a
// hypervisor), and on a fast source the other thread is about as long with
// its block, a few hundred, so most hand-overs happen while watching.
constexpr auto spin_budget = std::chrono::microseconds(100);

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// True once flag is set, false when the budget ran out first. On one
// processor the thread watched for could not run meanwhile: no watching there.
bool spin_for(const std::atomic<bool>& flag, bool watch) {
    if (!watch) return flag.load(std::memory_order_acquire);
    const auto until = std::chrono::steady_clock::now() + spin_budget;
    do {
        for (int i = 0; i < 64; ++i) {
            if (flag.load(std::memory_order_acquire)) return true;
            cpu_relax();
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

}  // namespace

bool several_processors() {
#if defined(__linux__)
    cpu_set_t allowed;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) > 1;
#endif
    return std::thread::hardware_concurrency() > 1;
}

read_ahead::read_ahead(device_handle& device, bad_ranges* bad, piece_fn on_piece)
    : device_(device), bad_(bad), on_piece_(std::move(on_piece)), watch_(several_processors()) {}

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
        done_ = false;
        asked_ = true;
    }
    in_flight_ = true;
    wake_.notify_all();
}

std::optional<read_ahead::result> read_ahead::finish() {
    if (!in_flight_) return std::nullopt;
    spin_for(done_, watch_);
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return done_.load(); });
    in_flight_ = false;
    ++finished_;
    return result_;
}

void read_ahead::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!asked_ && !quit_) {
            lock.unlock();
            spin_for(asked_, watch_);
            lock.lock();
        }
        wake_.wait(lock, [this] { return asked_.load() || quit_; });
        if (asked_) {
            asked_ = false;
            const uint64_t offset = offset_;
            uint8_t* out = out_;
            const size_t n = length_;
            lock.unlock();
            size_t got = 0;
            const bool vanished = read_tolerant(device_, offset, out, n, &got, bad_) == read_outcome::vanished;
            if (on_piece_) on_piece_(reads_, offset, out, vanished ? 0 : got);
            ++reads_;
            lock.lock();
            result_ = {offset, got, vanished};
            done_ = true;
            wake_.notify_all();
        }
        if (quit_) return;
    }
}

}  // namespace qv::sig
