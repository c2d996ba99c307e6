#pragma once
// UTF-16 names read from disk as UTF-8 text, and UTF-8 text as UTF-16 names.

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Appends code point c (below U+110000) as UTF-8.
void append_code_point(std::string& out, char32_t c);

// Appends `count` UTF-16 units as UTF-8 (zeros included); a unit that is half
// of a broken surrogate pair becomes U+FFFD.
void append_utf8(std::string& out, const char16_t* units, size_t count);

// The zero-terminated UTF-16 name as UTF-8, read up to its zero or max_units
// units, whichever comes first; broken surrogates become U+FFFD.
std::string utf8_of(const char16_t* name, size_t max_units = 4096);

// UTF-8 text as UTF-16 units; a byte that does not start or continue a valid
// sequence (or a sequence for a surrogate or past U+10FFFF) becomes U+FFFD.
std::u16string utf16_of(std::string_view utf8);

}  // namespace qv
