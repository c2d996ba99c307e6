#pragma once
// What a carving scan asks of whoever runs it between pieces of work: whether
// to go on (holding while paused), and where it has got to.

#include <chrono>
#include <thread>

struct sc_context_s;

namespace qv::sig {

class scan_gate {
public:
    virtual ~scan_gate() = default;
    // Holds while paused; false once a stop was asked for.
    virtual bool keep_going() = 0;
    // The fraction of the device scanned so far, 0.0 to 1.0.
    virtual void scanned(double fraction) = 0;
};

// The gate over the library's shared context (sc_scan_ex).
class context_gate final : public scan_gate {
public:
    explicit context_gate(sc_context_s& context) : context_(context) {}
    bool keep_going() override;
    void scanned(double fraction) override;

private:
    sc_context_s& context_;
};

// Sleep between looks while a scan is paused.
inline constexpr std::chrono::milliseconds pause_step{20};

}  // namespace qv::sig
