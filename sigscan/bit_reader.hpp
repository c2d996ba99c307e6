#pragma once
// Bits read most significant first from bytes held in memory (FLAC frames,
// MPEG audio side information); reads past the end give zeros and clear ok().

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qv::sig {

class bit_reader {
public:
    bit_reader(const uint8_t* data, size_t size) : data_(data), bits_(uint64_t(size) * 8) {}
    bool ok() const { return ok_; }
    uint64_t position() const { return pos_; }
    uint32_t get(unsigned n) {  // n <= 32
        if (n == 0) return 0;
        if (pos_ + n > bits_) {
            ok_ = false;
            pos_ = bits_;
            return 0;
        }
        uint32_t v = 0;
        while (n > 0) {
            unsigned in_byte = 8 - unsigned(pos_ & 7);
            unsigned take = std::min(n, in_byte);
            uint32_t byte = data_[pos_ >> 3];
            v = v << take | ((byte >> (in_byte - take)) & ((1u << take) - 1));
            pos_ += take;
            n -= take;
        }
        return v;
    }
    void skip(uint64_t n) {
        if (n > bits_ - pos_) {
            ok_ = false;
            pos_ = bits_;
        } else {
            pos_ += n;
        }
    }
    // Counts zero bits up to the next one bit and consumes them all.
    uint64_t unary() {
        uint64_t zeros = 0;
        while (pos_ < bits_) {
            if ((pos_ & 7) == 0 && data_[pos_ >> 3] == 0 && bits_ - pos_ >= 8) {
                zeros += 8;
                pos_ += 8;
                continue;
            }
            bool bit = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
            ++pos_;
            if (bit) return zeros;
            ++zeros;
        }
        ok_ = false;
        return zeros;
    }
    void align() { pos_ = std::min(bits_, (pos_ + 7) & ~uint64_t(7)); }

private:
    const uint8_t* data_;
    uint64_t bits_;
    uint64_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace qv::sig
