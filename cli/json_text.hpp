#pragma once
// JSON string quoting for the command line's --json output.

#include <string>

namespace qv::cli {

// The text as a quoted JSON string (UTF-8 in, control characters escaped).
std::string json_quote(const std::string& text);

}  // namespace qv::cli
