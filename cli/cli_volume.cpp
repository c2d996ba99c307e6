#include "cli/cli_volume.hpp"

#include <sys/stat.h>

#include <cctype>

#include "devices/blkid_probe.hpp"
#include "devices/device_catalog.hpp"

namespace qv::cli {

namespace {

// The file behind "image#N", or the path itself.
std::string base_path(const std::string& path) {
    auto hash = path.rfind('#');
    if (hash != std::string::npos && hash + 1 < path.size()) {
        bool digits = true;
        for (size_t i = hash + 1; i < path.size(); ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(path[i]));
        struct stat st {};
        if (digits && ::stat(path.c_str(), &st) != 0) return path.substr(0, hash);
    }
    return path;
}

}  // namespace

bool open_named_drive(const std::string& path, std::string* error) {
    auto& catalog = qv::device_catalog::shared();
    std::string base = base_path(path);
    struct stat st {};
    if (::stat(base.c_str(), &st) != 0) {
        if (error) *error = path + ": no such file, drive or volume";
        return false;
    }
    if (S_ISREG(st.st_mode)) return catalog.open_image(base, error) >= 0;
    if (S_ISBLK(st.st_mode)) {
        if (catalog.locate(base)) return true;
        return catalog.open_image(base, error) >= 0;
    }
    if (error) *error = path + ": not a disk image or block device";
    return false;
}

std::optional<volume_item_s> resolve_volume(const std::string& path, std::string* error) {
    auto& catalog = qv::device_catalog::shared();
    auto v = catalog.locate(path);
    if (!v) {
        if (error) *error = path + ": not a volume of any drive";
        return std::nullopt;
    }
    auto handle = catalog.open(v->path, qv::access_mode::read_only, error);
    if (!handle) return std::nullopt;
    // A volume the listing could not probe (it needed a password) is probed now.
    if (v->file_system.empty())
        if (auto* file = dynamic_cast<qv::file_device*>(handle.get())) {
            qv::fs_signature sig = qv::probe_file_system(file->fd(), file->base_offset(), file->length());
            v->file_system = sig.file_system;
            if (v->label.empty()) v->label = sig.label;
        }
    volume_item_s item;
    item.device_name = QString::fromStdString(v->path);
    item.volume_name = item.device_name;
    item.label = QString::fromStdString(v->label);
    item.file_system = QString::fromStdString(v->file_system);
    item.mount_path = v->mount_path.empty() ? item.device_name : QString::fromStdString(v->mount_path);
    item.total_bytes = v->total_bytes ? v->total_bytes : v->length;
    item.free_bytes = v->free_bytes;
    item.partition_number = v->partition_number;
    item.disk_number = v->drive_number;
    return item;
}

}  // namespace qv::cli
