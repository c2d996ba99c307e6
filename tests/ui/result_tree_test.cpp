// Folder trees and file rows from engine results: a real FAT scan of an mtools
// image, and NTFS and deep-scan result maps with hostile shapes.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

#include "engine/deep_core.hpp"
#include "engine/fat_core.hpp"
#include "engine/ntfs_core.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/ui/ui_test_support.hpp"
#include "ui/ntfs_recovery.hpp"
#include "ui/raw_recovery.hpp"
#include "ui/result_tree.hpp"

using qv::ui::add_result_folders;
using qv::ui::folder_rows;
using qv::ui::tree_has_results;

namespace {

// A result's items and the folder tree over them; the model points into both.
struct built_tree {
    std::vector<qv::found_item> items;
    qv::folder_tree tree;
};

std::unique_ptr<built_tree> put_folders(TreeModel& model, std::vector<qv::found_item> items) {
    auto b = std::make_unique<built_tree>();
    b->items = std::move(items);
    b->tree = qv::build_folder_tree(b->items);
    add_result_folders(model, b->tree);
    return b;
}

QList<recovery_item_s> rows_of(const tree_node* node) {
    if (!node || !node->payload) return {};
    return folder_rows(*static_cast<const qv::folder_node*>(node->payload));
}

using qv::test::pseudo_random_bytes;

QStringList titles(const TreeModel& model, const QModelIndex& parent) {
    QStringList out;
    for (int i = 0; i < model.rowCount(parent); ++i)
        out << model.index(i, 0, parent).data().toString();
    return out;
}

const tree_node* child_titled(const tree_node* node, const QString& title) {
    for (const auto& c : node->children)
        if (c->title == title) return c.get();
    return nullptr;
}

TEST(fat_tree, folders_with_deleted_files_below_them_and_their_rows) {
    QV_REQUIRE_MTOOLS();
    qv::test::temp_dir dir;
    qv::test::deleted_files_image img;
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(
        dir / "fat.img", 16, {"/Docs", "/Docs/Sub", "/Live", "/Gone", "/Only", "/Only/Sub1"},
        {{"/Docs/report.doc", pseudo_random_bytes(3000, 1)},
         {"/Docs/Sub/deep.bin", pseudo_random_bytes(5000, 2)},
         {"/Docs/keep.txt", pseudo_random_bytes(10, 3)},
         {"/Live/alive.txt", pseudo_random_bytes(10, 4)},
         {"/Gone/lost.txt", pseudo_random_bytes(700, 5)}},
        {"/Docs/report.doc", "/Docs/Sub/deep.bin", "/Gone/lost.txt"}, &img, &why))
        << why;
    auto engine = qv::test::scan_fat_volume(img.path);

    TreeModel model;
    QAbstractItemModelTester check(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto built = put_folders(model, qv::fat_found_items(engine->items()));
    ASSERT_TRUE(tree_has_results(model));
    QModelIndex slash = model.index(0, 0);
    EXPECT_EQ(slash.data().toString(), "/");
    QStringList top = titles(model, slash);
    top.sort();
    // Live folders without deleted files below them (Live, Only) are no folders here.
    EXPECT_EQ(top, (QStringList{"Docs", "Gone"}));
    const tree_node* docs = child_titled(TreeModel::node(slash), "Docs");
    ASSERT_TRUE(docs);
    ASSERT_EQ(docs->children.size(), 1u);
    EXPECT_EQ(docs->children[0]->title, "Sub");

    QList<recovery_item_s> rows = rows_of(docs);
    ASSERT_EQ(rows.size(), 1) << "the live file and the sub-folder are no rows";
    EXPECT_EQ(rows[0].name, "#eport.doc");
    EXPECT_EQ(rows[0].size, 3000u);
    EXPECT_EQ(rows[0].ticked, 0u);
    const fat_item_s* item = qv::test::item_named(*engine, u"#eport.doc");
    ASSERT_TRUE(item);
    EXPECT_EQ(rows[0].id, item->cluster);
    EXPECT_EQ(rows[0].date1, item->modified);
    EXPECT_EQ(rows[0].date2, item->created);
    EXPECT_EQ(rows[0].attributes, item->attributes);

    // A folder whose children are all folders gives no rows.
    const fat_item_s* only = qv::test::item_named(*engine, u"Only");
    ASSERT_TRUE(only);
    for (const qv::found_item& item : built->items)
        EXPECT_FALSE(item.parent == only->cluster && !item.directory) << item.name;
}

TEST(fat_tree, a_root_with_only_empty_folders_counts_as_empty) {
    qv::fat_item_map items;
    items[0].attributes = 0x10;
    fat_item_s& folder = items[7];
    folder.cluster = 7;
    folder.attributes = 0x10;
    TreeModel model;
    auto built = put_folders(model, qv::fat_found_items(items));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_FALSE(tree_has_results(model));

    TreeModel none;
    qv::folder_tree empty;
    add_result_folders(none, empty);
    EXPECT_EQ(none.rowCount(), 0) << "no root item, no \"/\"";
    EXPECT_FALSE(tree_has_results(none));
}

ntfs_item_s& ntfs_item(qv::ntfs_item_map& map, uint64_t id, uint64_t parent, uint8_t flags,
                       const std::u16string& name) {
    ntfs_item_s& i = map[id];
    i.id = id;
    i.parent = parent;
    i.flags = flags;
    std::copy(name.begin(), name.end(), i.name);
    return i;
}

TEST(ntfs_tree, metadata_records_and_unflagged_folders_never_show) {
    qv::ntfs_item_map map;
    ntfs_item(map, 5, 5, 0x01, u".");
    ntfs_item(map, 9, 5, 0x01, u"$Secure");  // metadata folder
    ntfs_item(map, 11, 5, 0x01, u"$Extend");
    ntfs_item(map, 40, 5, 0x01, u"Photos");
    ntfs_item(map, 41, 5, 0x00, u"NotAFolder");  // directory bit missing
    ntfs_item(map, 42, 5, 0x01, u"Empty");       // nothing below
    ntfs_item(map, 50, 40, 0x82, u"a.jpg").size = 1234;
    ntfs_item(map, 51, 40, 0x02, u"live.txt");
    ntfs_item(map, 52, 40, 0x81, u"gone-dir");
    ntfs_item(map, 3, 40, 0x82, u"$Volume");

    TreeModel model;
    QAbstractItemModelTester check(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto built = put_folders(model, qv::ntfs_found_items(map));
    ASSERT_TRUE(tree_has_results(model));
    EXPECT_EQ(titles(model, model.index(0, 0)), QStringList{"Photos"});

    QList<recovery_item_s> rows = rows_of(TreeModel::node(model.index(0, 0, model.index(0, 0))));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].name, "a.jpg");
    EXPECT_EQ(rows[0].id, 50u);
    EXPECT_EQ(rows[0].size, 1234u);
    EXPECT_EQ(rows[0].attributes, 0x82);
    EXPECT_EQ(rows[1].name, "live.txt");
    EXPECT_EQ(rows[1].attributes, 0x02);
}

