#include "sigscan/found_file_facts.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

namespace qv::sig {

std::vector<file_facts> examine_found_files(device_handle& device, const std::vector<found_span>& files,
                                            unsigned threads, const std::function<bool()>& stop_requested) {
    std::vector<file_facts> facts(files.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < files.size();) {
            if (stop_requested && stop_requested()) return;
            const found_span& f = files[i];
            if (has_capture_time(f.type)) facts[i].taken = capture_time(device, f.offset, f.size, f.type);
            if (has_content_check(f.type)) facts[i].state = check_content(device, f.offset, f.size, f.type);
        }
    };
    threads = std::clamp<unsigned>(threads, 1, 16);
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && t < files.size(); ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    return facts;
}

}  // namespace qv::sig
