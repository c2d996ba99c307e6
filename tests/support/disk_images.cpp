#include "tests/support/disk_images.hpp"

#include <unistd.h>

#include <filesystem>

#include "tests/support/test_support.hpp"

namespace qv::test {

bool make_blank_image(const std::string& path, uint64_t mib) {
    return run("truncate -s " + std::to_string(mib) + "M " + shell_quote(path)) == 0;
}

bool write_partition_table(const std::string& image, const std::string& script, std::string* output) {
    return run("printf %s " + shell_quote(script) + " | sfdisk -q --no-reread --no-tell-kernel " +
                   shell_quote(image),
               output) == 0;
}

bool format_fat_at(const std::string& image, uint64_t first_sector, uint64_t sectors, int bits,
                   const std::string& label, std::string* output) {
    // mkfs.fat counts its size argument in KiB.
    return run("mkfs.fat -F " + std::to_string(bits) + " -n " + shell_quote(label) + " --offset=" +
                   std::to_string(first_sector) + " " + shell_quote(image) + " " + std::to_string(sectors / 2),
               output) == 0;
}

bool format_ntfs_at(const std::string& image, uint64_t first_sector, uint64_t sectors, const std::string& label,
                    std::string* output) {
    std::string part = image + ".ntfs-part";
    bool ok = run("truncate -s " + std::to_string(sectors * 512) + " " + shell_quote(part)) == 0 &&
              run("mkntfs -F -Q -q -L " + shell_quote(label) + " -p " + std::to_string(first_sector) + " " +
                      shell_quote(part),
                  output) == 0 &&
              run("dd if=" + shell_quote(part) + " of=" + shell_quote(image) + " bs=512 seek=" +
                      std::to_string(first_sector) + " conv=notrunc,sparse status=none",
                  output) == 0;
    std::error_code ec;
    std::filesystem::remove(part, ec);
    return ok;
}

}  // namespace qv::test
