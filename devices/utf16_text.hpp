#pragma once
// UTF-16 names read from disk as UTF-8 text.

#include <cstddef>
#include <string>

namespace qv {

// Appends `count` UTF-16 units as UTF-8 (zeros included); a unit that is half
// of a broken surrogate pair becomes U+FFFD.
void append_utf8(std::string& out, const char16_t* units, size_t count);

// The zero-terminated UTF-16 name as UTF-8, read up to its zero or max_units
// units, whichever comes first; broken surrogates become U+FFFD.
std::string utf8_of(const char16_t* name, size_t max_units = 4096);

}  // namespace qv
