#include "ntfsscan/parent_link.hpp"

namespace qv::ntfs {

bool parent_still_holds(uint16_t reference_sequence, bool parent_in_use, uint16_t parent_sequence) {
    // Sequence number 0 is no check at all (volumes written without them).
    if (reference_sequence == 0 || reference_sequence == parent_sequence) return true;
    if (parent_in_use) return false;
    uint16_t next = uint16_t(reference_sequence + 1);
    if (next == 0) next = 1;  // the count skips zero when it wraps
    return parent_sequence == next;
}

}  // namespace qv::ntfs
