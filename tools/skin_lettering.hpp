#pragma once
// The lettering of the language-specific skin buttons, one set per language image folder.

#include <QString>

#include <vector>

namespace qv::skin {

struct skin_lettering {
    QString folder;           // "en", "de", ... under images/multilang/
    QString recover_files;    // top-band button 1: the volume list
    QString partitions;       // top-band button 2: the drive list and partition search
    QString deep_scan;        // top-band button 3: deep scan of a volume
    QString start_scan;       // home page: start a scan
    QString resume_recovery;  // home page: open a saved deep-scan result
};

const std::vector<skin_lettering>& skin_letterings();

}  // namespace qv::skin
