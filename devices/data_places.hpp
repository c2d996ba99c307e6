#pragma once
// The folders that hold the program's data files, in the order they are tried.

#include <string>
#include <vector>

namespace qv {

// The installed data folder, share/quorvane beside the executable's bin/ folder,
// then the folder of the running executable.
std::vector<std::string> data_places();

}  // namespace qv
