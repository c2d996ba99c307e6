#pragma once
// Copies a failing drive or volume into an image file, read-only and
// resumable: large blocks first, skipping ahead past errors, then the failed
// areas split down to single sectors with a few retries. Every area's state
// is kept in a GNU ddrescue mapfile; unreadable sectors stay zero in the image.

#include <cstdint>
#include <functional>
#include <string>

#include "imaging/rescue_map.hpp"

namespace qv {
class device_handle;
}

namespace qv::imaging {

struct imaging_options {
    size_t block_bytes = 1 << 20;         // first pass read size
    size_t sector_bytes = 512;            // smallest read when splitting failed areas
    uint64_t min_skip_bytes = 64 * 1024;  // first jump past an error; doubles while errors go on
    uint64_t max_skip_bytes = 1ull << 30;
    int retry_passes = 2;                 // reads more of each bad sector at the end
    double map_interval_seconds = 5.0;    // the mapfile (and the image) are made durable this often
};

struct imaging_progress {
    uint64_t size = 0;
    uint64_t rescued = 0;    // bytes copied
    uint64_t bad_bytes = 0;  // bytes in areas that failed (bad sectors and areas not split yet)
    uint64_t error_areas = 0;
    uint64_t current_pos = 0;
    phase current_phase = phase::copying;
    int pass = 1;
    double rate = 0;           // bytes read per second in this run
    double elapsed = 0;        // seconds of this run
    double seconds_left = -1;  // -1 while unknown
};

struct imaging_hooks {
    std::function<bool()> stop;                                 // true ends the run; the map is saved
    std::function<void(const imaging_progress&)> progress;      // after every read
};

enum class imaging_result {
    finished,      // every area tried: the image is complete but for bad sectors
    stopped,       // asked to stop; run again to continue
    source_gone,   // the source vanished (unplugged); run again once it is back
    failed,        // the image or the map cannot be written, or the map does not fit the source
};

struct imaging_outcome {
    imaging_result result = imaging_result::failed;
    std::string message;  // for stopped, source_gone and failed
    imaging_progress last;
    bool resumed = false;  // an existing map was continued
};

// Copies source (opened read-only) into image_path following map_path: an
// existing map is continued (the image must be the one it describes); without
// one the image is started afresh. The map is written atomically as the copy
// goes, after the image data it describes has been flushed.
imaging_outcome copy_to_image(device_handle& source, const std::string& image_path, const std::string& map_path,
                              const imaging_options& options, const imaging_hooks& hooks);

}  // namespace qv::imaging
