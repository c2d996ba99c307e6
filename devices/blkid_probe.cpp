#include "devices/blkid_probe.hpp"

#include <blkid/blkid.h>
#include <unistd.h>

#include <cstring>

#include "devices/le_bytes.hpp"

namespace qv {

namespace {

std::string lookup(blkid_probe pr, const char* name) {
    const char* value = nullptr;
    size_t len = 0;
    if (blkid_probe_lookup_value(pr, name, &value, &len) == 0 && value) return std::string(value);
    return {};
}

bool is_extended_type(int type) { return type == 0x05 || type == 0x0f || type == 0x85; }

// Boot-sector fields the fallback below looks at.
constexpr size_t boot_oem_name = 3;        // 8 bytes: "NTFS    ", "EXFAT   "
constexpr size_t boot_fs_type16 = 54;      // 8 bytes: "FAT12   ", "FAT16   "
constexpr size_t boot_fs_type32 = 82;      // 8 bytes: "FAT32   "
constexpr size_t boot_signature_at = 510;  // 0x55 0xAA
constexpr uint16_t boot_signature = 0xAA55;

// The file system its first sector names, for a volume libblkid could not
// probe: on a failing disk one of the many places it looks at may not read.
std::string first_sector_file_system(int fd, uint64_t offset) {
    uint8_t sector[512];
    if (::pread(fd, sector, sizeof sector, off_t(offset)) != ssize_t(sizeof sector)) return {};
    byte_view boot(sector, sizeof sector);
    if (boot.equals(boot_oem_name, "EXFAT   ")) return "exFAT";
    if (boot.equals(boot_oem_name, "NTFS    ")) return "NTFS";
    if (boot.le16(boot_signature_at) != boot_signature) return {};
    for (const char* name : {"FAT12", "FAT16"})
        if (boot.equals(boot_fs_type16, name)) return name;
    if (boot.equals(boot_fs_type32, "FAT32")) return "FAT32";
    return {};
}

}  // namespace

std::string file_system_name(const std::string& type, const std::string& version) {
    if (type == "vfat") {
        if (version == "FAT12" || version == "FAT16" || version == "FAT32") return version;
        return "FAT";
    }
    if (type == "ntfs") return "NTFS";
    if (type == "exfat") return "exFAT";
    return type;
}

fs_signature probe_file_system(int fd, uint64_t offset, uint64_t length) {
    fs_signature sig;
    if (length == 0) return sig;
    blkid_probe pr = blkid_new_probe();
    if (!pr) return sig;
    if (blkid_probe_set_device(pr, fd, blkid_loff_t(offset), blkid_loff_t(length)) == 0) {
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL |
                                                  BLKID_SUBLKS_VERSION);
        blkid_probe_enable_partitions(pr, 0);
        const int probed = blkid_do_safeprobe(pr);
        if (probed == 0) {
            sig.file_system = file_system_name(lookup(pr, "TYPE"), lookup(pr, "VERSION"));
            sig.label = lookup(pr, "LABEL");
        } else if (probed < 0) {
            sig.file_system = first_sector_file_system(fd, offset);
        }
    }
    blkid_free_probe(pr);
    return sig;
}

std::vector<partition_entry> read_partition_table(int fd, uint64_t drive_size) {
    std::vector<partition_entry> out;
    blkid_probe pr = blkid_new_probe();
    if (!pr) return out;
    if (blkid_probe_set_device(pr, fd, 0, blkid_loff_t(drive_size)) == 0) {
        blkid_probe_enable_superblocks(pr, 0);
        blkid_probe_enable_partitions(pr, 1);
        blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
        blkid_partlist list = blkid_probe_get_partitions(pr);
        int n = list ? blkid_partlist_numof_partitions(list) : 0;
        for (int i = 0; i < n; ++i) {
            blkid_partition part = blkid_partlist_get_partition(list, i);
            if (!part) continue;
            blkid_loff_t start = blkid_partition_get_start(part);
            blkid_loff_t size = blkid_partition_get_size(part);
            if (start < 0 || size <= 0) continue;
            uint64_t offset = uint64_t(start) * 512;
            if (uint64_t(start) > drive_size / 512 || offset >= drive_size) continue;
            uint64_t length = uint64_t(size) > (drive_size - offset) / 512
                                  ? drive_size - offset
                                  : uint64_t(size) * 512;
            partition_entry e;
            e.number = blkid_partition_get_partno(part);
            e.offset = offset;
            e.length = length;
            e.extended = blkid_partition_is_extended(part) ||
                         is_extended_type(blkid_partition_get_type(part));
            out.push_back(e);
        }
    }
    blkid_free_probe(pr);
    return out;
}

}  // namespace qv
