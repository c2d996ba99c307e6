#include "devices/read_problems.hpp"

namespace qv {

void read_problems::note(uint64_t bytes, std::string place) {
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    if (places_.size() < max_places) places_.push_back(std::move(place));
}

std::vector<std::string> read_problems::places() const {
    std::lock_guard lock(mutex_);
    return places_;
}

void read_problems::clear() {
    bytes_ = 0;
    count_ = 0;
    vanished_ = false;
    std::lock_guard lock(mutex_);
    places_.clear();
}

}  // namespace qv
