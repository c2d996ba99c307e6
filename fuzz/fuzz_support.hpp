#pragma once
// Small helpers shared by the fuzz targets: a scratch folder and contract checks.

#include <string>
#include <vector>

#include "engine/found_item.hpp"

namespace qv::fuzz {

// A folder of this process for files the targets must write (recovered
// files, an image file); in /dev/shm when it can be used, else $TMPDIR or /tmp.
const std::string& scratch_dir();

// Reports the broken contract and aborts, so the fuzzer keeps the input.
[[noreturn]] void contract_broken(const char* what, const char* file, int line);

// Builds the folder tree and every item's path of an engine's result and checks
// their shape: "/" first, each folder below its parent, each file row once.
void check_result_shape(const std::vector<found_item>& items);

}  // namespace qv::fuzz

#define QV_FUZZ_CHECK(condition) \
    ((condition) ? void(0) : ::qv::fuzz::contract_broken(#condition, __FILE__, __LINE__))
