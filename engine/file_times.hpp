#pragma once
// Gives a recovered file the modification time its item had on the scanned volume.

#include <QString>

#include <cstdint>

namespace qv {

// Sets path's modification time to seconds since 1970 UTC (the access time
// becomes the same). Nothing is done for 0 (no time known). True on success.
bool set_modified_time(const QString& path, int64_t seconds);

}  // namespace qv
