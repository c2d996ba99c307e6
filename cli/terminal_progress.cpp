#include "cli/terminal_progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace qv::cli {

terminal_progress::terminal_progress() : active_(isatty(STDERR_FILENO) == 1) {}

terminal_progress::~terminal_progress() { clear(); }

void terminal_progress::update(double fraction, const std::string& status) {
    if (!active_) return;
    fraction = std::clamp(fraction, 0.0, 1.0);
    constexpr int width = 30;
    int filled = int(fraction * width);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '.');
    std::fprintf(stderr, "\r[%s] %3d%%  %s\033[K", bar.c_str(), int(fraction * 100), status.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void terminal_progress::clear() {
    if (active_ && drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace qv::cli
