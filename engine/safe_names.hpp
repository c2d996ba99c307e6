#pragma once
// Turns names read from disk into file names that stay inside the destination folder.

#include <QString>

namespace qv {

// '/', '\\' and NUL become '_'; "." and ".." and empty names get a leading '_'.
QString safe_file_name(const QString& name);
// folder/name, or "name (2).ext", "name (3).ext" ... when that already exists.
QString unique_destination(const QString& folder, const QString& name);
// True when folder lies on the mounted block device that holds the volume
// (recovering there could overwrite what is being recovered).
bool destination_on_volume(const QString& folder, const QString& volume_path);

}  // namespace qv
