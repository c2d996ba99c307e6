#pragma once
// The folders that hold the program's data files, in the order they are tried.

#include <string>
#include <vector>

namespace qv {

// share/quorvane beside the executable's bin/ folder, the configured data
// folder, then the folder of the running executable.
std::vector<std::string> data_places();

// Finds a data file (language.ini, Quorvane.conf, docs/manual.html) from any working
// directory: the current directory first, then data_places(). Returns the bare name
// when none has the file.
std::string find_data_file(const std::string& name);

// The folder of the running executable, or empty when /proc does not say.
std::string executable_folder();

// The folders that hold the program's own helpers (the open helper, the
// udisks2 module), in the order they are tried: libexec/quorvane beside the
// executable's bin/ folder, the executable's folder (the build tree), then the
// configured one.
std::vector<std::string> helper_places();

}  // namespace qv
