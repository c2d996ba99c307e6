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

carve_input::carve_input(device_handle& device, scan_gate* gate, bad_ranges* bad, size_t read_size)
    : device_(device), gate_(gate), length_(device.length()),
      read_size_(std::max<size_t>(read_size / 512 * 512, 512)), bad_(bad ? bad : &own_bad_) {}

void carve_input::enable_read_ahead(read_ahead::piece_fn on_piece) {
    if (!ahead_) ahead_ = std::make_unique<read_ahead>(device_, bad_, std::move(on_piece));
}

void carve_input::enable_split_reads() {
    if (!split_ && several_processors()) split_ = std::make_unique<read_ahead>(device_, bad_);
}

read_outcome carve_input::read_stream(uint64_t off, uint8_t* out, size_t n, size_t* got) {
    if (!split_ || ahead_ || n < split_min || bad_->count() > 0)
        return read_tolerant(device_, off, out, n, got, bad_);
    const size_t first = n / 2 / page * page;
    split_->start(off + first, out + first, n - first);
    const read_outcome outcome = read_tolerant(device_, off, out, first, got, bad_);
    const auto second = split_->finish();
    if (outcome == read_outcome::vanished || second->vanished) return read_outcome::vanished;
    // Short only at the device's end: the second half counts only after a whole first.
    if (*got == first) *got += second->got;
    return read_outcome::whole;
}

void carve_input::settle() {
    if (!ahead_ || !ahead_->in_flight()) return;
    const auto done = ahead_->finish();
    if (done->vanished) {
        vanished_ = true;
        return;
    }
    // Nothing moves the stream while a read is in flight: it ends where the read began.
    if (done->offset == stream_start_ + stream_fill_) stream_fill_ += done->got;
}

void carve_input::start_ahead() {
    if (!ahead_ || ahead_->in_flight() || vanished_ || stopped_ || stream_size_ == 0) return;
    const uint64_t end = stream_start_ + stream_fill_;
    const uint64_t room_end = std::min<uint64_t>(stream_start_ + stream_size_, length_);
    if (end >= room_end || device_.unread_zeros_end(end) > end) return;
    ahead_->start(end, stream_.get() + stream_fill_, size_t(std::min<uint64_t>(read_size_, room_end - end)));
}

bool carve_input::keep_going() {
    if (stopped_) return false;
    if (!scan_checkpoint(gate_)) stopped_ = true;
    return !stopped_;
}

bool carve_input::fill_stream(uint64_t to, size_t min_read) {
    settle();
    to = std::min(to, length_);
    const uint64_t end = stream_start_ + stream_fill_;
    if (to <= end) return true;
    if (stream_size_ == 0) {
        // Room for two blocks and a rule's window beyond them at the least.
        const uint64_t want = std::max<uint64_t>(stream_capacity, 2 * uint64_t(read_size_) + window_size);
        // Left unset: only the part a scan reaches is ever given memory.
        stream_size_ = size_t(std::min(want, length_));
        stream_.reset(static_cast<uint8_t*>(::operator new[](stream_size_, std::align_val_t(page))));
    }
    const uint64_t room_end = stream_start_ + stream_size_;
    if (to > room_end) return false;
    // Large reads, ending on a sector boundary.
    uint64_t read_end = std::max(to, end + min_read);
    read_end = std::min({(read_end + page - 1) / page * page, room_end, length_});
    size_t got = 0;
    if (read_stream(end, stream_.get() + stream_fill_, size_t(read_end - end), &got) == read_outcome::vanished) {
        vanished_ = true;
        return false;
    }
    stream_fill_ += got;
    return stream_start_ + stream_fill_ >= to;
}

