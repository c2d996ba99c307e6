#include <gtest/gtest.h>

#include "devices/format_size.hpp"

namespace {

struct size_case {
    uint64_t bytes;
    const char* text;
};

class format_size_bounds : public ::testing::TestWithParam<size_case> {};

TEST_P(format_size_bounds, each_bound_belongs_to_the_lower_unit) {
    EXPECT_EQ(format_size(GetParam().bytes).toStdString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(all, format_size_bounds,
                         ::testing::Values(size_case{0, "0B"}, size_case{1024, "1024B"}, size_case{1025, "1.00K"},
                                           size_case{1048576, "1024.00K"}, size_case{1048577, "1.00M"},
                                           size_case{1073741824, "1024.00M"}, size_case{1073741825, "1.00G"},
                                           size_case{1536ull * 1024 * 1024 * 1024, "1536.00G"},
                                           size_case{1ull << 63, "8589934592.00G"},
                                           size_case{~0ull, "17179869184.00G"}));

}  // namespace
