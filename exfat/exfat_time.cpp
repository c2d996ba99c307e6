#include "exfat/exfat_time.hpp"

#include <ctime>

#include "devices/civil_date.hpp"

namespace qv::exfat {

namespace {

constexpr uint8_t offset_valid = 0x80;
constexpr uint8_t max_increment = 199;
constexpr int64_t seconds_per_offset_step = 15 * 60;

}  // namespace

timestamp decode_time(uint32_t stamp, uint8_t increment_10ms, uint8_t utc_offset) {
    const unsigned two_seconds = stamp & 0x1F;
    const unsigned minute = (stamp >> 5) & 0x3F;
    const unsigned hour = (stamp >> 11) & 0x1F;
    const unsigned day = (stamp >> 16) & 0x1F;
    const unsigned month = (stamp >> 21) & 0x0F;
    const int year = 1980 + int((stamp >> 25) & 0x7F);
    timestamp t;
    if (two_seconds > 29 || minute > 59 || hour > 23 || day < 1 || day > 31 || month < 1 || month > 12)
        return t;
    if (increment_10ms > max_increment) increment_10ms = 0;
    const unsigned extra_seconds = increment_10ms / 100;
    t.nanoseconds = uint32_t(increment_10ms % 100) * 10'000'000u;
    const int64_t second_of_day = int64_t(hour) * 3600 + minute * 60 + two_seconds * 2 + extra_seconds;

    if (utc_offset & offset_valid) {
        // Seven-bit two's complement.
        int steps = utc_offset & 0x7F;
        if (steps & 0x40) steps -= 0x80;
        t.seconds = days_from_civil(year, month, day) * 86400 + second_of_day -
                    int64_t(steps) * seconds_per_offset_step;
        t.utc_known = true;
        return t;
    }
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = int(month) - 1;
    local.tm_mday = int(day);
    local.tm_hour = int(hour);
    local.tm_min = int(minute);
    local.tm_sec = int(two_seconds * 2 + extra_seconds);
    local.tm_isdst = -1;
    const std::time_t v = std::mktime(&local);
    if (v == std::time_t(-1)) {
        t.nanoseconds = 0;
        return t;
    }
    t.seconds = int64_t(v);
    return t;
}

}  // namespace qv::exfat
