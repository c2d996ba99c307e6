#include "app/init_worker.hpp"

#include "devices/volume_items.hpp"
#include "engine/sector_device.hpp"

void init_c::run() {
    enumerate_volumes();
    enumerate_drives();
    open_physical_drives();
    init_ready = 1;
    emit init_finished();
}
