#include "devices/device_catalog.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <libmount/libmount.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "devices/blkid_probe.hpp"
#include "devices/open_routes.hpp"
#include "devices/sysfs.hpp"
#include "devices/udev_properties.hpp"

namespace qv {

namespace {

constexpr const char* sys_block = "/sys/block";

// Closes a descriptor at scope end.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
};

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_listed_kernel_disk(const std::string& name) {
    if (starts_with(name, "ram") || starts_with(name, "zram") || starts_with(name, "sr")) return false;
    if (starts_with(name, "loop")) {
        std::string backing = sysfs::read_line(std::string(sys_block) + "/" + name + "/loop/backing_file");
        if (ends_with(backing, ".snap")) return false;
    }
    return true;
}

disk_geometry geometry_for(int fd, uint64_t size, uint32_t sector_size, bool removable) {
    disk_geometry g;
    g.media_type = removable ? 11 : 12;
    g.bytes_per_sector = sector_size;
    struct hd_geometry hd {};
    if (fd >= 0 && ioctl(fd, HDIO_GETGEO, &hd) == 0 && hd.heads != 0 && hd.sectors != 0) {
        g.tracks_per_cylinder = hd.heads;
        g.sectors_per_track = hd.sectors;
    }
    uint64_t per_cylinder = uint64_t(g.tracks_per_cylinder) * g.sectors_per_track;
    g.cylinders = int64_t(size / 512 / per_cylinder);
    return g;
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(path, ec);
    if (ec) return path;
    return p.lexically_normal().string();
}

// Splits "image#N" into the image path and N; false when path has no such form.
bool split_image_partition(const std::string& path, std::string* image, int* number) {
    auto hash = path.rfind('#');
    if (hash == std::string::npos || hash + 1 >= path.size()) return false;
    int n = 0;
    for (size_t i = hash + 1; i < path.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(path[i]))) return false;
        n = n * 10 + (path[i] - '0');
        if (n > 100000) return false;
    }
    *image = path.substr(0, hash);
    *number = n;
    return true;
}

struct mount_info {
    std::string target;  // first mount point
    std::string type;    // the file-system type the kernel mounted it as
};

// First mount of a block device, from the process's mount table.
mount_info mount_of(dev_t devno) {
    mount_info out;
    if (devno == 0) return out;
    struct libmnt_table* tb = mnt_new_table_from_file("/proc/self/mountinfo");
    if (!tb) return out;
    struct libmnt_fs* fs = mnt_table_find_devno(tb, devno, MNT_ITER_FORWARD);
    if (fs && mnt_fs_get_target(fs)) out.target = mnt_fs_get_target(fs);
    if (fs && mnt_fs_get_fstype(fs)) out.type = mnt_fs_get_fstype(fs);
    mnt_unref_table(tb);
    return out;
}

// Fills the mount point, and the file system from the mount table when the
// volume could not be probed (no read access).
void apply_mount(volume_info& v) {
    mount_info m = mount_of(v.devno);
    v.mount_path = m.target;
    if (v.file_system.empty() && !m.type.empty())
        v.file_system = m.type == "ntfs3" ? "NTFS" : file_system_name(m.type, "");
}

void fill_sizes(volume_info& v) {
    v.total_bytes = v.length;
    v.free_bytes = 0;
    v.free_known = false;
    if (v.mount_path.empty()) return;
    struct statvfs st {};
    if (statvfs(v.mount_path.c_str(), &st) == 0) {
        v.total_bytes = uint64_t(st.f_blocks) * st.f_frsize;
        v.free_bytes = uint64_t(st.f_bfree) * st.f_frsize;
        v.free_known = true;
    }
}

bool permission_refused(int error) { return error == EACCES || error == EPERM; }

// The file system and label of a volume this process cannot probe, from udev.
void apply_udev(volume_info& v) {
    if (!v.file_system.empty() || v.devno == 0) return;
    udev_file_system u = udev_file_system_of(v.devno);
    if (u.type.empty()) return;
    v.file_system = file_system_name(u.type, u.version);
    if (v.label.empty()) v.label = u.label;
}

// Whether an authorisation route exists, asked once per listing and only when needed.
class route_check {
public:
    bool operator()() {
        if (!known_) {
            value_ = authorisation_route_exists();
            known_ = true;
        }
        return value_;
    }

private:
    bool known_ = false;
    bool value_ = false;
};

}  // namespace

bool authorisation_route_exists() {
    if (udisks_available()) return true;
    return !find_pkexec().empty() && !find_open_helper().empty();
}

