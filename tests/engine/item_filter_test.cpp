// The result filter: each condition alone and together, the spellings the
// command line and the window accept, and what an inactive filter passes.
#include <gtest/gtest.h>

#include <functional>

#include "engine/item_filter.hpp"

namespace {

using qv::found_item;
using qv::item_filter;
using qv::item_state;

found_item file(const char* name, uint64_t size, int64_t modified, item_state state = item_state::unknown,
                const char* type = "") {
    found_item f;
    f.name = name;
    f.size = size;
    f.modified = modified;
    f.state = state;
    f.type = type;
    f.deleted = true;
    return f;
}

// 2024-05-01 00:00 UTC (the tests run with TZ=UTC).
constexpr int64_t may_first = 1714521600;
constexpr int64_t day = 86400;

TEST(item_filter, an_empty_filter_passes_everything_and_an_active_one_only_files) {
    item_filter none;
    found_item folder = file("Photos", 0, 0);
    folder.directory = true;
    EXPECT_FALSE(none.active());
    EXPECT_TRUE(none.matches(folder));
    EXPECT_TRUE(none.matches(file("x", 0, 0)));

    item_filter some;
    some.min_size = 1;
    EXPECT_TRUE(some.active());
    EXPECT_FALSE(some.matches(folder)) << "folders are not what a filter looks for";
    EXPECT_TRUE(some.matches(file("x", 1, 0)));
    EXPECT_FALSE(some.matches(file("x", 0, 0)));
}

struct filter_case {
    const char* what;
    item_filter filter;
    std::vector<bool> expected;  // per sample below
};

std::vector<found_item> samples() {
    return {
        file("holiday.JPG", 300 * 1024, may_first + 3600, item_state::intact),                 // 0
        file("00000012.jpg", 20 * 1024, 0, item_state::damaged, "jpeg"),                       // 1
        file("IMG_0001.HEIC", 2 * 1024 * 1024, may_first - day, item_state::assembled),        // 2
        file("report.doc", 50 * 1024, may_first + 40 * day, item_state::overwritten),          // 3
        file("noext", 51 * 1024, may_first + 2 * day),                                         // 4
    };
}

class filter_rows : public ::testing::TestWithParam<filter_case> {};

TEST_P(filter_rows, pass_exactly_the_matching_items) {
    const auto& c = GetParam();
    const auto items = samples();
    ASSERT_EQ(items.size(), c.expected.size());
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(c.filter.matches(items[i]), c.expected[i]) << c.what << ", item " << items[i].name;
}

item_filter with(std::function<void(item_filter&)> set) {
    item_filter f;
    set(f);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    conditions, filter_rows,
    ::testing::Values(
        filter_case{"type by extension or carved type, any spelling",
                    with([](item_filter& f) { f.types = qv::parse_types("jpeg,heif"); }),
                    {true, true, true, false, false}},
        filter_case{"minimum size is inclusive",
                    with([](item_filter& f) { f.min_size = *qv::parse_size("50K"); }),
                    {true, false, true, true, true}},
        filter_case{"name glob in any case", with([](item_filter& f) { f.name_globs = {"*.jpg"}; }),
                    {true, true, false, false, false}},
        filter_case{"one of several globs", with([](item_filter& f) { f.name_globs = {"img_*", "*.doc"}; }),
                    {false, false, true, true, false}},
        filter_case{"name contains, any case", with([](item_filter& f) { f.name_contains = "DAY"; }),
                    {true, false, false, false, false}},
        filter_case{"after is inclusive, unknown dates fail",
                    with([](item_filter& f) { f.after = may_first; }), {true, false, false, true, true}},
        filter_case{"before is exclusive", with([](item_filter& f) { f.before = may_first + 2 * day; }),
                    {true, false, true, false, false}},
        filter_case{"a date range", with([](item_filter& f) {
                        f.after = may_first;
                        f.before = may_first + 30 * day;
                    }),
                    {true, false, false, false, true}},
        filter_case{"states", with([](item_filter& f) {
                        f.states = {item_state::intact, item_state::assembled};
                    }),
                    {true, false, true, false, false}},
        filter_case{"every condition at once", with([](item_filter& f) {
                        f.types = {"jpg"};
                        f.min_size = 100 * 1024;
                        f.states = {item_state::intact};
                        f.after = may_first;
                    }),
                    {true, false, false, false, false}}),
    [](const auto& info) { return "case_" + std::to_string(info.index); });

TEST(item_filter, globs_with_a_slash_match_the_path) {
    item_filter f;
    f.name_globs = {"/DCIM/*.jpg"};
    const found_item photo = file("a.jpg", 1, 1);
    EXPECT_TRUE(f.matches(photo, "/DCIM/a.jpg"));
    f.name_globs = {"DCIM/*"};
    EXPECT_TRUE(f.matches(photo, "/DCIM/a.jpg")) << "with or without the leading '/'";
    EXPECT_FALSE(f.matches(photo, "/Other/a.jpg"));
    EXPECT_FALSE(f.matches(photo)) << "no path given";
}

TEST(item_filter, sizes_in_the_spellings_people_type) {
    struct {
        const char* text;
        std::optional<uint64_t> bytes;
    } cases[] = {
        {"700", 700},           {"50K", 51200},          {"50k", 51200},        {"50KB", 51200},
        {"50KiB", 51200},       {"1.5M", 1572864},       {" 2G ", 2147483648u}, {"1T", 1099511627776u},
        {"0", 0},               {"12B", 12},             {"", std::nullopt},    {"K", std::nullopt},
        {"5X", std::nullopt},   {"1.2.3", std::nullopt}, {"-5", std::nullopt},  {"5KBB", std::nullopt},
        {"99999999999999999999T", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(qv::parse_size(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(item_filter, dates_and_times_in_local_time_and_dates_that_do_not_exist) {
    struct {
        const char* text;
        std::optional<int64_t> seconds;
    } cases[] = {
        {"2024-05-01", may_first},
        {"2024-5-1", may_first},
        {"2024-05-01 13:45", may_first + 13 * 3600 + 45 * 60},
        {"2024-05-01T13:45:10", may_first + 13 * 3600 + 45 * 60 + 10},
        {"2024-02-29", may_first - 62 * day},
        {"2023-02-29", std::nullopt},
        {"2024-04-31", std::nullopt},
        {"2024-13-01", std::nullopt},
        {"2024-05-01 25:00", std::nullopt},
        {"2024-05-01x", std::nullopt},
        {"yesterday", std::nullopt},
        {"1969-12-31", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(qv::parse_date(c.text), c.seconds) << '"' << c.text << '"';
}

TEST(item_filter, types_and_states_by_name) {
    EXPECT_EQ(qv::parse_types("jpg, .HEIC,jpeg,,tif"), (std::vector<std::string>{"jpg", "heic", "tiff"}));
    EXPECT_TRUE(qv::parse_types(" , ").empty());
    for (auto s : {item_state::unknown, item_state::intact, item_state::assembled, item_state::overwritten,
                   item_state::damaged})
        EXPECT_EQ(qv::parse_state(qv::state_name(s)), s) << qv::state_name(s);
    EXPECT_EQ(qv::parse_state(" Intact "), item_state::intact);
    EXPECT_EQ(qv::parse_state("fine"), std::nullopt);
    EXPECT_EQ(qv::item_type(file("a.tar.GZ", 0, 0)), "gz");
    EXPECT_EQ(qv::item_type(file("README", 0, 0)), "");
    EXPECT_EQ(qv::item_type(file("trailing.", 0, 0)), "");
    EXPECT_EQ(qv::item_type(file("0001.bin", 0, 0, item_state::unknown, "JPEG")), "jpg")
        << "a carved file's type wins over its name";
}

}  // namespace
