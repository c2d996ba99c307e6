#pragma once
// Which scanner reads a volume: chosen once, through the registry, for the window and the command line.

#include <string>
#include <string_view>

#include "engine/scanner.hpp"

// A scanner's place in the registry, as the window numbers its engines; the
// named values are the registry's places of the scanners built in.
enum recovery_engine_kind : int {
    engine_kind_none = -1,
    engine_kind_fat = 0,
    engine_kind_ntfs = 1,
    engine_kind_deep = 2,
    engine_kind_exfat = 3,
};

namespace qv {

// The scanner for a volume whose file system the catalog names file_system
// ("FAT32", "NTFS", "exFAT", ...; empty when it found none): the carver when a
// deep scan was asked for, else the file system's own scanner (found by its
// probe of device where the name is empty); null when none reads it.
const scanner_kind* choose_scanner(std::string_view file_system, bool deep, device_handle* device = nullptr);
// The same as a registry place; engine_kind_none when none reads it.
recovery_engine_kind choose_engine(std::string_view file_system, bool deep, device_handle* device = nullptr);
// A registry place's scanner, or null.
const scanner_kind* scanner_of_kind(int kind);
// A scanner's registry place.
recovery_engine_kind kind_of_scanner(const scanner_kind& kind);
// "fat", "ntfs", "exfat", "deep", or empty for engine_kind_none.
std::string engine_name(recovery_engine_kind kind);

}  // namespace qv
