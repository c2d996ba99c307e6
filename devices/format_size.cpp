#include "devices/format_size.hpp"

#include <cstdio>

QString format_size(uint64_t bytes) {
    char text[64];
    double v = double(bytes);
    if (bytes > 0x40000000ull)
        std::snprintf(text, sizeof text, "%.2fG", v / 1073741824.0);
    else if (bytes > 0x100000ull)
        std::snprintf(text, sizeof text, "%.2fM", v / 1048576.0);
    else if (bytes > 1024ull)
        std::snprintf(text, sizeof text, "%.2fK", v / 1024.0);
    else
        std::snprintf(text, sizeof text, "%dB", int(bytes));
    return QString::fromLatin1(text);
}
