#include "sigscan/found_file_facts.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace qv::sig {

namespace {

file_facts examine_one(device_handle& device, const found_span& f) {
    file_facts facts;
    if (has_capture_time(f.type)) facts.taken = capture_time(device, f.offset, f.size, f.type);
    if (has_content_check(f.type)) facts.state = check_content(device, f.offset, f.size, f.type);
    return facts;
}

// The checks of a scan still reading yield to it: on a fast source the listing
// goes on at read speed, on a slow one they use the time the scan waits.
void yield_to_the_scan() {
    constexpr int lowest = 19;
    ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), lowest);
}

}  // namespace

unsigned examiner_threads() { return std::max(1u, std::min(4u, std::thread::hardware_concurrency())); }

std::vector<file_facts> examine_found_files(device_handle& device, const std::vector<found_span>& files,
                                            unsigned threads, const std::function<bool()>& stop_requested) {
    std::vector<file_facts> facts(files.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < files.size();) {
            if (stop_requested && stop_requested()) return;
            facts[i] = examine_one(device, files[i]);
        }
    };
    threads = std::clamp<unsigned>(threads, 1, 16);
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && t < files.size(); ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    return facts;
}

struct found_file_examiner::shared {
    device_handle& device;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<size_t> queue;          // indexes into files, waiting
    std::deque<found_span> files;      // every file added; deque: stable while others are added
    std::vector<file_facts> facts;
    bool closed = false, cancelled = false;
    std::vector<std::thread> workers;

    explicit shared(device_handle& d) : device(d) {}

    void work() {
        std::unique_lock<std::mutex> hold(lock);
        while (true) {
            wake.wait(hold, [&] { return closed || cancelled || !queue.empty(); });
            if (cancelled || queue.empty()) return;
            const size_t i = queue.front();
            queue.pop_front();
            const found_span& f = files[i];
            hold.unlock();
            file_facts result = examine_one(device, f);
            hold.lock();
            facts[i] = result;
        }
    }
};

found_file_examiner::found_file_examiner(device_handle& device, unsigned threads)
    : shared_(std::make_unique<shared>(device)) {
    threads = std::clamp<unsigned>(threads, 1, 16);
    for (unsigned t = 0; t < threads; ++t)
        shared_->workers.emplace_back([s = shared_.get()] {
            yield_to_the_scan();
            s->work();
        });
}

found_file_examiner::~found_file_examiner() { finish(); }

void found_file_examiner::add(const found_span& file) {
    if (!has_capture_time(file.type) && !has_content_check(file.type)) {
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->files.push_back({});
        shared_->facts.emplace_back();
        return;
    }
    {
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->files.push_back(file);
        shared_->facts.emplace_back();
        shared_->queue.push_back(shared_->files.size() - 1);
    }
    shared_->wake.notify_one();
}

void found_file_examiner::cancel() {
    {
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->cancelled = true;
    }
    shared_->wake.notify_all();
}

std::vector<file_facts> found_file_examiner::finish() {
    {
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->closed = true;
    }
    shared_->wake.notify_all();
    // The scan is over: what is left is checked here too, at the caller's priority.
    shared_->work();
    for (auto& t : shared_->workers)
        if (t.joinable()) t.join();
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->facts;
}

}  // namespace qv::sig
