#pragma once
// Bounds-checked little-endian reads over a span of on-disk bytes.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

// A read-only window on bytes read from a device. Every getter checks its
// range: a field that lies (partly) outside the span reads as 0, so parsers
// of hostile data never touch memory they do not own. Use has() where a
// missing field must be told apart from a zero one.
class byte_view {
public:
    byte_view() = default;
    byte_view(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}
    explicit byte_view(std::span<const uint8_t> bytes) : byte_view(bytes.data(), bytes.size()) {}

    size_t size() const { return size_; }
    const uint8_t* data() const { return data_; }
    bool empty() const { return size_ == 0; }

    // True when [off, off + len) lies inside the span; written so it cannot overflow.
    bool has(size_t off, size_t len) const { return off <= size_ && len <= size_ - off; }

    uint8_t u8(size_t off) const { return has(off, 1) ? data_[off] : 0; }
    uint16_t le16(size_t off) const {
        return has(off, 2) ? uint16_t(data_[off] | data_[off + 1] << 8) : 0;
    }
    uint32_t le32(size_t off) const {
        if (!has(off, 4)) return 0;
        return uint32_t(data_[off]) | uint32_t(data_[off + 1]) << 8 |
               uint32_t(data_[off + 2]) << 16 | uint32_t(data_[off + 3]) << 24;
    }
    uint64_t le64(size_t off) const {
        if (!has(off, 8)) return 0;
        return uint64_t(le32(off)) | uint64_t(le32(off + 4)) << 32;
    }
    // Little-endian unsigned integer of 1 to 8 bytes (runlist fields and the like).
    uint64_t le_n(size_t off, size_t len) const {
        if (len == 0 || len > 8 || !has(off, len)) return 0;
        uint64_t v = 0;
        for (size_t i = len; i-- > 0;) v = v << 8 | data_[off + i];
        return v;
    }
    // Sub-span, empty when it does not fit.
    byte_view sub(size_t off, size_t len) const {
        return has(off, len) ? byte_view(data_ + off, len) : byte_view();
    }
    // Sub-span from off to the end, empty when off is past the end.
    byte_view tail(size_t off) const { return off <= size_ ? byte_view(data_ + off, size_ - off) : byte_view(); }
    bool equals(size_t off, std::span<const uint8_t> bytes) const;
    bool equals(size_t off, const char* ascii) const;

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Little-endian stores into a caller buffer (the partition-table writer and tests).
inline void put_le16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace qv
