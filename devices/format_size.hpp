#pragma once
// The one rule by which every page turns a byte count into text.

#include <QString>

#include <cstdint>

// "%.2fG" above 1 GiB, "%.2fM" above 1 MiB, "%.2fK" above 1 KiB, else "%dB";
// each bound belongs to the lower unit (exactly 1 GiB is "1024.00M").
QString format_size(uint64_t bytes);
