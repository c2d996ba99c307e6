#pragma once
// exFAT timestamps (2 s steps, a 10 ms increment and a UTC offset) as times since 1970 UTC.

#include <cstdint>

namespace qv::exfat {

struct timestamp {
    int64_t seconds = 0;      // since 1970 UTC; 0 when the fields are not a valid date
    uint32_t nanoseconds = 0; // from the 10 ms increment
    bool utc_known = false;   // the entry carried a valid UTC offset
};

// Decodes a 32-bit timestamp field with its 10 ms increment (0-199) and its
// UTC offset byte (bit 7 set: bits 0-6 are a signed count of 15-minute steps
// that local time is ahead of UTC). Without a valid offset the time is read
// as the machine's local time, as FAT times are.
timestamp decode_time(uint32_t stamp, uint8_t increment_10ms, uint8_t utc_offset);

}  // namespace qv::exfat
