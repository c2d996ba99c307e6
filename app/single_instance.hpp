#pragma once
// Keeps a second copy of the desktop program from starting.

#include <QLockFile>

#include <memory>

namespace qv {

// Takes the lock "Quorvane.lock" in the runtime folder (or the temp folder).
// Returns the held lock, or null when another copy holds it. When the lock
// cannot be created at all the program starts without the guard, and the
// returned object holds nothing.
std::unique_ptr<QLockFile> take_instance_lock(bool* other_copy_running);

}  // namespace qv
