#include "app/init_worker.hpp"

#include "devices/volume_items.hpp"
#include "engine/sector_device.hpp"
#include "engine/volume_free_space.hpp"

void init_c::run() {
    enumerate_volumes();
    qv::count_unmounted_free_space(volume_items);
    enumerate_drives();
    open_physical_drives();
    init_ready = 1;
    emit init_finished();
}
