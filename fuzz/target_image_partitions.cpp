// The device catalog's reading of an image file: its MBR or GPT partition
// table (through libblkid), the file system of each volume, and opening each
// volume path as a window that must lie inside the image.

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "devices/device_catalog.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"

namespace qv::fuzz {

namespace {

bool write_image(const std::string& path, const uint8_t* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    return done == size;
}

}  // namespace

int image_partitions(const uint8_t* data, size_t size) {
    static const std::string image = scratch_dir() + "/drive.img";
    static device_catalog catalog;
    if (!write_image(image, data, size)) return 0;
    static const bool opened = [] {
        catalog.set_block_devices_enabled(false);
        return catalog.open_image(image) == 0;
    }();
    QV_FUZZ_CHECK(opened);

    uint8_t sector[512];
    for (const auto& v : catalog.volumes()) {
        QV_FUZZ_CHECK(v.offset <= size && v.length <= size - v.offset);
        auto handle = catalog.open(v.path, access_mode::read_only);
        if (!handle) continue;
        QV_FUZZ_CHECK(handle->length() == v.length && handle->base_offset() == v.offset);
        if (handle->length() >= sizeof sector) {
            QV_FUZZ_CHECK(handle->read_exact(0, sector, sizeof sector));
            QV_FUZZ_CHECK(handle->read_exact(handle->length() - sizeof sector, sector, sizeof sector));
        }
        QV_FUZZ_CHECK(handle->write_at(0, sector, 1) == -1);
    }
    return 0;
}

}  // namespace qv::fuzz
