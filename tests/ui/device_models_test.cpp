// The drive, volume and partition list models.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

#include "devices/volume_items.hpp"
#include "partition/partition_item.hpp"
#include "ui/device_models.hpp"
#include "ui/partition_model.hpp"

namespace {

QList<volume_item_s> sample_volumes() {
    volume_item_s a;
    a.device_name = a.volume_name = a.mount_path = "/img/card.img#1";
    a.file_system = "FAT32";
    a.total_bytes = 1000;
    volume_item_s b = a;
    b.device_name = b.volume_name = b.mount_path = "/img/card.img#2";
    return {volume_item_s{}, a, b};
}

QList<drive_item_s> sample_drives(int n) {
    QList<drive_item_s> list{drive_item_s{}};
    for (int i = 0; i < n; ++i) list.append({QString("/img/d%1.img").arg(i), 1 << 20, qv::disk_geometry{}});
    return list;
}

TEST(device_models, pass_the_model_tester_and_give_each_row_as_its_record) {
    QList<volume_item_s> volumes = sample_volumes();
    volume_model_c vm(volumes);
    QAbstractItemModelTester vt(&vm, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(vm.rowCount(), 3);
    EXPECT_EQ(vm.data(vm.index(2, 0)).value<volume_item_s>().device_name, "/img/card.img#2");
    EXPECT_TRUE(vm.data(vm.index(0, 0)).value<volume_item_s>().mount_path.isEmpty()) << "heading entry";
    EXPECT_FALSE(vm.data(vm.index(1, 0), Qt::DecorationRole).isValid());
    EXPECT_EQ(vm.rowCount(vm.index(1, 0)), 0);

    QList<drive_item_s> drives = sample_drives(4);
    drive_model_c dm(drives);
    QAbstractItemModelTester dt(&dm, QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(dm.rowCount(), 5) << "four drives after the heading row";
    EXPECT_FALSE(dm.data(dm.index(0, 0)).value<drive_item_s>().geometry.has_value());
    EXPECT_EQ(dm.data(dm.index(4, 0)).value<drive_item_s>().name, "/img/d3.img");
}

TEST(device_models, refer_to_their_list_and_give_nothing_for_rows_it_no_longer_has) {
    QList<volume_item_s> volumes = sample_volumes();
    volume_model_c vm(volumes);
    QModelIndex last = vm.index(2, 0);
    volumes.resize(1);  // the list was rebuilt shorter before the page put on a new model
    EXPECT_EQ(vm.rowCount(), 1);
    EXPECT_FALSE(vm.data(last).isValid());

    QList<drive_item_s> drives = sample_drives(1);
    drive_model_c dm(drives);
    QModelIndex row1 = dm.index(1, 0);
    drives.clear();
    EXPECT_FALSE(dm.data(row1).isValid());
}

TEST(partition_model, holds_its_snapshot_and_passes_the_model_tester) {
    QList<partition_item_s> found{{"NTFS", 7, 2048, 4095}, {"FAT32", 0x0C, 4096, 8191}, {"NTFS", 7, 8192, 9000}};
    partition_model_c model(found);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    found.clear();
    ASSERT_EQ(model.rowCount(), 3);
    auto p = model.data(model.index(1, 0)).value<partition_item_s>();
    EXPECT_EQ(p.fs_name, "FAT32");
    EXPECT_EQ(p.start_sector, 4096u);
    EXPECT_FALSE(model.data(model.index(1, 0), Qt::EditRole).isValid());

    partition_model_c empty({});
    QAbstractItemModelTester empty_tester(&empty, QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(empty.rowCount(), 0);
}

}  // namespace
