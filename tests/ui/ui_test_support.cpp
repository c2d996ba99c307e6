#include "tests/ui/ui_test_support.hpp"

#include "app/language_settings.hpp"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QThread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern char** environ;

namespace qv::test {

bool make_fat_image(const std::string& path, int bits, const std::vector<std::string>& folders,
                    const std::map<std::string, std::vector<uint8_t>>& files,
                    const std::vector<std::string>& to_delete, deleted_files_image* out,
                    std::string* why, int kib) {
    setenv("LC_ALL", "C.UTF-8", 1);
    std::string output;
    auto fail = [&](const std::string& what) {
        if (why) *why = what + ": " + output;
        return false;
    };
    std::string img = shell_quote(path);
    if (run("mkfs.fat -C -F " + std::to_string(bits) + " " + img + " " +
                std::to_string(kib > 0      ? kib
                               : bits == 32 ? 40960
                               : bits == 16 ? 16384
                                            : 4096),
            &output) != 0)
        return fail("mkfs.fat");
    for (const auto& f : folders)
        if (run("mmd -i " + img + " " + shell_quote("::" + f), &output) != 0)
            return fail("mmd " + f);
    std::string local = path + ".file";
    for (const auto& [name, bytes] : files) {
        write_file(local, bytes);
        if (run("mcopy -i " + img + " " + shell_quote(local) + " " + shell_quote("::" + name),
                &output) != 0)
            return fail("mcopy " + name);
    }
    std::remove(local.c_str());
    for (const auto& f : to_delete)
        if (run("mdel -i " + img + " " + shell_quote("::" + f), &output) != 0)
            return fail("mdel " + f);
    out->path = path;
    out->deleted.clear();
    for (const auto& f : to_delete) out->deleted[f] = files.at(f);
    return true;
}

scoped_setting::scoped_setting(const std::string& file, const QString& key, const QVariant& value)
    : kept_(settings), file_(std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat)) {
    file_->setValue(key, value);
    settings = file_.get();
}

scoped_setting::~scoped_setting() { settings = kept_; }

namespace {

bool is_mounted(const std::string& dir) {
    std::ifstream mounts("/proc/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point && std::getline(mounts, rest))
        if (point == dir) return true;
    return false;
}

}  // namespace

bool make_ntfs_image(const std::string& path,
                     const std::map<std::string, std::vector<uint8_t>>& files,
                     const std::vector<std::string>& to_delete, deleted_files_image* out,
                     std::string* why) {
    for (const char* tool : {"mkntfs", "ntfs-3g"})
        if (!have_tool(tool)) {
            *why = std::string(tool) + " is not installed";
            return false;
        }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = "FUSE is not available";
        return false;
    }
    std::string output;
    if (run("truncate -s 16M " + shell_quote(path) + " && mkntfs -F -Q " + shell_quote(path),
            &output) != 0) {
        *why = "mkntfs: " + output;
        return false;
    }
    std::string dir = path + ".mnt";
    std::filesystem::create_directories(dir);
    // In the foreground as our child, so the unmount can wait until the image is written.
    std::vector<std::string> args = {"ntfs-3g", "-o", "no_detach", path, dir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "ntfs-3g", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *why = "cannot start ntfs-3g";
        return false;
    }
    bool mounted = false;
    for (int i = 0; i < 200 && !mounted; ++i) {
        mounted = is_mounted(dir);
        if (!mounted) QThread::msleep(50);
    }
    if (!mounted) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        *why = "the ntfs-3g mount does not work here";
        return false;
    }
    bool ok = true;
    for (const auto& [name, bytes] : files) {
        std::filesystem::path p = dir + name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        ok = ok && bool(f);
    }
    for (const auto& name : to_delete) ok = ok && std::filesystem::remove(dir + name);
    run("sync");
    if (run("umount " + shell_quote(dir), &output) != 0) kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (!ok) {
        *why = "writing through the ntfs-3g mount failed";
        return false;
    }
    out->path = path;
    out->deleted.clear();
    for (const auto& f : to_delete) out->deleted[f] = files.at(f);
    return true;
}

std::vector<uint8_t> picture_bytes(const char* format, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(91, 135, 201));
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height / 2, QColor(232, 246, 255));
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

bool wait_for(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

const recovery_item_s* row_named(const QList<recovery_item_s>& rows, const QString& name) {
    for (const auto& r : rows)
        if (r.name == name) return &r;
    return nullptr;
}

}  // namespace qv::test
