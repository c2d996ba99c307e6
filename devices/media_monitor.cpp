#include "devices/media_monitor.hpp"

#include <libudev.h>
#include <unistd.h>

#include <cstring>

namespace qv {

namespace {

// udev re-broadcasts the kernel's events once its rules have run (device nodes
// made, properties known); without a udev daemon the kernel's own are all there is.
const char* event_source() { return ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel"; }

media_event::kind kind_of(const char* action) {
    if (action && std::strcmp(action, "add") == 0) return media_event::kind::added;
    if (action && std::strcmp(action, "remove") == 0) return media_event::kind::removed;
    return media_event::kind::changed;
}

}  // namespace

media_monitor::~media_monitor() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

bool media_monitor::start() {
    if (monitor_) return true;
    udev_ = udev_new();
    if (!udev_) return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, event_source());
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        if (monitor_) udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        udev_unref(udev_);
        udev_ = nullptr;
        return false;
    }
    return true;
}

int media_monitor::fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

std::vector<media_event> media_monitor::take_events() {
    std::vector<media_event> events;
    if (!monitor_) return events;
    // The socket is non-blocking: receive returns null once it is drained.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        media_event e;
        e.what = kind_of(udev_device_get_action(device));
        if (const char* node = udev_device_get_devnode(device)) e.device = node;
        if (const char* type = udev_device_get_devtype(device)) e.disk = std::strcmp(type, "disk") == 0;
        events.push_back(std::move(e));
        udev_device_unref(device);
    }
    return events;
}

}  // namespace qv
