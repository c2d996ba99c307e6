// quorvane-cli list: drives and volumes.
#include <cstdio>
#include <string>

#include "cli/cli_volume.hpp"
#include "cli/commands.hpp"
#include "cli/json_text.hpp"
#include "devices/format_size.hpp"
#include "devices/volume_items.hpp"
#include "engine/volume_free_space.hpp"

namespace qv::cli {

namespace {

// Drives and volumes this user reads only after a password: asked when scanned.
const char* password_mark(bool needs_authorization) {
    return needs_authorization ? "  (password needed)" : "";
}

}  // namespace

int cmd_list(bool json, const std::vector<std::string>& images) {
    for (const auto& image : images) {
        std::string error;
        if (!open_named_drive(image, &error)) return fail_usage(error);
    }
    enumerate_drives();
    enumerate_volumes();
    qv::count_unmounted_free_space(volume_items);
    if (json) {
        for (qsizetype i = 1; i < drive_items.size(); ++i) {
            const auto& d = drive_items[i];
            std::printf("{\"kind\":\"drive\",\"number\":%lld,\"name\":%s,\"size\":%lld,"
                        "\"needs_authorization\":%s}\n",
                        (long long)(i - 1), json_quote(d.name.toStdString()).c_str(), (long long)d.size,
                        d.needs_authorization ? "true" : "false");
        }
        for (qsizetype i = 1; i < volume_items.size(); ++i) {
            const auto& v = volume_items[i];
            std::printf(
                "{\"kind\":\"volume\",\"path\":%s,\"file_system\":%s,\"label\":%s,\"mount_path\":%s,"
                "\"total_bytes\":%llu,\"free_bytes\":%s,\"partition_number\":%d,\"disk_number\":%d,"
                "\"needs_authorization\":%s}\n",
                json_quote(v.volume_name.toStdString()).c_str(), json_quote(v.file_system.toStdString()).c_str(),
                json_quote(v.label.toStdString()).c_str(), json_quote(v.mount_path.toStdString()).c_str(),
                (unsigned long long)v.total_bytes,
                v.free_known ? std::to_string(v.free_bytes).c_str() : "null", v.partition_number,
                v.disk_number, v.needs_authorization ? "true" : "false");
        }
        return 0;
    }
    std::printf("Drives\n");
    for (qsizetype i = 1; i < drive_items.size(); ++i) {
        const auto& d = drive_items[i];
        std::printf("  %2lld  %-40s %10s%s\n", (long long)(i - 1), d.name.toLocal8Bit().constData(),
                    format_size(uint64_t(d.size)).toLatin1().constData(), password_mark(d.needs_authorization));
    }
    std::printf("Volumes\n");
    for (qsizetype i = 1; i < volume_items.size(); ++i) {
        const auto& v = volume_items[i];
        QString where = v.mount_path == v.volume_name ? QString("(not mounted)") : v.mount_path;
        std::printf("  %-40s %-7s %10s  %-16s %s%s\n", v.volume_name.toLocal8Bit().constData(),
                    v.file_system.isEmpty() ? "-" : v.file_system.toLatin1().constData(),
                    format_size(v.total_bytes).toLatin1().constData(), v.label.toLocal8Bit().constData(),
                    where.toLocal8Bit().constData(), password_mark(v.needs_authorization));
    }
    return 0;
}

}  // namespace qv::cli
