#pragma once
// Writing a whole buffer to a file descriptor, across short writes and interrupted calls.
#include <cstddef>
#include <cstdint>

namespace qv {

// Writes len bytes at the descriptor's position. False on an error, with errno
// set; a write that makes no progress counts as ENOSPC.
bool write_all(int fd, const void* data, size_t len);

// Writes len bytes at offset without moving the descriptor's position; same
// result as write_all.
bool pwrite_all(int fd, const void* data, size_t len, uint64_t offset);

}  // namespace qv
