// Scanning and recovering never write to the source: a drive image with a FAT
// and an NTFS partition is scanned and recovered from by every engine and
// searched for lost partitions, through the image file and through a read-only
// loop device. Afterwards the image's SHA-256 and modification time are what
// they were, and inotify saw no write to it and no descriptor opened for writing.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>

#include <linux/fs.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "devices/device_catalog.hpp"
#include "engine/sector_device.hpp"
#include "fat/fat_reader.hpp"
#include "partition/partition_search.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"
#include "tests/sigscan/sample_files.hpp"
#include "tests/support/disk_images.hpp"
#include "tests/support/test_support.hpp"
#include "ui/fat_recovery.hpp"
#include "ui/ntfs_recovery.hpp"
#include "ui/raw_recovery.hpp"

using namespace qv::test;

namespace {

constexpr uint64_t fat_first = 2048, fat_sectors = 16384;    // 8 MiB FAT16
constexpr uint64_t ntfs_first = 20480, ntfs_sectors = 8192;  // 4 MiB NTFS
constexpr uint64_t drive_mib = 16;

struct source_drive {
    bool ok = false;
    std::string why;
    std::unique_ptr<temp_dir> dir;
    std::string image;
    std::map<std::string, std::vector<uint8_t>> fat_deleted;   // name -> bytes
    std::map<std::string, std::vector<uint8_t>> ntfs_deleted;
    std::vector<uint8_t> carved;                               // a deleted PDF, carved by the deep scan
};

bool fail(source_drive& d, const std::string& why) {
    d.why = why;
    return false;
}

bool copy_into(const std::string& part, const std::string& image, uint64_t first_sector) {
    return run("dd if=" + shell_quote(part) + " of=" + shell_quote(image) + " bs=512 seek=" +
               std::to_string(first_sector) + " conv=notrunc status=none") == 0;
}

bool build(source_drive& d) {
    for (const char* tool : {"sfdisk", "mkfs.fat", "mcopy", "mkntfs", "ntfs-3g"})
        if (!have_tool(tool)) return fail(d, std::string(tool) + " is not installed");
    d.dir = std::make_unique<temp_dir>();
    temp_dir& dir = *d.dir;
    d.image = dir / "drive.img";
    if (!make_blank_image(d.image, drive_mib) ||
        !write_partition_table(d.image, "label: dos\nstart=" + std::to_string(fat_first) + ", size=" +
                                            std::to_string(fat_sectors) + ", type=e\nstart=" +
                                            std::to_string(ntfs_first) + ", size=" +
                                            std::to_string(ntfs_sectors) + ", type=7\n"))
        return fail(d, "sfdisk could not write the table");

    // FAT16: deleted files (one of them a PDF for the deep scan) and a live one.
    std::string fat = dir / "fat.img";
    std::string out;
    if (run("mkfs.fat -C -F 16 -s 1 " + shell_quote(fat) + " " + std::to_string(fat_sectors / 2), &out) != 0)
        return fail(d, "mkfs.fat failed: " + out);
    d.carved = make_pdf(3, false);
    d.fat_deleted = {{"ONE.BIN", pseudo_random_bytes(5000, 1)}, {"DOC.PDF", d.carved}};
    write_file(dir / "ONE.BIN", d.fat_deleted["ONE.BIN"]);
    write_file(dir / "DOC.PDF", d.carved);
    write_file(dir / "KEEP.TXT", pseudo_random_bytes(700, 2));
    std::string f = shell_quote(fat);
    if (run("mcopy -i " + f + " " + shell_quote(dir / "ONE.BIN") + " " + shell_quote(dir / "DOC.PDF") + " " +
                shell_quote(dir / "KEEP.TXT") + " ::/", &out) != 0 ||
        run("mdel -i " + f + " ::/ONE.BIN ::/DOC.PDF", &out) != 0)
        return fail(d, "mtools failed: " + out);

    // NTFS: a deleted file filled through the ntfs-3g mount.
    std::string ntfs = dir / "ntfs.img";
    std::string why;
    if (!make_ntfs_image(ntfs, ntfs_sectors * 512, &why)) return fail(d, why);
    {
        ntfs_mount m;
        if (!m.mount(ntfs, dir / "mnt", &why)) return fail(d, why);
        d.ntfs_deleted = {{"gone.bin", pseudo_random_bytes(30000, 3)}};
        write_file(m / "gone.bin", d.ntfs_deleted["gone.bin"]);
        write_file(m / "kept.txt", pseudo_random_bytes(100, 4));
        std::filesystem::remove(m / "gone.bin");
        if (!m.unmount()) return fail(d, "ntfs-3g did not unmount");
    }
    if (!copy_into(fat, d.image, fat_first) || !copy_into(ntfs, d.image, ntfs_first))
        return fail(d, "dd could not place the file systems");
    return true;
}

const source_drive& drive() {
    static source_drive d = [] {
        source_drive s;
        s.ok = build(s);
        return s;
    }();
    return d;
}

std::string sha256(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return "unreadable";
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result().toHex().toStdString();
}

struct timespec mtime_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

// Watches a file for writes and for descriptors opened for writing.
class write_watch {
public:
    explicit write_watch(const std::string& path) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) ::inotify_add_watch(fd_, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB);
    }
    ~write_watch() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool active() const { return fd_ >= 0; }
    // Events seen so far (0 when the file was left alone).
    int events() {
        alignas(inotify_event) char buffer[4096];
        int n = 0;
        for (;;) {
            ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0) return n;
            for (ssize_t at = 0; at < got;) {
                auto* e = reinterpret_cast<inotify_event*>(buffer + at);
                ++n;
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    int fd_ = -1;
};

volume_item_s volume_of(const std::string& path, int partition, const char* fs) {
    auto where = qv::device_catalog::shared().locate(path);
    volume_item_s v;
    EXPECT_TRUE(where.has_value()) << path;
    if (!where) return v;
    v.device_name = v.volume_name = QString::fromStdString(where->path);
    v.mount_path = "/";
    v.file_system = fs;
    v.partition_number = partition;
    v.disk_number = where->drive_number;
    v.total_bytes = where->length;
    return v;
}

// Every engine scans and recovers from the drive at path (an image file or a
// loop device over it); the partition search walks it. Each must find and
// bring back what the drive holds, so the proof is not about idle engines.
void scan_and_recover_everything(const std::string& path, const std::string& out_dir) {
    const source_drive& d = drive();
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    catalog.close_images();
    ASSERT_EQ(catalog.open_image(path), 0);
    open_physical_drives();
    reopen_physical_drives();

    {
        SCOPED_TRACE("FAT");
        fat_recovery_c engine;
        engine.set_volume(volume_of(path + "#1", 1, "FAT16"));
        engine.start();
        ASSERT_TRUE(engine.wait(60000));
        size_t recovered = 0;
        for (const qv::found_item& item : engine.found_items()) {
            if (!item.deleted || item.directory) continue;
            std::string name = item.name.substr(1);  // '#' stands for the lost letter
            for (const auto& [wanted, bytes] : d.fat_deleted) {
                if (wanted.substr(1) != name) continue;
                std::string target = out_dir + "/fat-" + wanted;
                ASSERT_EQ(engine.recover_file(item.id, QString::fromStdString(target)), 0) << wanted;
                EXPECT_EQ(read_file(target), bytes) << wanted;
                ++recovered;
            }
        }
        EXPECT_EQ(recovered, d.fat_deleted.size());
    }
    {
        SCOPED_TRACE("NTFS");
        ntfs_recovery_c engine;
        engine.set_volume(volume_of(path + "#2", 2, "NTFS"));
        engine.start();
        ASSERT_TRUE(engine.wait(60000));
        size_t recovered = 0;
        for (const qv::found_item& item : engine.found_items()) {
            if (!item.deleted || item.directory) continue;
            auto it = d.ntfs_deleted.find(item.name);
            if (it == d.ntfs_deleted.end()) continue;
            std::string target = out_dir + "/ntfs-" + it->first;
            ASSERT_EQ(engine.recover_file(item.id, QString::fromStdString(target)), 0) << it->first;
            EXPECT_EQ(read_file(target), it->second) << it->first;
            ++recovered;
        }
        EXPECT_EQ(recovered, d.ntfs_deleted.size());
    }
    {
        SCOPED_TRACE("deep scan");
        raw_recovery_c engine;
        engine.set_volume(volume_of(path + "#1", 1, "FAT16"));
        engine.start();
        ASSERT_TRUE(engine.wait(60000));
        bool pdf = false;
        for (uint64_t id = 0; id < engine.records().size(); ++id) {
            std::string target = out_dir + "/deep-" + std::to_string(id);
            ASSERT_EQ(engine.recover_file(id, QString::fromStdString(target)), 0);
            pdf = pdf || read_file(target) == d.carved;
        }
        EXPECT_TRUE(pdf) << "the deleted PDF was not carved";
    }
    {
        SCOPED_TRACE("partition search");
        auto dev = catalog.open(path, qv::access_mode::read_only);
        ASSERT_TRUE(dev);
        std::atomic<double> progress{0.0};
        std::vector<uint64_t> starts;
        qv::partition::search_hooks hooks;
        hooks.progress = &progress;
        hooks.found = [&](const partition_item_s& item) { starts.push_back(item.start_sector); };
        EXPECT_EQ(qv::partition::search_device(*dev, hooks), qv::partition::search_done);
        EXPECT_NE(std::find(starts.begin(), starts.end(), ntfs_first), starts.end());
    }
    qv::close_physical_drives();
    catalog.close_images();
}

class read_only_source : public ::testing::Test {
protected:
    void SetUp() override {
        if (!drive().ok) GTEST_SKIP() << drive().why;
        sum_ = sha256(drive().image);
        mtime_ = mtime_of(drive().image);
    }
    void expect_untouched(write_watch& watch) {
        EXPECT_EQ(sha256(drive().image), sum_) << "the source image changed";
        struct timespec now = mtime_of(drive().image);
        EXPECT_TRUE(now.tv_sec == mtime_.tv_sec && now.tv_nsec == mtime_.tv_nsec)
            << "the source image's modification time changed";
        if (watch.active()) {
            EXPECT_EQ(watch.events(), 0) << "the source image was opened for writing";
        }
    }
    std::string sum_;
    struct timespec mtime_ {};
};

TEST_F(read_only_source, scanning_the_image_file_never_writes_to_it) {
    temp_dir out;
    write_watch watch(drive().image);
    scan_and_recover_everything(drive().image, out.path().string());
    expect_untouched(watch);
}

TEST_F(read_only_source, scanning_through_a_read_only_loop_device_never_writes) {
    if (geteuid() != 0 || !have_tool("losetup")) GTEST_SKIP() << "loop devices need root and losetup";
    std::string dev;
    if (run("losetup -r -f --show " + shell_quote(drive().image), &dev) != 0 || dev.rfind("/dev/loop", 0) != 0)
        GTEST_SKIP() << "no loop device could be attached here: " << dev;
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == '\r')) dev.pop_back();
    struct detach {
        std::string path;
        ~detach() { run("losetup -d " + shell_quote(path)); }
    } guard{dev};

    int fd = ::open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << dev;
    int read_only = 0;
    EXPECT_EQ(::ioctl(fd, BLKROGET, &read_only), 0);
    EXPECT_EQ(read_only, 1) << dev << " is not read-only";
    ::close(fd);
    std::string device_sum = sha256(dev);

    temp_dir out;
    write_watch watch(drive().image);
    scan_and_recover_everything(dev, out.path().string());
    EXPECT_EQ(sha256(dev), device_sum) << "the loop device's content changed";
    expect_untouched(watch);
}

}  // namespace
