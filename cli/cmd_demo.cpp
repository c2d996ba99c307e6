// quorvane-cli demo: builds a small FAT image with deleted files, scans it and recovers them.
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/commands.hpp"
#include "cli/demo_image.hpp"

namespace qv::cli {

int cmd_demo() {
    std::string tmpl = QDir::tempPath().toStdString() + "/quorvane-demo-XXXXXX";
    if (!mkdtemp(tmpl.data())) return fail_usage("cannot create a folder for the demo");
    std::string image = tmpl + "/demo-floppy.img";
    std::string error;
    auto files = make_demo_fat_image(image, &error);
    if (files.empty()) return fail_usage(error);
    std::printf("Made a FAT12 floppy image with %zu files, %zu of them deleted:\n  %s\n\n", files.size(),
                size_t(std::count_if(files.begin(), files.end(), [](const demo_file& f) { return f.deleted; })),
                image.c_str());

    scan_options o;
    o.volume = image;
    std::printf("Scanning (quorvane-cli scan %s):\n", image.c_str());
    if (int rc = cmd_scan(o)) return rc;

    o.to = tmpl + "/recovered";
    o.keep_tree = true;
    std::printf("\nRecovering (quorvane-cli recover %s --to %s --keep-tree):\n", image.c_str(), o.to.c_str());
    int rc = cmd_recover(o);

    // Deleted names lose their first letter on FAT ("#EPORT.TXT"); match by folder and the rest.
    std::printf("\nChecking the recovered bytes against the originals:\n");
    int mismatches = 0;
    for (const auto& f : files) {
        if (!f.deleted) continue;
        std::string folder = f.path.substr(0, f.path.rfind('/'));
        std::string leaf = f.path.substr(f.path.rfind('/') + 1);
        QString got = QString::fromStdString(o.to + folder + "/#" + leaf.substr(1));
        QFile in(got);
        bool same = in.open(QIODevice::ReadOnly) &&
                    in.readAll() == QByteArray(reinterpret_cast<const char*>(f.content.data()),
                                               qsizetype(f.content.size()));
        std::printf("  %-18s %s\n", f.path.c_str(), same ? "identical" : "DIFFERS");
        mismatches += same ? 0 : 1;
    }
    std::printf("\nThe recovered files are in %s\n", o.to.c_str());
    return rc != 0 ? rc : (mismatches ? 1 : 0);
}

}  // namespace qv::cli
