#pragma once
// Whether a file's parent reference still names the folder that its record
// number holds now, or an unrelated file reused that record (the file is lost).

#include <cstdint>

namespace qv::ntfs {

// reference_sequence: the sequence number in the file's parent reference;
// parent_sequence: the one in the parent record's header now. A folder
// deleted together with its files has its sequence number raised by one when
// its record is freed, so a parent not in use may be one ahead.
bool parent_still_holds(uint16_t reference_sequence, bool parent_in_use, uint16_t parent_sequence);

}  // namespace qv::ntfs
