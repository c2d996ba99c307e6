// Boots a repaired disk image in an emulated PC: the boot loader must start
// the active partition, and report the three failures with its messages.

#include <gtest/gtest.h>

#include <QString>

#include <fstream>

#include "partition/partition_repair.hpp"
#include "tests/partition/boot_images.hpp"
#include "tests/support/test_support.hpp"

using qv::test::run;
using qv::test::shell_quote;

namespace {

constexpr uint64_t disk_sectors = 16384;  // 8 MiB
constexpr uint64_t partition_start = 2048;
constexpr size_t ntfs_code_offset = 0x54;  // where the boot sector's jump lands

// Real-mode code run as the partition's boot sector: leaves the emulator with
// status 0x21 when DL is the boot drive 0x80 and DS:SI points to a table
// entry whose first sector is 2048, else with 0x22.
const uint8_t boot_check_code[] = {
    0x80, 0xFA, 0x80,              // cmp dl, 0x80
    0x75, 0x0B,                    // jne bad
    0x81, 0x7C, 0x08, 0x00, 0x08,  // cmp word [si+8], 2048
    0x75, 0x04,                    // jne bad
    0xB0, 0x21, 0xE6, 0xF4,        // mov al, 0x21; out 0xf4, al
    0xB0, 0x22, 0xE6, 0xF4,        // bad: mov al, 0x22; out 0xf4, al
    0xF4, 0xEB, 0xFD,              // hlt; jmp back
};
constexpr int exit_booted = (0x21 << 1) | 1;  // isa-debug-exit reports (value << 1) | 1

void patch(const std::string& image, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct boot_result {
    int status;
    std::string screen;  // what the BIOS printed, mirrored to the serial port
};

boot_result boot(const qv::test::temp_dir& dir, const std::string& image) {
    // SeaBIOS copies text output to the serial port named in this file.
    const std::string port = dir / "sercon-port";
    qv::test::write_file(port, {0xF8, 0x03});
    const std::string serial = dir / "serial.txt";
    std::filesystem::remove(serial);
    std::string out;
    int status =
        run("timeout 5 qemu-system-i386 -display none -monitor none -no-reboot -m 16 -net none"
            " -serial file:" +
                shell_quote(serial) + " -drive file=" + shell_quote(image) +
                ",format=raw,if=ide"
                " -device isa-debug-exit,iobase=0xf4,iosize=0x04"
                " -fw_cfg name=etc/sercon-port,file=" +
                shell_quote(port) + " </dev/null",
            &out);
    std::vector<uint8_t> screen = qv::test::read_file(serial);
    return {status, std::string(screen.begin(), screen.end()) + out};
}

class MbrBoot : public testing::Test {
protected:
    void SetUp() override {
        QV_REQUIRE_TOOL("qemu-system-i386");
        QV_REQUIRE_TOOL("timeout");
        image = dir / "boot.img";
        std::vector<uint8_t> disk(disk_sectors * 512);
        qv::test::put_ntfs_boot(disk, partition_start, 4095);
        std::copy(std::begin(boot_check_code), std::end(boot_check_code),
                  disk.begin() + partition_start * 512 + ntfs_code_offset);
        disk[partition_start * 512] = 0xEB;
        disk[partition_start * 512 + 1] = ntfs_code_offset - 2;
        qv::test::write_file(image, disk);

        // The table comes from the search and the repair, as a user would make it.
        partition_repair_c repair;
        drive_item_s drive;
        drive.name = QString::fromStdString(image);
        drive.size = int64_t(disk.size());
        drive.geometry = qv::disk_geometry{};
        repair.start_search(drive);
        repair.wait();
        ASSERT_EQ(repair.partition_count(), 1);
        qv::partition::repair_report report;
        ASSERT_EQ(repair.repair_partition_table(QString::fromStdString(dir / "backups"), &report),
                  0)
            << report.error.toStdString();
    }

    qv::test::temp_dir dir;
    std::string image;
};

}  // namespace

TEST_F(MbrBoot, StartsTheActivePartitionWithDriveAndEntry) {
    boot_result r = boot(dir, image);
    EXPECT_EQ(r.status, exit_booted) << r.screen;
}

TEST_F(MbrBoot, TwoActiveEntriesAreAnInvalidTable) {
    patch(image, 446 + 16, {0x80, 0, 0, 0, 0x07, 0, 0, 0, 0, 0x10, 0, 0, 1, 0, 0, 0});
    EXPECT_NE(boot(dir, image).screen.find("Invalid partition table"), std::string::npos);
}

TEST_F(MbrBoot, UnreadablePartitionIsALoadError) {
    patch(image, 446 + 8, {0x00, 0x00, 0xF0, 0x00});  // first sector far past the disk's end
    EXPECT_NE(boot(dir, image).screen.find("Error loading operating system"), std::string::npos);
}

TEST_F(MbrBoot, BootSectorWithoutSignatureIsMissing) {
    patch(image, partition_start * 512 + 510, {0, 0});
    EXPECT_NE(boot(dir, image).screen.find("Missing operating system"), std::string::npos);
}
