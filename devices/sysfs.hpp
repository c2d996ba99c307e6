#pragma once
// Small readers for /sys attribute files.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace qv::sysfs {

// First line of a text attribute without its line end; empty when unreadable.
std::string read_line(const std::string& path);
std::optional<uint64_t> read_u64(const std::string& path);
// "major:minor" of a dev attribute as a device number; 0 when unreadable.
dev_t read_devno(const std::string& path);

}  // namespace qv::sysfs
