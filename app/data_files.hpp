#pragma once
// Finds the program's data files (language.ini, Quorvane.conf) from any working directory.

#include <string>

// The current directory first, then the installed data folder, then the
// executable's folder. Returns the bare name when none has the file.
std::string find_data_file(const std::string& name);