TEST(ntfs_tree, a_parent_loop_through_the_root_ends) {
    qv::ntfs_item_map map;
    ntfs_item(map, 5, 30, 0x01, u".");
    ntfs_item(map, 30, 5, 0x01, u"loop");
    ntfs_item(map, 31, 30, 0x01, u"inner");
    ntfs_item(map, 32, 31, 0x82, u"kept.txt");  // a deleted file, so the folders hold results
    ntfs_item(map, 33, 34, 0x81, u"ring-a");  // folders that are each other's parents
    ntfs_item(map, 34, 33, 0x81, u"ring-b");
    ntfs_item(map, 35, 34, 0x82, u"in-ring.txt");
    TreeModel model;
    auto built = put_folders(model, qv::ntfs_found_items(map));
    QModelIndex loop = model.index(0, 0, model.index(0, 0));
    EXPECT_EQ(loop.data().toString(), "loop");
    QModelIndex inner = model.index(0, 0, loop);
    EXPECT_EQ(inner.data().toString(), "inner");
    EXPECT_EQ(model.rowCount(inner), 0);
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 1) << "folders in a ring never reach the root";
    qv::item_index index(built->items);
    EXPECT_FALSE(qv::item_path(index, 35).has_value()) << "a path through a ring is refused";
    EXPECT_EQ(qv::item_path(index, 32, "/mnt/"), "/mnt/loop/inner/kept.txt");
}

TEST(deep_tree, one_folder_per_type_and_numbered_rows) {
    std::vector<raw_item_s> records(8);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].index = i;
        records[i].offset = 512 * i;
        records[i].size = 100 + i;
        std::memcpy(records[i].type, i % 2 ? "png" : "jpg", 3);
    }
    std::memcpy(records[6].type, "longtype", 8);  // fills the field: no terminator
    raw_recovery_c::type_map types{
        {"jpg", {0, 2, 4}}, {"png", {1, 3, 5, 7}}, {"longtypename", {6, 99}}};

    TreeModel model;
    QAbstractItemModelTester check(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto built = put_folders(model, qv::deep_found_items(records, types));
    ASSERT_TRUE(tree_has_results(model));
    QModelIndex slash = model.index(0, 0);
    EXPECT_EQ(TreeModel::node(slash)->payload, nullptr);
    EXPECT_EQ(titles(model, slash), (QStringList{"jpg", "longtypename", "png"}));

    QList<recovery_item_s> rows = rows_of(TreeModel::node(model.index(0, 0, slash)));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[1].name, "00000002.jpg");
    EXPECT_EQ(rows[1].id, 2u);
    EXPECT_EQ(rows[1].size, 102u);
    EXPECT_EQ(rows[1].date1, 0);
    EXPECT_EQ(rows[1].attributes, 0);
    rows = rows_of(TreeModel::node(model.index(1, 0, slash)));
    ASSERT_EQ(rows.size(), 1) << "a record number past the end is skipped";
    EXPECT_EQ(rows[0].name, "00000006.longtype");

    TreeModel empty;
    auto none = put_folders(empty, qv::deep_found_items(records, {}));
    EXPECT_FALSE(tree_has_results(empty));
}

}  // namespace
