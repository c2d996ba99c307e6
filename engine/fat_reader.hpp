#pragma once
// The FAT reader moved to fat/; this name stays for the window's FAT thread until it includes fat/fat_reader.hpp.
#include "fat/fat_reader.hpp"
