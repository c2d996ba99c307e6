// The every-byte pair search: the vector test never passes over a position
// where a pair of the set begins with a byte that may follow it, reports only
// pairs of the set, and reads no byte past what it is given.
#include "sigscan/pair_filter.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using qv::sig::pair_filter;

pair_filter::prefix make(int a, int b, int c) {
    pair_filter::prefix p;
    const int v[3] = {a, b, c};
    for (size_t k = 0; k < 3; ++k) {
        p.fixed[k] = v[k] >= 0;
        p.bytes[k] = p.fixed[k] ? uint8_t(v[k]) : 0;
    }
    return p;
}

// Prefixes like the shipped headers': three fixed bytes, a pair followed by
// any byte, a first byte followed by any pair, pairs sharing first bytes.
std::vector<pair_filter::prefix> prefixes() {
    std::vector<pair_filter::prefix> out = {
        make(0xFF, 0xD8, 0xFF), make(0xFF, 0xFB, -1),   make(0xFF, 0xF3, -1),   make(0x42, 0x4D, -1),
        make(0x50, 0x4B, 0x03), make(0x89, 0x50, 0x4E), make(0x3C, 0x21, 0x44), make(0x3C, 0x3F, 0x78),
        make(0x01, -1, -1),     make(0x47, 0x40, 0x00), make(0x47, 0x40, 0x11), make(0x66, 0x74, 0x79),
    };
    // More than the buckets hold alone: the ASCII letter pairs of a few words.
    for (const char* w : {"RIFF", "OggS", "fLaC", "SQLi", "wOFF", "MThd", "KDMV", "QFI", "%PDF", "#!AM"})
        out.push_back(make(uint8_t(w[0]), uint8_t(w[1]), uint8_t(w[2])));
    return out;
}

pair_filter::pair_set pairs_of(const std::vector<pair_filter::prefix>& prefixes) {
    pair_filter::pair_set set{};
    for (const auto& p : prefixes)
        for (unsigned b = 0; b < 256; ++b)
            if (!p.fixed[1] || b == p.bytes[1]) {
                const unsigned pair = unsigned(p.bytes[0]) << 8 | b;
                set[pair >> 6] |= uint64_t(1) << (pair & 63);
            }
    return set;
}

bool in_set(const pair_filter::pair_set& set, const uint8_t* at) {
    const unsigned pair = unsigned(at[0]) << 8 | at[1];
    return (set[pair >> 6] >> (pair & 63)) & 1;
}

// A prefix begins at j (its third byte where there is one).
bool prefix_at(const std::vector<pair_filter::prefix>& prefixes, const uint8_t* data, size_t j, size_t size) {
    for (const auto& p : prefixes) {
        bool ok = true;
        for (size_t k = 0; k < 3 && ok; ++k)
            if (p.fixed[k] && j + k < size) ok = data[j + k] == p.bytes[k];
        if (ok) return true;
    }
    return false;
}

TEST(PairFilter, FindsEveryPrefixAndOnlyPairsOfTheSet) {
    const auto pre = prefixes();
    const auto set = pairs_of(pre);
    const pair_filter filter(set, pre);
    if (!filter.vector()) GTEST_SKIP() << "no AVX2 here: the plain search is tested by the scanner's tests";
    // Three bytes of every kind pass rarely: most of what passes is the set's own.
    EXPECT_LT(filter.pass_rate(), 0.005);

    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        // Sizes around the vector width; each buffer exactly as long as the
        // search may read, so that a byte read past it is caught (ASan).
        const size_t size = round < 20 ? size_t(60 + round * 7) : size_t(3000 + rng() % 5000);
        auto owned = std::make_unique<uint8_t[]>(size);
        uint8_t* data = owned.get();
        for (size_t i = 0; i < size; ++i) data[i] = uint8_t(rng());
        // Planted prefixes, some at the very end and across vector edges.
        for (int n = 0; n < 12; ++n) {
            const auto& p = pre[rng() % pre.size()];
            const size_t at = n == 0 ? size - 2 : n == 1 ? size - 3 : n < 4 ? 63 + n : rng() % (size - 2);
            for (size_t k = 0; k < 3 && at + k < size; ++k) data[at + k] = p.fixed[k] ? p.bytes[k] : uint8_t(rng());
        }
        const size_t to = size - 1;  // a pair needs its second byte
        const size_t from = round % 5;
        // Each search anew, and each going on from where the last one stopped
        // (near the end the two may differ by pairs the vector test would turn down).
        for (bool going_on : {false, true}) {
            pair_filter::cursor cursor;
            pair_filter::cursor* at = going_on ? &cursor : nullptr;
            std::vector<size_t> found;
            for (size_t j = filter.next(data, from, to, at); j < to; j = filter.next(data, j + 1, to, at))
                found.push_back(j);
            size_t k = 0;
            for (size_t j = from; j < to; ++j) {
                const bool reported = k < found.size() && found[k] == j;
                if (reported) ++k;
                if (in_set(set, data + j) && prefix_at(pre, data, j, size)) {
                    EXPECT_TRUE(reported) << "missed at " << j << " of " << size << (going_on ? ", going on" : "");
                }
                if (reported) {
                    EXPECT_TRUE(in_set(set, data + j)) << "not a pair of the set at " << j;
                }
            }
            EXPECT_EQ(k, found.size()) << "reported out of order or out of range";
        }
    }
}

TEST(PairFilter, PlainDataAndZerosPassOver) {
    const auto pre = prefixes();
    const pair_filter filter(pairs_of(pre), pre);
    std::vector<uint8_t> zeros(1 << 16, 0), text(1 << 16);
    for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t("the quick brown fox "[i % 20]);
    EXPECT_EQ(filter.next(zeros.data(), 0, zeros.size() - 1), zeros.size() - 1);
    EXPECT_EQ(filter.next(text.data(), 0, text.size() - 1), text.size() - 1);
    // An empty range and one of a single position.
    EXPECT_EQ(filter.next(text.data(), 5, 5), 5u);
    text[100] = 0xFF;
    text[101] = 0xD8;
    text[102] = 0xFF;
    EXPECT_EQ(filter.next(text.data(), 100, 101), 100u);
    EXPECT_EQ(filter.next(text.data(), 0, text.size() - 1), 100u);
}

}  // namespace
