// The folder tree and file table models: structure checked by QAbstractItemModelTester,
// sorting toggles, ticks and headings.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "app/language_settings.hpp"
#include "ui/recovery_model.hpp"
#include "ui/tree_model.hpp"

namespace {

using tester = QAbstractItemModelTester;

recovery_item_s row(const char* name, uint64_t size, int64_t date1, int64_t date2, uint64_t id) {
    recovery_item_s r;
    r.name = QString::fromUtf8(name);
    r.size = size;
    r.date1 = date1;
    r.date2 = date2;
    r.id = id;
    return r;
}

QList<uint64_t> ids(const QList<recovery_item_s>& rows) {
    QList<uint64_t> out;
    for (const auto& r : rows) out << r.id;
    return out;
}

TEST(tree_model, nodes_indexes_and_roles) {
    TreeModel model;
    tester check(&model, tester::FailureReportingMode::Fatal);
    tree_node* slash = model.root()->add_child("/", nullptr);
    tree_node* docs = slash->add_child("Docs", &model);
    slash->add_child("Photos", nullptr);
    docs->add_child("2024", nullptr);

    ASSERT_EQ(model.rowCount(), 1);
    QModelIndex s = model.index(0, 0);
    EXPECT_EQ(model.data(s, Qt::DisplayRole).toString(), "/");
    EXPECT_FALSE(model.parent(s).isValid())
        << "children of the invisible root have no parent index";
    ASSERT_EQ(model.rowCount(s), 2);
    QModelIndex photos = model.index(1, 0, s);
    EXPECT_EQ(model.data(photos, Qt::DisplayRole).toString(), "Photos");
    EXPECT_EQ(model.parent(photos), s);
    QModelIndex year = model.index(0, 0, model.index(0, 0, s));
    EXPECT_EQ(model.parent(year).row(), 0);
    EXPECT_EQ(TreeModel::node(model.index(0, 0, s))->payload, &model);
    EXPECT_FALSE(model.data(photos, Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_FALSE(model.data(photos, Qt::ToolTipRole).isValid());
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Title");
    EXPECT_FALSE(model.headerData(0, Qt::Vertical, Qt::DisplayRole).isValid());
    EXPECT_EQ(model.flags(photos), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    EXPECT_EQ(model.flags(QModelIndex()), Qt::NoItemFlags);
    EXPECT_FALSE(model.index(2, 0, s).isValid());
    EXPECT_FALSE(model.index(0, 1, s).isValid());
    EXPECT_EQ(model.rowCount(model.index(0, 0).siblingAtColumn(0)), 2);
}

class table_model : public ::testing::Test {
protected:
    QList<recovery_item_s> rows{
        row("b.txt", 300, 20, -5, 1),
        row("A.jpg", 0x8000000000000001ull, -100, 7, 2),
        row("a.doc", 10, 0, 3, 3),
        row("Ä.bin", 1, 50, 1, 4),
    };
    recovery_model_c model{rows};
    tester check{&model, tester::FailureReportingMode::Fatal};
};

TEST_F(table_model, shows_the_page_rows_without_copying_them) {
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.columnCount(), 5);
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 0);
    for (int column = 0; column < 5; ++column) {
        QVariant v = model.data(model.index(1, column), Qt::DisplayRole);
        ASSERT_EQ(v.metaType(), QMetaType::fromType<recovery_item_s>());
        EXPECT_EQ(v.value<recovery_item_s>().id, 2u) << "every column carries the whole row";
    }
    EXPECT_FALSE(model.data(model.index(0, 1), Qt::EditRole).isValid());
    rows[0].name = "changed";
    EXPECT_EQ(model.data(model.index(0, 1), Qt::DisplayRole).value<recovery_item_s>().name,
              "changed");
    EXPECT_EQ(model.flags(model.index(0, 0)),
              Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren);
}

TEST_F(table_model, headings_come_from_the_language_table) {
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "checkbox");
    const char* keys[] = {"recovery_name", "drive_size", "recovery_date1", "recovery_date2"};
    for (int i = 1; i <= 4; ++i) {
        EXPECT_FALSE(language_text(keys[i - 1]).isEmpty());
        EXPECT_EQ(model.headerData(i, Qt::Horizontal, Qt::DisplayRole).toString(),
                  language_text(keys[i - 1]));
    }
    EXPECT_FALSE(model.headerData(5, Qt::Horizontal, Qt::DisplayRole).isValid());
    EXPECT_FALSE(model.headerData(1, Qt::Vertical, Qt::DisplayRole).isValid());
    EXPECT_FALSE(model.headerData(1, Qt::Horizontal, Qt::FontRole).isValid());
}

TEST_F(table_model, ticking_changes_only_the_tick_cell) {
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.set_ticked(2, 1);
    EXPECT_EQ(rows[2].ticked, 1u);
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(2, 0));
    EXPECT_EQ(changed[0][1].toModelIndex(), model.index(2, 0));
    model.set_ticked(2, 0);
    EXPECT_EQ(rows[2].ticked, 0u);
    model.set_ticked(9, 1);  // past the end: ignored
    EXPECT_EQ(changed.size(), 2);
}

