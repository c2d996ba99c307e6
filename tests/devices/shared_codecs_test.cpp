// The checksum, calendar and text helpers every reader shares, against values
// published with their formats (CRC-32C check values, the Unix epoch, UTF-8 bytes).

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devices/civil_date.hpp"
#include "devices/crc32c.hpp"
#include "devices/utf16_text.hpp"

namespace qv {
namespace {

TEST(crc32c, whole_buffer_form_matches_published_check_values) {
    EXPECT_EQ(crc32c_of("123456789", 9), 0xE3069283u);
    const std::vector<uint8_t> zeros(32, 0x00), ones(32, 0xFF);
    EXPECT_EQ(crc32c_of(zeros.data(), zeros.size()), 0x8A9136AAu);
    EXPECT_EQ(crc32c_of(ones.data(), ones.size()), 0x62A8AB43u);
    std::vector<uint8_t> ascending(32);
    for (size_t i = 0; i < ascending.size(); ++i) ascending[i] = uint8_t(i);
    EXPECT_EQ(crc32c_of(ascending.data(), ascending.size()), 0x46DD794Eu);
    EXPECT_EQ(crc32c_of("", 0), 0u);
}

TEST(crc32c, any_start_and_length_agree_with_a_running_register) {
    // Long enough for the wide loop, its tail and unaligned starts.
    std::vector<uint8_t> data(101);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 37 + 11);
    for (size_t start : {0, 1, 3, 7}) {
        const uint8_t* p = data.data() + start;
        const size_t len = data.size() - start;
        uint32_t bytewise = ~0u;
        for (size_t i = 0; i < len; ++i) bytewise = crc32c(bytewise, p + i, 1);
        EXPECT_EQ(crc32c(~0u, p, len), bytewise) << "start " << start;
        EXPECT_EQ(crc32c_of(p, len), ~bytewise) << "start " << start;
    }
}

TEST(civil_date, counts_days_from_1970_across_leap_rules) {
    struct row {
        int64_t year;
        unsigned month, day;
        int64_t days;
    };
    const row rows[] = {
        {1970, 1, 1, 0},      {1969, 12, 31, -1},   {1980, 1, 1, 3652},   {2000, 2, 29, 11016},
        {2000, 3, 1, 11017},  {2100, 3, 1, 47541},  {2107, 12, 31, 50402}, {1900, 3, 1, -25508},
        {2038, 1, 19, 24855},
    };
    for (const row& r : rows)
        EXPECT_EQ(days_from_civil(r.year, r.month, r.day), r.days) << r.year << "-" << r.month << "-" << r.day;
}

TEST(utf16_text, encodes_every_length_and_replaces_broken_surrogates) {
    struct row {
        std::u16string units;
        std::string utf8;
    };
    const row rows[] = {
        {u"a", "a"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},   // a surrogate pair
        {u"\xD83Dx", "\xEF\xBF\xBDx"},          // a high half alone
        {u"x\xDE00", "x\xEF\xBF\xBD"},          // a low half alone
        {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // the halves the wrong way round
    };
    for (const row& r : rows) {
        std::string out = "<";
        append_utf8(out, r.units.data(), r.units.size());
        EXPECT_EQ(out, "<" + r.utf8);
        EXPECT_EQ(utf8_of(r.units.c_str()), r.utf8);
    }
}

TEST(utf16_text, utf8_back_to_units_round_trips_and_refuses_bad_sequences) {
    for (const std::u16string& units : {std::u16string(u"Verlorene Dateien"), std::u16string(u"\u00E9\u20AC"),
                                        std::u16string(u"\xD83D\xDE00 ok")})
        EXPECT_EQ(utf16_of(utf8_of(units.c_str())), units);
    const std::u16string bad = u"\xFFFD";
    EXPECT_EQ(utf16_of("\xC0\xAF"), bad + bad) << "an overlong slash";
    EXPECT_EQ(utf16_of("\xED\xA0\x80"), bad) << "a surrogate written as UTF-8";
    EXPECT_EQ(utf16_of("\xF4\x90\x80\x80"), bad) << "past U+10FFFF";
    EXPECT_EQ(utf16_of("a\xE2\x82"), u"a" + bad) << "cut short at the end";
    EXPECT_EQ(utf16_of("\xE2x"), bad + u"x") << "cut short by a plain byte";
    EXPECT_EQ(utf16_of(""), u"");
}

TEST(utf16_text, counted_form_keeps_zeros_and_terminated_form_stops_at_them_or_the_limit) {
    const char16_t units[] = {u'a', 0, u'b', 0xD83D, 0xDE00, 0};
    std::string counted;
    append_utf8(counted, units, 3);
    EXPECT_EQ(counted, std::string("a\0b", 3));
    EXPECT_EQ(utf8_of(units), "a");
    EXPECT_EQ(utf8_of(units + 2), "b\xF0\x9F\x98\x80");
    // A pair cut by the limit is a broken half.
    EXPECT_EQ(utf8_of(units + 2, 2), "b\xEF\xBF\xBD");
    EXPECT_EQ(utf8_of(nullptr), "");
}

}  // namespace
}  // namespace qv
