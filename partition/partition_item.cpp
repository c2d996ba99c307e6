#include "partition/partition_item.hpp"

namespace qv::partition {

void register_partition_meta_types() {
    qRegisterMetaType<partition_item_s>("partition_item_s");
}

}  // namespace qv::partition
