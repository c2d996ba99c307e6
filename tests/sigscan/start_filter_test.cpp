// The first test of sector starts never turns down a start where a header
// matches, and turns down what it should: empty space and plain data.
#include "sigscan/start_filter.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sigscan/config.hpp"

namespace {

using qv::sig::byte_pattern;
using qv::sig::signature_config;
using qv::sig::start_filter;

constexpr size_t sector = 512;

signature_config parse(const std::string& text) {
    std::string error;
    auto config = qv::sig::parse_config(text, &error);
    EXPECT_TRUE(config) << error;
    return config ? *config : signature_config{};
}

// Writes the pattern at p, wildcards as random bytes.
void plant(const byte_pattern& pattern, uint8_t* p, std::mt19937& rng) {
    for (size_t k = 0; k < pattern.size(); ++k) p[k] = pattern.is_wild(k) ? uint8_t(rng()) : pattern.byte(k);
}

bool any_header_at(const signature_config& config, const std::vector<uint8_t>& data, size_t i) {
    for (const auto& type : config.types)
        for (const auto& h : type.headers)
            if (i + h.size() <= data.size() && h.matches(data.data() + i)) return true;
    return false;
}

// Every shipped header planted at sector starts of random data (and of zeros):
// each such start passes, and every start the filter passes over is one where
// no header matches.
TEST(StartFilter, PassesEveryStartWhereAHeaderMatches) {
    const signature_config& config = qv::sig::default_config();
    const start_filter filter(config);
    ASSERT_FALSE(filter.empty());
    std::vector<const byte_pattern*> headers;
    for (const auto& type : config.types)
        for (const auto& h : type.headers) headers.push_back(&h);
    for (uint32_t seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> data(headers.size() * 4 * sector);
        if (seed != 3)  // seed 3: headers in empty space
            for (auto& b : data) b = uint8_t(rng());
        std::vector<size_t> planted;
        for (size_t h = 0; h < headers.size(); ++h) {
            const size_t at = (4 * h + 1 + rng() % 3) * sector;
            plant(*headers[h], data.data() + at, rng);
            planted.push_back(at);
        }
        const size_t to = data.size() - start_filter::word_bytes + 1;
        size_t starts = 0, needless = 0;  // starts without a header; those let through all the same
        for (size_t i = 0, next = 0; i < to; i += sector) {
            if (next < i) next = filter.next(data.data(), i, to, sector);
            const bool matches = any_header_at(config, data, i);
            if (!matches) {
                ++starts;
                needless += next == i;
            } else {
                EXPECT_EQ(next, i) << "seed " << seed << " at " << i;
            }
        }
        for (size_t h = 0; h < planted.size(); ++h)
            EXPECT_EQ(filter.next(data.data(), planted[h], to, sector), planted[h])
                << headers[h]->text() << " seed " << seed;
        // The test is worth its time: it turns down nearly every other start.
        EXPECT_LT(needless * 20, starts) << "seed " << seed;
    }
}

TEST(StartFilter, EmptySpaceAndPairsOfZerosInHeaders) {
    // Headers that start with zeros are tested on a later pair, so a sector of
    // zeros passes no test.
    const start_filter filter(parse("[ps]\nheader = 00 00 01 BA\nmax = 1M\nrule = max\n"
                                    "[ico]\nheader = 00 00 01 00\nmax = 1M\nrule = max\n"));
    ASSERT_FALSE(filter.empty());
    std::vector<uint8_t> zeros(8 * sector);
    EXPECT_EQ(filter.next(zeros.data(), 0, zeros.size() - 7, sector), zeros.size() - 7);
    zeros[3 * sector + 2] = 0x01;
    zeros[3 * sector + 3] = 0xBA;
    EXPECT_EQ(filter.next(zeros.data(), 0, zeros.size() - 7, sector), 3 * sector);
    // A header of zeros alone is still let through.
    const start_filter nulls(parse("[nul]\nheader = 00 00 00 00\nmax = 1M\nrule = max\n"));
    ASSERT_FALSE(nulls.empty());
    EXPECT_EQ(nulls.next(zeros.data(), 0, zeros.size() - 7, sector), 0u);
}

// Where the filter cannot stand for every header it gives no answer, and the
// scanner tests each start in full.
TEST(StartFilter, NoTestWhereAHeaderHasNoFixedPairEarlyOrPositionsRunOut) {
    EXPECT_TRUE(start_filter(parse("[late]\nheader = ?? ?? ?? ?? ?? ?? ?? \"XY\"\nmax = 1M\nrule = max\n")).empty());
    EXPECT_TRUE(start_filter(parse("[odd]\nheader = 41 ?? 42 ?? 43 ?? 44 ?? 45\nmax = 1M\nrule = max\n")).empty());
    std::string five;
    for (int p = 0; p < 5; ++p) {
        five += "[t" + std::to_string(p) + "]\nheader = ";
        for (int k = 0; k < p; ++k) five += "?? ";
        five += "41 42\nmax = 1M\nrule = max\n";
    }
    EXPECT_TRUE(start_filter(parse(five)).empty());
    // Four positions are enough.
    std::string four = five.substr(0, five.find("[t4]"));
    EXPECT_FALSE(start_filter(parse(four)).empty());
}

}  // namespace
