#pragma once
// The process-wide flag that the recovery page raises while its scan thread
// runs; the main window asks before navigating away while it is set.

inline bool scan_running = false;