bool kernel_name_less(const std::string& a, const std::string& b) {
    bool la = starts_with(a, "loop"), lb = starts_with(b, "loop");
    if (la != lb) return lb;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size() - 1));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size() - 1));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

device_catalog& device_catalog::shared() {
    static device_catalog catalog;
    return catalog;
}

void device_catalog::apply_environment() {
    const char* only = std::getenv("QUORVANE_IMAGES_ONLY");
    if (only && std::string(only) == "1") set_block_devices_enabled(false);
    const char* images = std::getenv("QUORVANE_IMAGES");
    if (!images) return;
    std::string list = images;
    size_t start = 0;
    while (start <= list.size()) {
        size_t colon = list.find(':', start);
        std::string item = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!item.empty()) open_image(item);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
}

void device_catalog::set_block_devices_enabled(bool enabled) {
    std::lock_guard lock(mutex_);
    block_devices_ = enabled;
}

int device_catalog::open_image(const std::string& path, std::string* error) {
    std::string abs = absolute_path(path);
    struct stat st {};
    if (::stat(abs.c_str(), &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))) {
        if (error) *error = abs + ": no such image file or device";
        return -1;
    }
    std::lock_guard lock(mutex_);
    // Numbered as drives() numbers them, without opening any drive: the block
    // devices come first, in kernel-name order, then the images.
    const std::vector<std::string> disks = block_devices_ ? listed_disk_names() : std::vector<std::string>{};
    const auto disk = std::find_if(disks.begin(), disks.end(), [&](const std::string& name) { return "/dev/" + name == abs; });
    const auto known = std::find(images_.begin(), images_.end(), abs);
    const size_t number = disk != disks.end() ? size_t(disk - disks.begin())
                                              : disks.size() + size_t(known - images_.begin());
    if (number < size_t(max_drives)) {
        if (disk == disks.end() && known == images_.end()) images_.push_back(abs);
        return int(number);
    }
    if (error) *error = abs + ": too many drives (at most 26)";
    return -1;
}

void device_catalog::close_images() {
    std::lock_guard lock(mutex_);
    images_.clear();
}

std::vector<drive_info> device_catalog::drives() const {
    std::lock_guard lock(mutex_);
    return scan_drives();
}

std::vector<std::string> device_catalog::listed_disk_names() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(sys_block)) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (!is_listed_kernel_disk(name)) continue;
            auto sectors = sysfs::read_u64(std::string(sys_block) + "/" + name + "/size");
            if (!sectors || *sectors == 0) continue;
            names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), kernel_name_less);
    return names;
}

