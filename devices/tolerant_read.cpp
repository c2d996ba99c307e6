#include "devices/tolerant_read.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "devices/device_handle.hpp"

namespace qv {

void bad_ranges::add(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    uint64_t start = offset, end = offset + length < offset ? ~uint64_t(0) : offset + length;
    std::lock_guard lock(mutex_);
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= start) it = prev;
    }
    // Swallow every range that touches [start, end).
    while (it != ranges_.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        total_ -= it->second - it->first;
        it = ranges_.erase(it);
    }
    ranges_.emplace(start, end);
    total_ += end - start;
}

uint64_t bad_ranges::total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void bad_ranges::clear() {
    std::lock_guard lock(mutex_);
    ranges_.clear();
    total_ = 0;
}

size_t bad_ranges::count() const {
    std::lock_guard lock(mutex_);
    return ranges_.size();
}

uint64_t bad_ranges::overlap(uint64_t offset, uint64_t length) const {
    const uint64_t end = offset + length < offset ? ~uint64_t(0) : offset + length;
    std::lock_guard lock(mutex_);
    uint64_t n = 0;
    auto it = ranges_.upper_bound(offset);
    if (it != ranges_.begin()) --it;
    for (; it != ranges_.end() && it->first < end; ++it) {
        uint64_t a = std::max(offset, it->first), b = std::min(end, it->second);
        if (a < b) n += b - a;
    }
    return n;
}

bool device_gone(int error_number, const device_handle& device) {
    return error_number == ENODEV || error_number == ENXIO || error_number == ENOMEDIUM || !device.medium_present();
}

namespace {

// Reads [offset, offset + len) in pieces of `piece` bytes aligned to the
// device; pieces that fail go down to `next` bytes, or become zeros at the end.
read_outcome read_pieces(device_handle& device, uint64_t offset, uint8_t* out, size_t len, size_t piece,
                         bad_ranges* bad) {
    size_t done = 0;
    while (done < len) {
        const uint64_t at = offset + done;
        size_t n = std::min<uint64_t>(piece - at % piece, len - done);
        errno = 0;
        int64_t got = device.read_at(at, out + done, n);
        if (got == int64_t(n)) {
            done += n;
            continue;
        }
        if (got < 0 && device_gone(errno, device)) return read_outcome::vanished;
        if (piece > tolerant_sector_bytes) {
            size_t smaller = piece > tolerant_piece_bytes ? tolerant_piece_bytes : tolerant_sector_bytes;
            if (read_pieces(device, at, out + done, n, smaller, bad) == read_outcome::vanished)
                return read_outcome::vanished;
        } else {
            std::memset(out + done, 0, n);
            if (bad) bad->add(at, n);
        }
        done += n;
    }
    return read_outcome::whole;
}

}  // namespace

read_outcome read_tolerant(device_handle& device, uint64_t offset, void* buffer, size_t len, size_t* filled,
                           bad_ranges* bad) {
    const uint64_t length = device.length();
    size_t want = offset >= length ? 0 : size_t(std::min<uint64_t>(len, length - offset));
    if (filled) *filled = want;
    if (want == 0) return read_outcome::whole;
    errno = 0;
    int64_t got = device.read_at(offset, buffer, want);
    if (got == int64_t(want)) return read_outcome::whole;
    if (got < 0 && device_gone(errno, device)) return read_outcome::vanished;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t good = got > 0 ? size_t(got) : 0;  // a short read keeps what came
    const size_t first_piece = want - good > tolerant_piece_bytes ? tolerant_piece_bytes : tolerant_sector_bytes;
    return read_pieces(device, offset + good, out + good, want - good, first_piece, bad);
}

}  // namespace qv
