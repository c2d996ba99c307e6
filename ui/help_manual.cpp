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

namespace {

const char* const manual_resource = ":/docs/manual.html";

// Writes the compiled-in manual to folder unless an identical copy is there.
QString write_manual_copy(const QString& folder) {
    QFile source(manual_resource);
    if (!source.open(QIODevice::ReadOnly)) return {};
    const QByteArray text = source.readAll();
    if (!QDir().mkpath(folder)) return {};
    const QString path = QDir(folder).filePath("manual.html");
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == text) return path;
    existing.close();
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size()) return {};
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
