#pragma once
// Builds the engine for a volume and runs its scan with a progress bar and Ctrl+C to stop.

#include <memory>
#include <string>

#include "devices/volume_items.hpp"
#include "engine/recovery_base.hpp"

// "fat", "ntfs" or "deep"; null for a kind this build has no engine for.
// every_byte: the deep scan tests every byte offset, not only sector starts.
std::unique_ptr<recovery_base_c> make_engine(const std::string& kind, bool every_byte = false);
// Runs the scan on the engine's thread and waits for it. Returns false when
// the user stopped it (the partial result stays in the engine).
bool run_scan(recovery_base_c& engine, const volume_item_s& volume, bool deep);
