#pragma once
// A one-line progress bar on standard error, drawn only when it is a terminal.

#include <string>

namespace qv::cli {

class terminal_progress {
public:
    terminal_progress();
    ~terminal_progress();
    // fraction 0..1 and a short status text after the bar.
    void update(double fraction, const std::string& status);
    // Clears the line so ordinary output can follow.
    void clear();
    bool active() const { return active_; }

private:
    bool active_;
    bool drawn_ = false;
};

}  // namespace qv::cli
