#pragma once
// Calendar dates as day counts, for the time stamps file systems and files carry.

#include <cstdint>

namespace qv {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (month 1-12, day 1-31; negative before 1970).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

}  // namespace qv