byte_view carve_input::load_block(uint64_t start, size_t n) {
    settle();
    if (vanished_ || start >= length_) return {};
    n = size_t(std::min<uint64_t>(n, length_ - start));
    const uint64_t end = stream_start_ + stream_fill_;
    if (start < stream_start_ || start >= end) {
        stream_start_ = start;
        stream_fill_ = 0;
    } else if (const size_t behind = size_t(start - stream_start_);
               start + n > stream_start_ + stream_size_ || behind >= stream_size_ / 2 ||
               (behind >= stream_shift && stream_fill_ - behind <= stream_shift_carry) ||
               (ahead_ && behind >= ahead_shift && stream_fill_ - behind <= n + read_size_)) {
        // Out of room, or half of it behind the scanner, where the rules'
        // reads ahead no longer fit: what lies before start is dropped, the
        // rest moves to the front. Where little lies ahead of the scanner, the
        // front is reused early, so reads land in memory the processor still
        // holds in its cache.
        std::memmove(stream_.get(), stream_.get() + behind, stream_fill_ - behind);
        stream_fill_ -= behind;
        stream_start_ = start;
    }
    // Side reads the scanner has passed are of no more use.
    while (!side_read_.empty() && side_read_.begin()->second <= start) side_read_.erase(side_read_.begin());
    rule_step_ = rule_read_size;
    // Without a read ahead, the stream is read on to the block's end only: a
    // whole read_size beyond what it holds would leave that much ahead of the
    // next block, moved to the front again block after block.
    fill_stream(start + n, ahead_ ? read_size_ : page);
    if (vanished_) return {};
    start_ahead();
    const uint64_t have = stream_start_ + stream_fill_ > start ? stream_start_ + stream_fill_ - start : 0;
    return byte_view(stream_.get() + (start - stream_start_), size_t(std::min<uint64_t>(n, have)));
}

bool carve_input::read_side(uint64_t off, size_t n) {
    settle();
    if (window_.empty()) window_.resize(window_size);
    size_t got = 0;
    window_fill_ = 0;
    // Bad sectors read as zeros, so a file around them is still measured.
    if (read_tolerant(device_, off, window_.data(), n, &got, bad_) == read_outcome::vanished) {
        vanished_ = true;
        return false;
    }
    window_start_ = off;
    window_fill_ = got;
    if (got == 0) return true;
    // Noted, merged with the reads it touches, so the scanner need not read them again.
    uint64_t a = off, b = off + got;
    auto it = side_read_.upper_bound(a);
    if (it != side_read_.begin() && std::prev(it)->second >= a) --it;
    while (it != side_read_.end() && it->first <= b) {
        a = std::min(a, it->first);
        b = std::max(b, it->second);
        it = side_read_.erase(it);
    }
    side_read_.emplace(a, b);
    return true;
}

bool carve_input::pass_over(uint64_t from, uint64_t to) {
    settle();
    to = std::min(to, length_);
    uint64_t p = from;
    while (p < to && !vanished_) {
        const uint64_t stream_end = stream_start_ + stream_fill_;
        if (p >= stream_start_ && p < stream_end) {
            p = stream_end;
            continue;
        }
        auto next = side_read_.upper_bound(p);
        if (next != side_read_.begin() && std::prev(next)->second > p) {
            p = std::prev(next)->second;
            continue;
        }
        // A gap no read has met: up to the next range that one has.
        uint64_t gap_end = to;
        if (stream_fill_ > 0 && stream_start_ > p) gap_end = std::min(gap_end, stream_start_);
        if (next != side_read_.end()) gap_end = std::min(gap_end, next->first);
        const size_t n = size_t(std::min<uint64_t>(gap_end - p, window_size));
        if (!read_side(p, n)) break;
        if (window_fill_ == 0) break;
        p += window_fill_;
    }
    return !vanished_;
}

byte_view carve_input::view(uint64_t off, size_t n) {
    if (stopped_ || vanished_ || off >= length_) return {};
    n = size_t(std::min<uint64_t>({n, window_size, length_ - off}));
    const uint64_t stream_end = stream_start_ + stream_fill_;
    if (stream_fill_ > 0 && off >= stream_start_) {
        if (off + n <= stream_end) return byte_view(stream_.get() + (off - stream_start_), n);
        // Ahead of the stream but within its room: read on to it (what lies
        // between too), the scanner will use it.
        if (off + n <= stream_start_ + stream_size_) {
            if (!keep_going()) return {};
            const size_t step = rule_step_;
            // A rule that keeps reading on (through a large file) reads in ever larger pieces.
            rule_step_ = std::min(2 * rule_step_, std::max(read_size_, window_size));
            if (fill_stream(off + n, step)) return byte_view(stream_.get() + (off - stream_start_), n);
            if (vanished_) return {};
        }
    }
    if (off >= window_start_ && off - window_start_ <= window_fill_ &&
        n <= window_fill_ - (off - window_start_))
        return byte_view(window_.data() + (off - window_start_), n);
    if (!keep_going()) return {};
    if (!read_side(off, size_t(std::min<uint64_t>(window_size, length_ - off)))) return {};
    if (window_fill_ < n) return {};
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
    // Whole windows, each overlapping the last by the pattern's length only.
    const size_t chunk = window_size - plen + 1;
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
