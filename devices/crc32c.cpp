#include "devices/crc32c.hpp"

#include <array>
#include <cstring>

namespace qv {

namespace {

constexpr uint32_t polynomial = 0x82F63B78;  // reflected Castagnoli

constexpr std::array<std::array<uint32_t, 256>, 4> make_tables() {
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (c & 1 ? polynomial : 0);
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t k = 1; k < 4; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr auto tables = make_tables();

// a(x) * b(x) modulo the polynomial, both reflected.
constexpr uint32_t multiply_mod(uint32_t a, uint32_t b) {
    uint32_t m = uint32_t(1) << 31, product = 0;
    for (;;) {
        if (a & m) {
            product ^= b;
            if ((a & (m - 1)) == 0) break;
        }
        m >>= 1;
        b = b & 1 ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}


#if defined(__x86_64__)
// Long buffers go in rounds of three lanes (then two) of lane_bytes each, whose CRCs the processor
// computes side by side (one instruction's latency is three of its issue slots); the
// lanes are joined by shifting a lane's register over the bytes after it, which is a
// multiplication by x^(8 * lane_bytes) modulo the polynomial, done by table.
constexpr size_t lane_bytes = 128;

constexpr std::array<std::array<uint32_t, 256>, 4> make_shift_tables() {
    uint32_t power = uint32_t(1) << 31;  // x^0
    for (size_t i = 0; i < 8 * lane_bytes; ++i) power = multiply_mod(power, uint32_t(1) << 30);  // times x
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (size_t k = 0; k < 4; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = multiply_mod(power, i << (8 * k));
    return t;
}

constexpr auto shift_tables = make_shift_tables();

// The register after lane_bytes zero bytes fed into crc.
inline uint32_t shift_lane(uint32_t crc) {
    return shift_tables[0][crc & 0xFF] ^ shift_tables[1][(crc >> 8) & 0xFF] ^ shift_tables[2][(crc >> 16) & 0xFF] ^
           shift_tables[3][crc >> 24];
}

// The SSE 4.2 instruction computes the same CRC, eight bytes at a time.
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const uint8_t* p, size_t len) {
    while (len >= 3 * lane_bytes) {
        uint64_t a = crc, b = 0, c = 0;
        for (size_t i = 0; i < lane_bytes; i += 8) {
            uint64_t va, vb, vc;
            std::memcpy(&va, p + i, 8);
            std::memcpy(&vb, p + lane_bytes + i, 8);
            std::memcpy(&vc, p + 2 * lane_bytes + i, 8);
            a = __builtin_ia32_crc32di(a, va);
            b = __builtin_ia32_crc32di(b, vb);
            c = __builtin_ia32_crc32di(c, vc);
        }
        crc = shift_lane(shift_lane(uint32_t(a)) ^ uint32_t(b)) ^ uint32_t(c);
        p += 3 * lane_bytes;
        len -= 3 * lane_bytes;
    }
    if (len >= 2 * lane_bytes) {  // two lanes: an ext4 inode of 256 bytes
        uint64_t a = crc, b = 0;
        for (size_t i = 0; i < lane_bytes; i += 8) {
            uint64_t va, vb;
            std::memcpy(&va, p + i, 8);
            std::memcpy(&vb, p + lane_bytes + i, 8);
            a = __builtin_ia32_crc32di(a, va);
            b = __builtin_ia32_crc32di(b, vb);
        }
        crc = shift_lane(uint32_t(a)) ^ uint32_t(b);
        p += 2 * lane_bytes;
        len -= 2 * lane_bytes;
    }
    uint64_t c = crc;
    while (len >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
        p += 8;
        len -= 8;
    }
    crc = uint32_t(c);
    while (len--) crc = __builtin_ia32_crc32qi(crc, *p++);
    return crc;
}
#endif

}  // namespace

crc32c_shifter::crc32c_shifter(size_t len) {
    uint32_t power = uint32_t(1) << 31;   // x^0
    uint32_t square = uint32_t(1) << 23;  // x^8: one byte
    for (size_t n = len; n; n >>= 1) {
        if (n & 1) power = multiply_mod(power, square);
        square = multiply_mod(square, square);
    }
    power_ = power;
}

uint32_t crc32c_shifter::operator()(uint32_t crc) const { return multiply_mod(power_, crc); }

uint32_t crc32c_shift(uint32_t crc, size_t len) { return crc32c_shifter(len)(crc); }

crc32c_shift_table::crc32c_shift_table(size_t len) {
    // The shift is linear: each table is had from its eight single-bit entries.
    const crc32c_shifter shift(len);
    for (int k = 0; k < 4; ++k) {
        uint32_t bit[8];
        for (int j = 0; j < 8; ++j) bit[j] = shift(uint32_t(1) << (8 * k + j));
        t_[k][0] = 0;
        for (uint32_t v = 1; v < 256; ++v) t_[k][v] = t_[k][v & (v - 1)] ^ bit[__builtin_ctz(v)];
    }
}

uint32_t crc32c(uint32_t crc, const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    if (__builtin_cpu_supports("sse4.2")) return crc32c_sse42(crc, p, len);
#endif
    while (len >= 4) {
        crc ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        crc = tables[3][crc & 0xFF] ^ tables[2][(crc >> 8) & 0xFF] ^ tables[1][(crc >> 16) & 0xFF] ^
              tables[0][crc >> 24];
        p += 4;
        len -= 4;
    }
    while (len--) crc = (crc >> 8) ^ tables[0][(crc ^ *p++) & 0xFF];
    return crc;
}

}  // namespace qv
