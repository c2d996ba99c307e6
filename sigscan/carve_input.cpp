#include "sigscan/carve_input.hpp"

#include <algorithm>
#include <cstring>

#include "sigscan/sc_api.hpp"

namespace qv::sig {

bool context_gate::keep_going() {
    while (sc_context_paused(context_)) {
        if (sc_context_stop(context_)) return false;
        std::this_thread::sleep_for(pause_step);
    }
    return sc_context_stop(context_) == 0;
}

void context_gate::scanned(double fraction) { sc_context_set_scanned(context_, fraction); }

carve_input::carve_input(device_handle& device, scan_gate* gate, bad_ranges* bad)
    : device_(device), gate_(gate), length_(device.length()), bad_(bad) {}

void carve_input::set_block(const uint8_t* data, uint64_t start, size_t size) {
    block_ = data;
    block_start_ = start;
    block_size_ = size;
}

bool carve_input::keep_going() {
    if (stopped_) return false;
    if (!scan_checkpoint(gate_)) stopped_ = true;
    return !stopped_;
}

byte_view carve_input::view(uint64_t off, size_t n) {
    if (stopped_ || vanished_ || off >= length_) return {};
    n = size_t(std::min<uint64_t>({n, window_size, length_ - off}));
    if (block_ && off >= block_start_ && off - block_start_ <= block_size_ &&
        n <= block_size_ - (off - block_start_))
        return byte_view(block_ + (off - block_start_), n);
    if (off >= window_start_ && off - window_start_ <= window_fill_ &&
        n <= window_fill_ - (off - window_start_))
        return byte_view(window_.data() + (off - window_start_), n);
    if (!keep_going()) return {};
    if (window_.empty()) window_.resize(window_size);
    size_t want = size_t(std::min<uint64_t>(window_size, length_ - off));
    size_t got = 0;
    // Bad sectors read as zeros, so a file around them is still measured.
    if (read_tolerant(device_, off, window_.data(), want, &got, bad_) == read_outcome::vanished) {
        vanished_ = true;
        window_fill_ = 0;
        return {};
    }
    if (got < n) {
        window_fill_ = 0;
        return {};
    }
    window_start_ = off;
    window_fill_ = got;
    return byte_view(window_.data(), n);
}

bool carve_input::read(uint64_t off, void* out, size_t n) {
    auto* dst = static_cast<uint8_t*>(out);
    while (n > 0) {
        size_t part = std::min(n, window_size);
        byte_view v = view(off, part);
        if (v.size() != part) return false;
        std::memcpy(dst, v.data(), part);
        dst += part;
        off += part;
        n -= part;
    }
    return true;
}

const carve_input::search_memo* carve_input::recall(const void* key, uint64_t tag, uint64_t from,
                                                   uint64_t end) const {
    for (const auto& m : memos_) {
        if (m.key != key || m.tag != tag || from < m.from) continue;
        // Nothing lies in [m.from, found_start), so a later start up to
        // found_start finds the same hit; with no hit, any end within the searched range.
        if (m.found_start != npos ? from <= m.found_start : end <= m.searched_to) return &m;
    }
    return nullptr;
}

void carve_input::remember(const search_memo& memo) {
    if (stopped_) return;
    for (auto& m : memos_) {
        if (m.key == memo.key && m.tag == memo.tag) {
            m = memo;
            return;
        }
    }
    memos_[next_memo_] = memo;
    next_memo_ = (next_memo_ + 1) % memos_.size();
}

uint64_t carve_input::find(const byte_pattern& pattern, uint64_t from, uint64_t end) {
    size_t plen = pattern.size();
    end = std::min(end, length_);
    if (plen == 0 || from >= end || end - from < plen) return npos;
    if (const search_memo* m = recall(&pattern, 0, from, end)) {
        if (m->found_start == npos || m->found_end > end) return npos;
        return m->found_start;
    }
    const size_t anchor = pattern.anchor();
    const uint8_t first = pattern.byte(anchor);
    const size_t chunk = window_size / 2;
    uint64_t pos = from;
    uint64_t result = npos;
    while (pos + plen <= end) {
        size_t n = size_t(std::min<uint64_t>(chunk + plen - 1, end - pos));
        byte_view v = view(pos, n);
        if (v.size() < plen) break;
        const uint8_t* data = v.data();
        size_t last = v.size() - plen;  // last start to test in this view
        size_t i = 0;
        while (i <= last) {
            const void* hit = std::memchr(data + i + anchor, first, last - i + 1);
            if (!hit) break;
            size_t at = size_t(static_cast<const uint8_t*>(hit) - data) - anchor;
            if (pattern.matches(data + at)) {
                result = pos + at;
                break;
            }
            i = at + 1;
        }
        if (result != npos) break;
        pos += last + 1;
    }
    if (result != npos)
        remember({&pattern, 0, from, result + plen, result, result + plen});
    else if (pos + plen > end)  // searched to the end, not cut short by an error
        remember({&pattern, 0, from, end, npos, npos});
    return result;
}

}  // namespace qv::sig
