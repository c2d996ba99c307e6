#include "devices/udev_properties.hpp"

#include <sys/sysmacros.h>

#include <cctype>
#include <fstream>

namespace qv {

namespace {

// An entry has a few dozen lines; a longer file is not udev's.
constexpr int max_lines = 4096;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// udev writes unsafe bytes of a label as "\x20".
std::string decode_escapes(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            int hi = hex_digit(text[i + 2]), lo = hex_digit(text[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(char(hi * 16 + lo));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

udev_file_system udev_file_system_of(dev_t devno, const std::string& root) {
    udev_file_system out;
    if (devno == 0) return out;
    std::ifstream in(root + "/b" + std::to_string(major(devno)) + ":" + std::to_string(minor(devno)));
    std::string line, plain_label, encoded_label;
    for (int n = 0; n < max_lines && std::getline(in, line); ++n) {
        if (line.rfind("E:", 0) != 0) continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(2, eq - 2), value = line.substr(eq + 1);
        if (key == "ID_FS_TYPE") out.type = value;
        else if (key == "ID_FS_VERSION") out.version = value;
        else if (key == "ID_FS_LABEL") plain_label = value;
        else if (key == "ID_FS_LABEL_ENC") encoded_label = decode_escapes(value);
    }
    out.label = encoded_label.empty() ? plain_label : encoded_label;
    return out;
}

}  // namespace qv