struct sort_case {
    int column;
    QList<uint64_t> ascending;  // ids after the first click
};

class table_sorting : public table_model, public ::testing::WithParamInterface<sort_case> {};

TEST_P(table_sorting, first_click_ascends_then_each_click_flips) {
    const auto& c = GetParam();
    QList<uint64_t> descending(c.ascending.rbegin(), c.ascending.rend());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.sort_by_column(c.column);
    EXPECT_EQ(ids(rows), c.ascending);
    EXPECT_TRUE(model.sort_toggle(c.column));
    model.sort_by_column(c.column);
    EXPECT_EQ(ids(rows), descending);
    model.sort_by_column(c.column);
    EXPECT_EQ(ids(rows), c.ascending);
    ASSERT_EQ(changed.size(), 3);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(0, 0));
    EXPECT_EQ(changed[0][1].toModelIndex(), model.index(3, 4));
}

INSTANTIATE_TEST_SUITE_P(
    by_column, table_sorting,
    ::testing::Values(
        // Names compare by UTF-16 code units: upper case first, then lower, then Ä.
        sort_case{1, {2, 3, 1, 4}},
        // Sizes are unsigned 64-bit.
        sort_case{2, {4, 3, 1, 2}},
        // Dates are signed: before 1970 sorts first.
        sort_case{3, {2, 3, 1, 4}}, sort_case{4, {1, 4, 3, 2}}));

TEST_F(table_model, each_column_keeps_its_own_toggle_and_ticks_move_with_rows) {
    rows[1].ticked = 1;  // A.jpg
    model.sort_by_column(1);
    model.sort_by_column(1);  // names descending
    model.sort_by_column(2);  // the size toggle is still off: ascending
    EXPECT_EQ(ids(rows), (QList<uint64_t>{4, 3, 1, 2}));
    EXPECT_EQ(rows[3].ticked, 1u) << "the tick belongs to the row";
    EXPECT_FALSE(model.sort_toggle(3));
}

TEST_F(table_model, the_tick_column_only_flips_its_toggle) {
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QList<uint64_t> before = ids(rows);
    model.sort_by_column(0);
    EXPECT_TRUE(model.sort_toggle(0));
    EXPECT_EQ(ids(rows), before);
    model.sort_by_column(-1);
    model.sort_by_column(8);
    EXPECT_EQ(changed.size(), 0);
}

TEST(table_model_empty, sorting_no_rows_is_harmless) {
    QList<recovery_item_s> rows;
    recovery_model_c model(rows);
    tester check(&model, tester::FailureReportingMode::Fatal);
    model.sort_by_column(1);
    EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace
