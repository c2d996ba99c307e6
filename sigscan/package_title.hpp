#pragma once
// The title a packaged document (a ZIP of XML parts) gives itself: Office Open
// XML's docProps/core.xml, OpenDocument's meta.xml, an EPUB's package document.

#include <cstdint>
#include <string>

#include "devices/device_handle.hpp"

namespace qv::sig {

// The dc:title of the package's metadata part, as UTF-8 with XML's character
// references resolved; empty when the central directory, the part or its title
// cannot be read. Reads the end of the file, the central directory and the one
// part, each bounded.
std::string package_title(device_handle& device, uint64_t offset, uint64_t size);

}  // namespace qv::sig