std::vector<drive_info> device_catalog::scan_drives(const std::string& prefix_of) const {
    std::vector<drive_info> out;
    route_check may_authorise;
    int number = -1;  // the drive's position in the listing
    // Drives that cannot hold prefix_of keep their numbers but are not opened.
    auto wanted = [&](const std::string& path) {
        ++number;
        return number < max_drives && (prefix_of.empty() || starts_with(prefix_of, path.c_str()));
    };
    if (block_devices_) {
        for (const auto& name : listed_disk_names()) {
            if (!wanted("/dev/" + name)) continue;
            std::string sys = std::string(sys_block) + "/" + name;
            drive_info d;
            d.number = number;
            d.path = "/dev/" + name;
            d.kernel_name = name;
            d.size = sysfs::read_u64(sys + "/size").value_or(0) * 512;
            d.removable = starts_with(name, "loop") || sysfs::read_line(sys + "/removable") == "1";
            d.devno = sysfs::read_devno(sys + "/dev");
            int fd = ::open(d.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            int open_error = errno;
            fd_guard guard(fd);
            d.ready = fd >= 0;
            // Listed and marked; the password is asked when it is scanned.
            d.needs_authorization = fd < 0 && permission_refused(open_error) && may_authorise();
            if (fd >= 0) {
                int ssz = 0;
                if (ioctl(fd, BLKSSZGET, &ssz) == 0 && ssz > 0) d.sector_size = uint32_t(ssz);
                int64_t bytes = device_size_of_fd(fd);
                if (bytes >= 0) d.size = uint64_t(bytes);
            }
            d.geometry = geometry_for(fd, d.size, d.sector_size, d.removable);
            out.push_back(d);
        }
    }
    for (const auto& image : images_) {
        if (!wanted(image)) continue;
        drive_info d;
        d.number = number;
        d.path = image;
        d.is_image = true;
        d.removable = true;
        int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        fd_guard guard(fd);
        d.ready = fd >= 0;
        if (fd >= 0) {
            int64_t bytes = device_size_of_fd(fd);
            d.size = bytes > 0 ? uint64_t(bytes) : 0;
        } else {
            struct stat st {};
            if (::stat(image.c_str(), &st) == 0) d.size = uint64_t(st.st_size);
        }
        d.geometry = geometry_for(-1, d.size, 512, true);
        out.push_back(d);
    }
    return out;
}

std::vector<volume_info> device_catalog::volumes_of(const drive_info& d) const {
    std::vector<volume_info> out;
    int drive_fd = ::open(d.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    fd_guard guard(drive_fd);

    auto make = [&](const std::string& path, int number, uint64_t offset, uint64_t length) {
        volume_info v;
        v.path = path;
        v.drive_number = d.number;
        v.partition_number = number;
        v.offset = offset;
        v.length = length;
        v.removable = d.removable;
        v.readable = drive_fd >= 0;
        v.needs_authorization = !v.readable && d.needs_authorization;
        return v;
    };

    if (!d.is_image) {
        // Partitions from sysfs: /sys/block/sdb/sdb1/partition holds the number.
        std::string sys = std::string(sys_block) + "/" + d.kernel_name;
        std::vector<std::string> parts;
        if (DIR* dir = opendir(sys.c_str())) {
            while (dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                if (starts_with(name, d.kernel_name.c_str()) &&
                    sysfs::read_u64(sys + "/" + name + "/partition"))
                    parts.push_back(name);
            }
            closedir(dir);
        }
        std::sort(parts.begin(), parts.end(), kernel_name_less);
        for (const auto& part : parts) {
            std::string psys = sys + "/" + part;
            uint64_t start = sysfs::read_u64(psys + "/start").value_or(0);
            uint64_t sectors = sysfs::read_u64(psys + "/size").value_or(0);
            if (sectors <= 2) continue;  // the kernel's stand-in for an extended-partition container
            volume_info v = make("/dev/" + part, int(sysfs::read_u64(psys + "/partition").value_or(0)),
                                 start * 512, sectors * 512);
            v.devno = sysfs::read_devno(psys + "/dev");
            int pfd = ::open(v.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            fd_guard pguard(pfd);
            v.readable = pfd >= 0;
            v.needs_authorization = !v.readable && d.needs_authorization;
            fs_signature sig;
            if (pfd >= 0)
                sig = probe_file_system(pfd, 0, v.length);
            else if (drive_fd >= 0)
                sig = probe_file_system(drive_fd, v.offset, v.length);
            v.file_system = sig.file_system;
            v.label = sig.label;
            apply_udev(v);
            apply_mount(v);
            fill_sizes(v);
            out.push_back(v);
        }
        if (parts.empty()) {
            volume_info v = make(d.path, 0, 0, d.size);
            v.devno = d.devno;
            if (drive_fd >= 0) {
                fs_signature sig = probe_file_system(drive_fd, 0, d.size);
                v.file_system = sig.file_system;
                v.label = sig.label;
            }
            apply_udev(v);
            apply_mount(v);
            fill_sizes(v);
            if (!v.file_system.empty()) out.push_back(v);
        }
        return out;
    }

    if (drive_fd < 0) return out;
    std::vector<partition_entry> table = read_partition_table(drive_fd, d.size);
    for (const auto& p : table) {
        if (p.extended) continue;
        volume_info v = make(d.path + "#" + std::to_string(p.number), p.number, p.offset, p.length);
        fs_signature sig = probe_file_system(drive_fd, p.offset, p.length);
        v.file_system = sig.file_system;
        v.label = sig.label;
        fill_sizes(v);
        out.push_back(v);
    }
    if (table.empty()) {
        volume_info v = make(d.path, 0, 0, d.size);
        fs_signature sig = probe_file_system(drive_fd, 0, d.size);
        v.file_system = sig.file_system;
        v.label = sig.label;
        fill_sizes(v);
        out.push_back(v);
    }
    return out;
}

std::vector<volume_info> device_catalog::volumes() const {
    std::vector<volume_info> out;
    for (const auto& d : drives()) {
        auto vs = volumes_of(d);
        out.insert(out.end(), vs.begin(), vs.end());
    }
    return out;
}

std::optional<drive_info> device_catalog::drive(int number) const {
    for (const auto& d : drives())
        if (d.number == number) return d;
    return std::nullopt;
}

std::optional<volume_info> device_catalog::locate(const std::string& path) const {
    std::string image;
    int number = 0;
    bool image_part = split_image_partition(path, &image, &number);
    std::string wanted = image_part ? absolute_path(image) + "#" + std::to_string(number)
                                    : absolute_path(path);
    // Every volume's path begins with its drive's: the other drives are not
    // opened or read (one may be the failing disk an image was taken from).
    std::vector<drive_info> candidates;
    {
        std::lock_guard lock(mutex_);
        candidates = scan_drives(wanted);
    }
    for (const auto& d : candidates) {
        for (const auto& v : volumes_of(d))
            if (v.path == wanted) return v;
        if (d.path == wanted) {
            // A drive named as a volume: the whole drive, whatever it holds.
            volume_info v;
            v.path = d.path;
            v.drive_number = d.number;
            v.length = d.size;
            v.removable = d.removable;
            v.readable = d.ready;
            v.needs_authorization = d.needs_authorization;
            v.devno = d.devno;
            return v;
        }
    }
    return std::nullopt;
}

std::optional<std::string> device_catalog::resolve_ntfs_name(const std::string& name) const {
    if (!starts_with(name, "/dev/hd") || name.size() < 9) return std::nullopt;
    char letter = name[7];
    if (letter < 'a' || letter > 'z') return std::nullopt;
    int part = 0;
    for (size_t i = 8; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
        part = part * 10 + (name[i] - '0');
        if (part > 100000) return std::nullopt;
    }
    auto d = drive(letter - 'a');
    if (!d) return std::nullopt;
    if (part == 0) return d->path;
    for (const auto& v : volumes_of(*d))
        if (v.partition_number == part) return v.path;
    return std::nullopt;
}

void device_catalog::set_open_notice(open_notice_hook hook) {
    std::lock_guard lock(notice_mutex_);
    notice_ = std::move(hook);
}

void device_catalog::notify(open_notice what, const std::string& path) const {
    open_notice_hook hook;
    {
        std::lock_guard lock(notice_mutex_);
        hook = notice_;
    }
    if (hook) hook(what, path);
}

int device_catalog::open_fd(const std::string& file, access_mode mode, open_asking asking,
                            std::string* error) const {
    const bool write = mode == access_mode::read_write;
    int fd = ::open(file.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd >= 0) return fd;
    const int why = errno;
    struct stat st {};
    const bool block = ::stat(file.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
    if (!block || !permission_refused(why) || asking == open_asking::never_ask) {
        if (error) *error = file + ": " + std::strerror(why);
        return -1;
    }

    // udisks2 first; the pkexec helper only where udisks2 is absent, and only for reading.
    const bool udisks = udisks_available();
    const std::string helper = udisks || write || find_pkexec().empty() ? std::string() : find_open_helper();
    if (!udisks && helper.empty()) {
        if (error)
            *error = write ? file + ": permission denied; writing it needs udisks2 (install it) or root: "
                                    "run quorvane-cli with sudo"
                           : file + ": permission denied, and there is no way to ask for a password here: "
                                    "run quorvane-cli with sudo, or install udisks2";
        return -1;
    }
    notify(write ? open_notice::asking_write : open_notice::asking_password, file);
    route_result r = udisks ? open_with_udisks(file, mode) : open_with_helper(file, helper);
    if (r.fd < 0) {
        if (error) *error = r.error;
        return -1;
    }
    if (r.in_use) notify(open_notice::in_use, file);
    return r.fd;
}

std::unique_ptr<device_handle> device_catalog::open(const std::string& path, access_mode mode,
                                                    std::string* error, open_asking asking) const {
    std::string image;
    int number = 0;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (split_image_partition(path, &image, &number) && ::stat(image.c_str(), &st) == 0 &&
            (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
            int fd = open_fd(image, mode, asking, error);
            if (fd < 0) return nullptr;
            int64_t size = device_size_of_fd(fd);
            for (const auto& p : read_partition_table(fd, size > 0 ? uint64_t(size) : 0)) {
                if (p.number == number && !p.extended)
                    return file_device::adopt(fd, image, p.offset, p.length, false, mode, error);
            }
            ::close(fd);
            if (error) *error = path + ": the image has no partition " + std::to_string(number);
            return nullptr;
        }
        if (auto resolved = resolve_ntfs_name(path)) return open(*resolved, mode, error, asking);
        if (error) *error = path + ": no such drive or volume";
        return nullptr;
    }
    int fd = open_fd(path, mode, asking, error);
    if (fd < 0) return nullptr;
    return file_device::adopt(fd, path, 0, 0, true, mode, error);
}

}  // namespace qv
