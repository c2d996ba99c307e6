#include "sigscan/pair_filter.hpp"

#include <algorithm>
#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#define QV_PAIR_FILTER_AVX2 1
#endif

namespace qv::sig {

namespace {

constexpr size_t bucket_count = 8 * pair_filter::bucket_sets;

// The nibble values a bucket's prefixes hold: for each of the three bytes, one
// bit per low nibble value and one per high nibble value.
struct nibbles {
    std::array<uint16_t, 6> values{};

    static nibbles of(const pair_filter::prefix& p) {
        nibbles n;
        for (size_t k = 0; k < 3; ++k) {
            n.values[2 * k] = p.fixed[k] ? uint16_t(1u << (p.bytes[k] & 15)) : uint16_t(0xFFFF);
            n.values[2 * k + 1] = p.fixed[k] ? uint16_t(1u << (p.bytes[k] >> 4)) : uint16_t(0xFFFF);
        }
        return n;
    }
    // How many three-byte strings the bucket lets through.
    uint64_t passed() const {
        uint64_t n = 1;
        for (uint16_t v : values) n *= unsigned(std::popcount(v));
        return n;
    }
    nibbles with(const nibbles& o) const {
        nibbles n;
        for (size_t i = 0; i < values.size(); ++i) n.values[i] = uint16_t(values[i] | o.values[i]);
        return n;
    }
};

#ifdef QV_PAIR_FILTER_AVX2
// A table in both 128-bit lanes (vpshufb looks up within a lane).
__attribute__((target("avx2"))) inline __m256i lane_table(const uint8_t* table) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

struct vector_tables {
    __m256i t[pair_filter::bucket_sets][6];
};

// The buckets of one set of eight that the three bytes at each of 32 positions
// may belong to, from their nibbles.
__attribute__((target("avx2"))) inline __m256i buckets_of(const __m256i* lo, const __m256i* hi, const __m256i* t) {
    const __m256i b0 = _mm256_and_si256(_mm256_shuffle_epi8(t[0], lo[0]), _mm256_shuffle_epi8(t[1], hi[0]));
    const __m256i b1 = _mm256_and_si256(_mm256_shuffle_epi8(t[2], lo[1]), _mm256_shuffle_epi8(t[3], hi[1]));
    const __m256i b2 = _mm256_and_si256(_mm256_shuffle_epi8(t[4], lo[2]), _mm256_shuffle_epi8(t[5], hi[2]));
    return _mm256_and_si256(_mm256_and_si256(b0, b1), b2);
}

// One bit per position of the 32 at data whose three bytes pass.
__attribute__((target("avx2"))) inline uint32_t pass_bits(const uint8_t* data, const vector_tables& t) {
    static_assert(pair_filter::bucket_sets == 2);
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 1));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 2));
    const __m256i lo[3] = {_mm256_and_si256(v0, low), _mm256_and_si256(v1, low), _mm256_and_si256(v2, low)};
    const __m256i hi[3] = {_mm256_and_si256(_mm256_srli_epi16(v0, 4), low),
                           _mm256_and_si256(_mm256_srli_epi16(v1, 4), low),
                           _mm256_and_si256(_mm256_srli_epi16(v2, 4), low)};
    const __m256i any = _mm256_or_si256(buckets_of(lo, hi, t.t[0]), buckets_of(lo, hi, t.t[1]));
    return ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(any, _mm256_setzero_si256())));
}

#endif

}  // namespace

pair_filter::pair_filter(const pair_set& pairs, const std::vector<prefix>& prefixes) : pairs_(pairs) {
    // The widest prefixes first, each into the bucket it widens least.
    std::vector<nibbles> items;
    for (const prefix& p : prefixes) items.push_back(nibbles::of(p));
    std::stable_sort(items.begin(), items.end(),
                     [](const nibbles& x, const nibbles& y) { return x.passed() > y.passed(); });
    std::array<nibbles, bucket_count> buckets{};
    for (const nibbles& item : items) {
        size_t best = 0;
        uint64_t best_growth = ~uint64_t(0);
        for (size_t b = 0; b < bucket_count; ++b) {
            const uint64_t growth = buckets[b].with(item).passed() - buckets[b].passed();
            if (growth < best_growth) {
                best_growth = growth;
                best = b;
            }
        }
        buckets[best] = buckets[best].with(item);
    }
    for (size_t b = 0; b < bucket_count; ++b)
        for (size_t i = 0; i < 6; ++i)
            for (unsigned n = 0; n < 16; ++n)
                if ((buckets[b].values[i] >> n) & 1) tables_[b / 8][i].bits[n] |= uint8_t(1u << (b % 8));
#ifdef QV_PAIR_FILTER_AVX2
    vector_ = __builtin_cpu_supports("avx2");
#endif
}

#ifdef QV_PAIR_FILTER_AVX2
// Kept apart from next() so that only this function is built for AVX2.
__attribute__((target("avx2"))) size_t pair_filter::next_vector(const uint8_t* data, size_t j, size_t to,
                                                               cursor* at) const {
    vector_tables t;
    for (size_t s = 0; s < bucket_sets; ++s)
        for (size_t i = 0; i < 6; ++i) t.t[s][i] = lane_table(tables_[s][i].bits.data());
    // The loads reach two bytes past the 64 positions: to + 1 bytes are there.
    for (; j + 65 <= to; j += 64) {
        const uint64_t bits = uint64_t(pass_bits(data + j, t)) | uint64_t(pass_bits(data + j + 32, t)) << 32;
        for (uint64_t b = bits; b != 0; b &= b - 1) {
            const size_t found = j + size_t(std::countr_zero(b));
            if (!in_set(data + found)) continue;
            if (at) *at = {data, j, bits};
            return found;
        }
    }
    return j;
}

#endif

size_t pair_filter::next(const uint8_t* data, size_t from, size_t to, cursor* at) const {
    size_t j = from;
#ifdef QV_PAIR_FILTER_AVX2
    if (vector_) {
        // Within the positions tested last: the rest of what passed there first.
        if (at && at->data == data && at->window != ~size_t(0) && j >= at->window && j < at->window + 64 &&
            at->window + 65 <= to) {
            for (uint64_t b = at->bits & (~uint64_t(0) << (j - at->window)); b != 0; b &= b - 1) {
                const size_t found = at->window + size_t(std::countr_zero(b));
                if (in_set(data + found)) return found;
            }
            j = at->window + 64;
        }
        j = next_vector(data, j, to, at);
        if (j + 65 <= to) return j;
    }
#endif
    // The last positions, and all of them without the vector test: the pair alone.
    for (; j < to; ++j)
        if (in_set(data + j)) return j;
    return to;
}

void pair_filter::find_all(const uint8_t* data, size_t to, std::vector<uint32_t>& out) const {
    out.clear();
    cursor at;
    for (size_t j = next(data, 0, to, &at); j < to; j = next(data, j + 1, to, &at)) out.push_back(uint32_t(j));
}

double pair_filter::pass_rate() const {
    auto passes = [&](const std::array<uint8_t, 3>& x) {
        for (size_t s = 0; s < bucket_sets; ++s) {
            uint8_t m = 0xFF;
            for (size_t k = 0; k < 3; ++k)
                m &= tables_[s][2 * k].bits[x[k] & 15] & tables_[s][2 * k + 1].bits[x[k] >> 4];
            if (m != 0) return true;
        }
        return false;
    };
    uint64_t passed = 0;
    for (unsigned v = 0; v < (1u << 24); ++v) passed += passes({uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    return double(passed) / double(1u << 24);
}

}  // namespace qv::sig
