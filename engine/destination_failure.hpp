#pragma once
// A recovery that cannot write its destination (full, over quota, failing):
// what stopped it and how much more room the files not recovered need.

#include <QString>

#include <cstddef>
#include <cstdint>

namespace qv {

// recover_file's result when the destination could not be written (full, over
// quota, an I/O error there). The partial file has been removed; errno says
// why where it is known.
inline constexpr int32_t recover_destination_failed = -8;

struct destination_failure {
    bool stopped = false;      // the recovery stopped because of the destination
    bool full = false;         // no room left (ENOSPC, EDQUOT, or no free blocks)
    uint64_t more_needed = 0;  // bytes of the files not recovered, the failed one included
    QString reason;            // the system's words for a failure that is not "full"
};

// Classifies a failed write into folder; error_number is the errno seen (0 when unknown).
destination_failure classify_destination_failure(int error_number, const QString& folder,
                                                 uint64_t more_needed);

// "N of M files recovered; the destination is full (about X more needed)", or
// for any other write error "N of M files recovered; the destination cannot be
// written (REASON)".
QString destination_failure_text(size_t recovered, size_t total, const destination_failure& failure);

}  // namespace qv
