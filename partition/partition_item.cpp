#include "partition/partition_item.hpp"

void register_partition_meta_types() {
    qRegisterMetaType<partition_item_s>("partition_item_s");
}
