#pragma once
// UTF-16 names read from disk as UTF-8 text for found items.

#include <cstddef>
#include <string>

namespace qv {

// The zero-terminated UTF-16 name as UTF-8; a unit that is half of a broken
// surrogate pair becomes U+FFFD. At most max_units units are read.
std::string utf8_of(const char16_t* name, size_t max_units = 4096);

}  // namespace qv
