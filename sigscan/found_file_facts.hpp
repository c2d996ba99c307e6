#pragma once
// What a found file says about itself beyond its size: when the picture or
// movie was taken, and whether its content decodes whole.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_handle.hpp"

namespace qv::sig {

enum class content_state : uint8_t {
    unchecked,  // no check for this type, or the check could not read the file
    intact,     // every checked part decoded and matched its checksums
    damaged,    // a checksum failed or the data does not decode to its end
};

struct file_facts {
    int64_t taken = 0;  // seconds since 1970 UTC; 0: the file does not say
    content_state state = content_state::unchecked;
};

// The capture time a file of this type records in itself: EXIF DateTimeOriginal
// for JPEG, TIFF-based RAW, HEIC and AVIF; the movie header's creation time for
// MP4, MOV and their relatives. 0 when there is none or the type has none.
int64_t capture_time(device_handle& device, uint64_t offset, uint64_t size, std::string_view type);

// Decodes or checksums the content: JPEG (libjpeg), PNG (chunk CRCs and the
// zlib stream), ZIP and its relatives (the CRCs of the first entries).
content_state check_content(device_handle& device, uint64_t offset, uint64_t size, std::string_view type);

// True for the types check_content and capture_time look at.
bool has_content_check(std::string_view type);
bool has_capture_time(std::string_view type);

struct found_span {
    uint64_t offset = 0;
    uint64_t size = 0;
    std::string type;
};

// capture_time and check_content for every file, on up to `threads` worker
// threads (device reads must be safe from several threads, as pread is).
// When stop_requested (may be empty) says true, the work ends early: files not
// reached keep default facts.
std::vector<file_facts> examine_found_files(device_handle& device, const std::vector<found_span>& files,
                                            unsigned threads, const std::function<bool()>& stop_requested = {});

// Worker threads for the checks: one per core (up to four). The scan itself
// mostly waits for the device, and a JPEG decode check is slower per core
// than a card reads.
unsigned examiner_threads();

// The same work while a scan is still reading: files are handed over as they
// are found and examined on worker threads, so that on a device slower than
// the checks (any card or disk) they cost next to no extra time.
class found_file_examiner {
public:
    // device must stay open until finish() returns; threads at least 1.
    found_file_examiner(device_handle& device, unsigned threads);
    ~found_file_examiner();  // finishes
    found_file_examiner(const found_file_examiner&) = delete;
    found_file_examiner& operator=(const found_file_examiner&) = delete;

    void add(const found_span& file);
    // Ends early: files not examined yet keep default facts.
    void cancel();
    // Waits for the work to end; the facts in the order the files were added.
    std::vector<file_facts> finish();

private:
    struct shared;
    std::unique_ptr<shared> shared_;
};

}  // namespace qv::sig
