// The filter row above the file table: what its fields ask for, fields it
// cannot read, clearing, and the count it shows.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

#include "app/language_settings.hpp"
#include "ui/filter_row.hpp"
#include "ui/row_filter.hpp"

using qv::ui::filter_row_c;
using qv::ui::filtered_rows;
using qv::ui::row_matches;

namespace {

// 2024-05-01 00:00 UTC (the tests run with TZ=UTC).
constexpr int64_t may_first = 1714521600;

TEST(filter_row, fields_make_the_filter) {
    filter_row_c row;
    QSignalSpy changed(&row, &filter_row_c::changed);
    EXPECT_FALSE(row.filter().active());
    row.type_field()->setText("JPEG, png");
    row.min_size_field()->setText("50K");
    row.name_field()->setText(" holiday ");
    row.from_field()->setText("2024-05-01");
    row.to_field()->setText("2024-05-31");
    row.state_box()->setCurrentIndex(row.state_box()->findText(language_text("state_name_overwritten")));
    EXPECT_EQ(changed.size(), 6);

    const qv::item_filter f = row.filter();
    EXPECT_EQ(f.types, (std::vector<std::string>{"jpg", "png"}));
    EXPECT_EQ(f.min_size, 51200u);
    EXPECT_EQ(f.name_contains, "holiday");
    EXPECT_EQ(f.after, may_first);
    EXPECT_EQ(f.before, may_first + 31 * 86400) << "the last day is included";
    EXPECT_EQ(f.states, std::vector<qv::item_state>{qv::item_state::overwritten});
    EXPECT_TRUE(f.name_globs.empty());
}

TEST(filter_row, fields_it_cannot_read_ask_for_nothing_and_turn_red) {
    filter_row_c row;
    row.min_size_field()->setText("lots");
    row.from_field()->setText("2024-02-30");
    EXPECT_FALSE(row.filter().active());
    EXPECT_FALSE(row.min_size_field()->styleSheet().isEmpty());
    EXPECT_FALSE(row.from_field()->styleSheet().isEmpty());
    EXPECT_TRUE(row.to_field()->styleSheet().isEmpty());
    row.min_size_field()->setText("2M");
    EXPECT_TRUE(row.min_size_field()->styleSheet().isEmpty());
    EXPECT_EQ(row.filter().min_size, 2u << 20);
}

TEST(filter_row, clear_empties_every_field_with_one_change) {
    filter_row_c row;
    row.type_field()->setText("jpg");
    row.from_field()->setText("nonsense");
    row.state_box()->setCurrentIndex(2);
    row.show_counts(3, 10);
    EXPECT_FALSE(row.count_label()->text().isEmpty());
    QSignalSpy changed(&row, &filter_row_c::changed);
    row.clear_button()->click();
    EXPECT_EQ(changed.size(), 1);
    EXPECT_FALSE(row.filter().active());
    EXPECT_EQ(row.state_box()->currentIndex(), 0);
    EXPECT_TRUE(row.from_field()->text().isEmpty());
    EXPECT_TRUE(row.from_field()->styleSheet().isEmpty());
    row.show_counts(10, 10);
    EXPECT_TRUE(row.count_label()->text().isEmpty()) << "no count without a filter";
}

TEST(filter_row, the_count_names_shown_and_total) {
    filter_row_c row;
    row.name_field()->setText("a");
    row.show_counts(12, 40);
    EXPECT_EQ(row.count_label()->text(), language_text("filter_shown").arg(12).arg(40));
    EXPECT_TRUE(row.count_label()->text().contains("12"));
    EXPECT_TRUE(row.count_label()->text().contains("40"));
}

}  // namespace

namespace {

recovery_item_s table_row(const char* name, uint64_t size, int64_t modified, qv::item_state state) {
    recovery_item_s r;
    r.name = QString::fromUtf8(name);
    r.size = size;
    r.date1 = modified;
    r.state = state;
    return r;
}

TEST(row_filter, rows_pass_by_extension_size_name_date_and_state_in_order) {
    const QList<recovery_item_s> rows = {
        table_row("00000012.jpg", 80 << 10, 0, qv::item_state::damaged),
        table_row("Urlaub_Strand.JPEG", 300 << 10, may_first + 5, qv::item_state::intact),
        table_row("notes.txt", 300 << 10, may_first + 5, qv::item_state::intact),
        table_row("strand.jpg", 10 << 10, may_first + 5, qv::item_state::intact),
    };
    EXPECT_EQ(filtered_rows(rows, {}).size(), 4) << "no filter: every row";
    qv::item_filter f;
    f.types = {"jpg"};
    f.min_size = 50 << 10;
    QList<recovery_item_s> shown = filtered_rows(rows, f);
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[0].name, "00000012.jpg");
    EXPECT_EQ(shown[1].name, "Urlaub_Strand.JPEG");
    f.name_contains = "strand";
    f.after = may_first;
    f.states = {qv::item_state::intact};
    shown = filtered_rows(rows, f);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].name, "Urlaub_Strand.JPEG");
    EXPECT_TRUE(row_matches(f, rows[1]));
    EXPECT_FALSE(row_matches(f, rows[0]));
}

}  // namespace
