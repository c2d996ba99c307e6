// quorvane-cli image: copies a failing drive or volume into an image file, resumably.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "cli/cli_volume.hpp"
#include "cli/commands.hpp"
#include "cli/terminal_progress.hpp"
#include "devices/device_catalog.hpp"
#include "devices/format_size.hpp"
#include "imaging/image_copier.hpp"

namespace qv::cli {

namespace {

volatile std::sig_atomic_t interrupted = 0;
void on_interrupt(int) { interrupted = 1; }

std::string size_text(uint64_t bytes) { return format_size(bytes).toStdString(); }

std::string time_text(double seconds) {
    if (seconds < 0) return "?";
    auto s = uint64_t(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%lluh%02llum", (unsigned long long)(s / 3600), (unsigned long long)(s / 60 % 60));
    else
        std::snprintf(buf, sizeof buf, "%llum%02llus", (unsigned long long)(s / 60), (unsigned long long)(s % 60));
    return buf;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int cmd_image(const image_options& o) {
    std::string error;
    if (!open_named_drive(o.source, &error)) return fail_usage(error);
    const std::string map = o.map.empty() ? o.to + ".map" : o.map;
    if (same_file(o.source, o.to) || same_file(o.source, map))
        return fail_usage(o.to + ": the image must not be the source itself");
    auto source = qv::device_catalog::shared().open(o.source, qv::access_mode::read_only, &error);
    if (!source) return fail_usage(error);

    qv::imaging::imaging_options options;
    options.retry_passes = o.retries;
    options.map_interval_seconds = o.save_every;
    terminal_progress bar;
    qv::imaging::imaging_hooks hooks;
    hooks.stop = [] { return interrupted != 0; };
    hooks.progress = [&](const qv::imaging::imaging_progress& p) {
        if (!bar.active()) return;
        double done = p.size ? double(p.rescued + p.bad_bytes) / double(p.size) : 1.0;
        bar.update(done, "rescued " + size_text(p.rescued) + ", errors " + std::to_string(p.error_areas) + " (" +
                             size_text(p.bad_bytes) + "), " + size_text(uint64_t(p.rate)) + "/s, left " +
                             time_text(p.seconds_left));
    };
    interrupted = 0;
    auto previous = std::signal(SIGINT, on_interrupt);
    auto out = qv::imaging::copy_to_image(*source, o.to, map, options, hooks);
    std::signal(SIGINT, previous);
    bar.clear();

    const auto& p = out.last;
    if (out.result == qv::imaging::imaging_result::failed) return fail_usage(out.message);
    std::fprintf(stderr, "%s%s: %s rescued of %s, %s unreadable in %llu areas, %s/s; map: %s\n",
                 out.resumed ? "continued " : "", o.to.c_str(), size_text(p.rescued).c_str(), size_text(p.size).c_str(),
                 size_text(p.bad_bytes).c_str(), (unsigned long long)p.error_areas,
                 size_text(uint64_t(p.rate)).c_str(), map.c_str());
    if (out.result != qv::imaging::imaging_result::finished) {
        std::fprintf(stderr, "quorvane-cli: %s\n", out.message.c_str());
        return 1;
    }
    // Complete: exit 0 when every byte was read, 1 when some stay unreadable (zeros in the image).
    return p.bad_bytes == 0 ? 0 : 1;
}

}  // namespace qv::cli
