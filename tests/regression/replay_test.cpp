// Every fuzz body over the inputs kept in tests/regression/inputs/<target>/
// (each once broke that parser) and over a few generated hostile inputs.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.hpp"
#include "tests/support/test_support.hpp"

namespace fs = std::filesystem;

namespace {

class replay : public ::testing::TestWithParam<qv::fuzz::target> {};

std::string target_name(const ::testing::TestParamInfo<qv::fuzz::target>& info) { return info.param.name; }

TEST_P(replay, kept_inputs_pass) {
    const auto& t = GetParam();
    fs::path dir = fs::path(QUORVANE_REGRESSION_DIR) / t.name;
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no kept inputs for " << t.name;
    size_t replayed = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        auto bytes = qv::test::read_file(entry.path().string());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(t.body(bytes.data(), bytes.size()), 0);
        ++replayed;
    }
    EXPECT_GT(replayed, 0u) << dir;
}

// Empty, tiny, random and all-ones inputs: each parser says no, and nothing breaks.
TEST_P(replay, generated_inputs_pass) {
    const auto& t = GetParam();
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {0x00},
        {0xFF, 0xFF},
        qv::test::pseudo_random_bytes(4096, 11),
        qv::test::pseudo_random_bytes(300 * 1024, 12),
        std::vector<uint8_t>(64 * 1024, 0xFF),
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.size());
        EXPECT_EQ(t.body(input.data(), input.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(targets, replay, ::testing::ValuesIn(qv::fuzz::all_targets().begin(),
                                                              qv::fuzz::all_targets().end()),
                         target_name);

}  // namespace
