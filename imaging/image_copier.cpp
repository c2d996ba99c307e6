#include "imaging/image_copier.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "devices/device_handle.hpp"

namespace qv::imaging {
namespace {

using clock_type = std::chrono::steady_clock;

// Largest mapfile read back; a map of a few million areas stays below this.
constexpr std::streamsize max_map_file_bytes = 256ll << 20;

bool source_vanished(int error_number, const device_handle& source) {
    return error_number == ENODEV || error_number == ENXIO || error_number == ENOMEDIUM || !source.medium_present();
}

bool all_zero(const uint8_t* p, size_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

std::string utc_now() {
    char buf[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

const char* phase_words(phase p) {
    switch (p) {
        case phase::copying: return "Copying non-tried blocks...";
        case phase::trimming: return "Trimming failed blocks...";
        case phase::scraping: return "Scraping failed blocks...";
        case phase::retrying: return "Retrying bad sectors...";
        case phase::finished: return "Finished";
    }
    return "";
}

// One run of the copy over an open source, image and map.
class copier {
public:
    copier(device_handle& source, int image_fd, std::string map_path, rescue_map map, const imaging_options& o,
           const imaging_hooks& hooks)
        : source_(source), image_fd_(image_fd), map_path_(std::move(map_path)), map_(std::move(map)), o_(o),
          hooks_(hooks), buffer_(std::max(o.block_bytes, o.sector_bytes)), started_(clock_type::now()),
          last_save_(started_), start_time_(utc_now()) {}

    imaging_outcome run(bool resumed);

private:
    enum class step { go_on, stop };

    // Reads [pos, pos + len) and files it: finished and written, or `failed_as`.
    // Returns false after a read error (the area is marked), true after success.
    bool copy_area(uint64_t pos, size_t len, area failed_as);
    step after_read();
    bool save_map(bool force);
    imaging_progress progress() const;

    step copy_pass(bool skip);
    step trim();
    step scrape();
    step retry();
    step sector_by_sector(area from);
    step end_with(imaging_result r, std::string message) {
        outcome_.result = r;
        outcome_.message = std::move(message);
        return step::stop;
    }

    device_handle& source_;
    int image_fd_;
    std::string map_path_;
    rescue_map map_;
    imaging_options o_;
    const imaging_hooks& hooks_;
    std::vector<uint8_t> buffer_;
    clock_type::time_point started_, last_save_;
    std::string start_time_;
    uint64_t read_bytes_ = 0;  // this run
    int last_error_ = 0;
    imaging_outcome outcome_;
};

bool copier::copy_area(uint64_t pos, size_t len, area failed_as) {
    errno = 0;
    int64_t n = source_.read_at(pos, buffer_.data(), len);
    if (n != int64_t(len)) {
        last_error_ = n < 0 ? (errno != 0 ? errno : EIO) : EIO;
        map_.set(pos, len, failed_as);
        return false;
    }
    last_error_ = 0;
    read_bytes_ += len;
    // The image starts as zeros, so blocks of zeros need no write.
    if (!all_zero(buffer_.data(), len)) {
        for (size_t done = 0; done < len;) {
            ssize_t w = ::pwrite(image_fd_, buffer_.data() + done, len - done, off_t(pos + done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                last_error_ = w < 0 ? errno : ENOSPC;
                outcome_.result = imaging_result::failed;
                outcome_.message = std::string("cannot write the image: ") + std::strerror(last_error_);
                return true;  // not a read error; after_read() ends the run
            }
            done += size_t(w);
        }
    }
    map_.set(pos, len, area::finished);
    return true;
}

imaging_progress copier::progress() const {
    imaging_progress p;
    p.size = map_.size();
    p.rescued = map_.bytes_in(area::finished);
    p.bad_bytes = map_.bytes_in(area::bad_sector) + map_.bytes_in(area::non_trimmed) + map_.bytes_in(area::non_scraped);
    p.error_areas = map_.areas_in(area::bad_sector) + map_.areas_in(area::non_trimmed) + map_.areas_in(area::non_scraped);
    p.current_pos = map_.current_pos;
    p.current_phase = map_.current_phase;
    p.pass = map_.current_pass;
    p.elapsed = std::chrono::duration<double>(clock_type::now() - started_).count();
    p.rate = p.elapsed > 0 ? double(read_bytes_) / p.elapsed : 0;
    const uint64_t left = map_.bytes_in(area::non_tried);
    if (p.rate > 0) p.seconds_left = double(left) / p.rate;
    return p;
}

bool copier::save_map(bool force) {
    const auto now = clock_type::now();
    if (!force && std::chrono::duration<double>(now - last_save_).count() < o_.map_interval_seconds) return true;
    last_save_ = now;
    // The image data must be on disk before the map says it is there.
    if (::fdatasync(image_fd_) != 0) {
        outcome_.result = imaging_result::failed;
        outcome_.message = std::string("cannot write the image: ") + std::strerror(errno);
        return false;
    }
    std::ostringstream pass;
    pass << phase_words(map_.current_phase);
    if (map_.current_phase == phase::copying) pass << " Pass " << map_.current_pass;
    const std::vector<std::string> heading = {"Start time:   " + start_time_, "Current time: " + utc_now(), pass.str()};
    if (save_text_atomically(map_path_, map_.text(heading)) != 0) {
        outcome_.result = imaging_result::failed;
        outcome_.message = "cannot write the map file " + map_path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

copier::step copier::after_read() {
    if (outcome_.result == imaging_result::failed) return step::stop;
    if (last_error_ != 0 && source_vanished(last_error_, source_))
        return end_with(imaging_result::source_gone,
                        "the source has gone (unplugged?); run the same command again once it is back");
    if (hooks_.progress) hooks_.progress(progress());
    if (hooks_.stop && hooks_.stop()) return end_with(imaging_result::stopped, "stopped; run the same command again to continue");
    return save_map(false) ? step::go_on : step::stop;
}

copier::step copier::copy_pass(bool skip) {
    uint64_t pos = map_.current_pos;
    uint64_t skip_size = o_.min_skip_bytes;
    while (auto b = map_.next_in(area::non_tried, pos)) {
        uint64_t at = std::max(b->pos, pos);
        const uint64_t end = b->pos + b->size;
        while (at < end) {
            // Reads end on block boundaries, so later passes line up with the first.
            size_t len = size_t(std::min<uint64_t>(o_.block_bytes - at % o_.block_bytes, end - at));
            bool ok = copy_area(at, len, area::non_trimmed);
            at += len;
            if (ok) {
                skip_size = o_.min_skip_bytes;
            } else if (skip) {
                // Past an error the next sectors are likely bad too: jump, further each time.
                at += std::min<uint64_t>(skip_size, end - at);
                skip_size = std::min(skip_size * 2, o_.max_skip_bytes);
            }
            map_.current_pos = at;
            if (after_read() == step::stop) return step::stop;
        }
        pos = end;
    }
    return step::go_on;
}

copier::step copier::trim() {
    const uint64_t sector = o_.sector_bytes;
    // Split the failed blocks first: smaller pieces that read are saved, the
    // ones that fail stay "non-trimmed" and get smaller, down to 4 KiB.
    for (uint64_t piece : {uint64_t(64 * 1024), uint64_t(4096)}) {
        if (piece >= o_.block_bytes || piece <= sector || piece % sector != 0) continue;
        uint64_t pos = 0;
        while (auto b = map_.next_in(area::non_trimmed, pos)) {
            const uint64_t end = b->pos + b->size;
            if (b->size > piece) {
                for (uint64_t at = b->pos; at < end;) {
                    size_t len = size_t(std::min<uint64_t>(piece - at % piece, end - at));
                    copy_area(at, len, area::non_trimmed);
                    at += len;
                    map_.current_pos = at;
                    if (after_read() == step::stop) return step::stop;
                }
            }
            pos = end;
        }
    }
    uint64_t pos = 0;
    while (auto b = map_.next_in(area::non_trimmed, pos)) {
        uint64_t lo = b->pos, hi = b->pos + b->size;
        // From the leading edge forwards until a sector fails ...
        while (lo < hi) {
            size_t len = size_t(std::min<uint64_t>(sector - lo % sector, hi - lo));
            bool ok = copy_area(lo, len, area::bad_sector);
            lo += len;
            map_.current_pos = lo;
            if (after_read() == step::stop) return step::stop;
            if (!ok) break;
        }
        // ... and from the trailing edge backwards.
        while (lo < hi) {
            uint64_t from = hi % sector ? hi - hi % sector : hi - sector;
            from = std::max(from, lo);
            bool ok = copy_area(from, size_t(hi - from), area::bad_sector);
            hi = from;
            map_.current_pos = hi;
            if (after_read() == step::stop) return step::stop;
            if (!ok) break;
        }
        if (lo < hi) map_.set(lo, hi - lo, area::non_scraped);
        pos = b->pos + b->size;
    }
    return step::go_on;
}

// Reads every area marked `from`, from the map's current position on, one
// sector at a time; a sector that still fails is marked bad.
copier::step copier::sector_by_sector(area from) {
    uint64_t pos = map_.current_pos;
    const uint64_t sector = o_.sector_bytes;
    while (auto b = map_.next_in(from, pos)) {
        uint64_t at = std::max(b->pos, pos);
        const uint64_t end = b->pos + b->size;
        while (at < end) {
            size_t len = size_t(std::min<uint64_t>(sector - at % sector, end - at));
            copy_area(at, len, area::bad_sector);
            at += len;
            map_.current_pos = at;
            if (after_read() == step::stop) return step::stop;
        }
        pos = end;
    }
    return step::go_on;
}

copier::step copier::scrape() { return sector_by_sector(area::non_scraped); }

copier::step copier::retry() {
    for (; map_.current_pass <= o_.retry_passes; ++map_.current_pass) {
        if (sector_by_sector(area::bad_sector) == step::stop) return step::stop;
        map_.current_pos = 0;
    }
    return step::go_on;
}

imaging_outcome copier::run(bool resumed) {
    outcome_.resumed = resumed;
    outcome_.result = imaging_result::finished;
    // Each phase starts at position 0 and pass 1 unless the map says the run
    // stopped inside it; a map in a later phase skips the earlier ones.
    auto enter = [this](phase p) {
        if (map_.current_phase != p) {
            map_.current_phase = p;
            map_.current_pos = 0;
            map_.current_pass = 1;
        }
    };
    auto order = [](phase p) {
        switch (p) {
            case phase::copying: return 0;
            case phase::trimming: return 1;
            case phase::scraping: return 2;
            case phase::retrying: return 3;
            case phase::finished: return 4;
        }
        return 0;
    };
    const int from = order(map_.current_phase);
    bool stopped = false;
    if (from <= 0) {
        if (map_.current_pass <= 1) {
            enter(phase::copying);
            stopped = copy_pass(true) == step::stop;
            if (!stopped) {
                map_.current_pass = 2;
                map_.current_pos = 0;
            }
        }
        // The areas the first pass jumped over, without jumping.
        if (!stopped) stopped = copy_pass(false) == step::stop;
    }
    if (!stopped && from <= 1) {
        enter(phase::trimming);
        stopped = trim() == step::stop;
    }
    if (!stopped && from <= 2) {
        enter(phase::scraping);
        stopped = scrape() == step::stop;
    }
    if (!stopped && from <= 3) {
        enter(phase::retrying);
        stopped = retry() == step::stop;
    }
    // Areas a damaged map left in an earlier state are copied on the next run.
    if (!stopped) {
        if (map_.bytes_in(area::non_tried) + map_.bytes_in(area::non_trimmed) + map_.bytes_in(area::non_scraped) == 0) {
            enter(phase::finished);
            map_.current_pos = map_.size();
        } else {
            enter(phase::copying);
        }
    }
    if (outcome_.result != imaging_result::failed && !save_map(true)) outcome_.result = imaging_result::failed;
    outcome_.last = progress();
    return outcome_;
}

}  // namespace

imaging_outcome copy_to_image(device_handle& source, const std::string& image_path, const std::string& map_path,
                              const imaging_options& options_in, const imaging_hooks& hooks) {
    imaging_outcome out;
    imaging_options options = options_in;
    options.sector_bytes = std::max<size_t>(options.sector_bytes, 1);
    options.block_bytes = std::max(options.block_bytes / options.sector_bytes, size_t(1)) * options.sector_bytes;
    const uint64_t size = source.length();

    std::optional<rescue_map> map;
    bool resumed = false;
    {
        std::ifstream in(map_path, std::ios::binary);
        if (in) {
            std::string text;
            text.resize(size_t(max_map_file_bytes));
            in.read(text.data(), max_map_file_bytes);
            text.resize(size_t(in.gcount()));
            std::string error;
            map = rescue_map::parse(text, size, &error);
            if (!map) {
                out.message = map_path + ": " + error + "; remove it to start again";
                return out;
            }
            resumed = true;
        }
    }
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(image_path.c_str(), flags, 0644);
    if (fd < 0) {
        out.message = image_path + ": " + std::strerror(errno);
        return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        out.message = image_path + ": not a regular file";
        return out;
    }
    // A fresh copy starts from an empty file, so whatever cannot be read stays zero.
    if (!resumed && ::ftruncate(fd, 0) != 0) {
        out.message = image_path + ": " + std::strerror(errno);
        ::close(fd);
        return out;
    }
    if (::ftruncate(fd, off_t(size)) != 0) {
        out.message = image_path + ": " + std::strerror(errno);
        ::close(fd);
        return out;
    }
    if (!map) map = rescue_map(size);
    copier c(source, fd, map_path, std::move(*map), options, hooks);
    out = c.run(resumed);
    if (::close(fd) != 0 && out.result != imaging_result::failed) {
        out.result = imaging_result::failed;
        out.message = image_path + ": " + std::strerror(errno);
    }
    return out;
}

}  // namespace qv::imaging
