// The libFuzzer entry of one target; QV_FUZZ_BODY names its body.

#include <cstdlib>

#include "fuzz/fuzz_targets.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Engines stay quiet, and no block device of this machine is ever looked at.
    ::unsetenv("QUORVANE_DEBUG");
    ::setenv("QUORVANE_IMAGES_ONLY", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qv::fuzz::QV_FUZZ_BODY(data, size);
}
