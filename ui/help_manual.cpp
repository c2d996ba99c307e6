#include "ui/help_manual.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include "devices/data_places.hpp"
#include "ui/shell_prompts.hpp"

// The manual's resource file's initializer lives in this static library; naming it keeps it linked.
static void register_manual() { Q_INIT_RESOURCE(manual); }

namespace qv::ui {

namespace {

const char* const manual_resource = ":/docs/manual.html";

// Writes one compiled-in file to folder unless an identical copy is there.
bool write_copy(const QString& resource, const QString& path) {
    QFile source(resource);
    if (!source.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = source.readAll();
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == bytes) return true;
    existing.close();
    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size();
}

// Writes the compiled-in manual and its pictures to folder.
QString write_manual_copy(const QString& folder) {
    if (!QDir().mkpath(folder)) return {};
    const QString path = QDir(folder).filePath("manual.html");
    if (!write_copy(manual_resource, path)) return {};
    const QDir resources(":/docs");
    for (const QString& name : resources.entryList({"*.png"}, QDir::Files))
        write_copy(resources.filePath(name), QDir(folder).filePath(name));
    return path;
}

}  // namespace

QString user_manual_path() {
    static const bool registered = (register_manual(), true);
    Q_UNUSED(registered);
    const QString on_disk = QString::fromStdString(qv::find_data_file("docs/manual.html"));
    if (QFileInfo(on_disk).isFile()) return QFileInfo(on_disk).absoluteFilePath();
    for (auto location : {QStandardPaths::AppLocalDataLocation, QStandardPaths::TempLocation}) {
        QString folder = QStandardPaths::writableLocation(location);
        if (folder.isEmpty()) continue;
        if (location == QStandardPaths::TempLocation) folder += "/quorvane-help";
        QString copy = write_manual_copy(folder);
        if (!copy.isEmpty()) return copy;
    }
    return {};
}

void open_user_manual() {
    const QString path = user_manual_path();
    if (!path.isEmpty()) shell_prompts().open_url(QUrl::fromLocalFile(path));
}

}  // namespace qv::ui
