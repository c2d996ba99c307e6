#include "devices/sysfs.hpp"

#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>

namespace qv::sysfs {

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::optional<uint64_t> read_u64(const std::string& path) {
    std::string s = read_line(path);
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p == s.data()) return std::nullopt;
    return v;
}

dev_t read_devno(const std::string& path) {
    std::string s = read_line(path);
    unsigned ma = 0, mi = 0;
    auto colon = s.find(':');
    if (colon == std::string::npos) return 0;
    auto r1 = std::from_chars(s.data(), s.data() + colon, ma);
    auto r2 = std::from_chars(s.data() + colon + 1, s.data() + s.size(), mi);
    if (r1.ec != std::errc() || r2.ec != std::errc()) return 0;
    return makedev(ma, mi);
}

}  // namespace qv::sysfs
