#pragma once
// Helpers for the ui tests: FAT images with deleted files made by mtools, and
// waiting for threads while the event loop runs.

#include <QList>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"
#include "ui/recovery_item.hpp"

namespace qv::test {

// A FAT image whose deleted files are known byte for byte.
struct deleted_files_image {
    std::string path;
    std::map<std::string, std::vector<uint8_t>> deleted;  // "/Photos/a.jpg" -> bytes
};

// mkfs.fat -F bits, then folders and files copied in with mtools and the paths
// in to_delete removed again; kib 0 picks a small size that suits bits. False (with the reason in
// why) when a tool fails.
bool make_fat_image(const std::string& path, int bits, const std::vector<std::string>& folders,
                    const std::map<std::string, std::vector<uint8_t>>& files,
                    const std::vector<std::string>& to_delete, deleted_files_image* out,
                    std::string* why, int kib = 0);

// The same on NTFS: mkntfs, files written through an ntfs-3g mount, then
// deleted there and unmounted. False (with the reason in why) where mkntfs,
// ntfs-3g or FUSE is missing or fails.
bool make_ntfs_image(const std::string& path,
                     const std::map<std::string, std::vector<uint8_t>>& files,
                     const std::vector<std::string>& to_delete, deleted_files_image* out,
                     std::string* why);

// A small picture of the given format ("PNG", "JPG", "BMP") as file bytes.
std::vector<uint8_t> picture_bytes(const char* format, int width, int height);

// The process-wide settings swapped, for one test, for a file of its own that
// holds key = value; the settings before come back when it goes.
class scoped_setting {
public:
    scoped_setting(const std::string& file, const QString& key, const QVariant& value);
    ~scoped_setting();
    scoped_setting(const scoped_setting&) = delete;
    scoped_setting& operator=(const scoped_setting&) = delete;
    QSettings& file() { return *file_; }

private:
    QSettings* kept_;
    std::unique_ptr<QSettings> file_;
};

// Processes events until done() holds or ms have passed; returns done().
bool wait_for(const std::function<bool()>& done, int ms = 60000);

// The row whose name is name; null when there is none.
const recovery_item_s* row_named(const QList<recovery_item_s>& rows, const QString& name);

}  // namespace qv::test

#define QV_REQUIRE_MTOOLS()                                                                \
    do {                                                                                   \
        for (const char* tool : {"mkfs.fat", "mcopy", "mmd", "mdel"})                      \
            if (!::qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed"; \
    } while (0)
