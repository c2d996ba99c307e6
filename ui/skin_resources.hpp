#pragma once
// Registers the compiled-in skin images (":/images/...") with Qt's resource system.

namespace qv::ui {

// Safe to call more than once; every window that shows skin images calls it.
void init_skin_resources();

}  // namespace qv::ui
