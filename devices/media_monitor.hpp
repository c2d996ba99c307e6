#pragma once
// Block devices coming, going and changing medium, told by the kernel (or by udev
// where it runs): a socket for the caller's event loop to watch, no thread, no polling.

#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace qv {

struct media_event {
    enum class kind { added, removed, changed };
    kind what = kind::changed;
    std::string device;   // "/dev/sdb1"; empty when the event names none
    bool disk = false;    // a whole disk rather than a partition
};

class media_monitor {
public:
    media_monitor() = default;
    ~media_monitor();
    media_monitor(const media_monitor&) = delete;
    media_monitor& operator=(const media_monitor&) = delete;

    // Opens the event socket; false when the system gives none (the caller then
    // relies on Refresh).
    bool start();
    // Readable when events wait; -1 before start() succeeded.
    int fd() const;
    // The events waiting now, oldest first; never blocks.
    std::vector<media_event> take_events();

private:
    ::udev* udev_ = nullptr;
    ::udev_monitor* monitor_ = nullptr;
};

}  // namespace qv
