#pragma once
// Free file names in the folders that recovered files go to, settled in memory:
// each folder is listed once, then every name clash costs one lookup.

#include <QHash>
#include <QSet>
#include <QString>

#include <functional>

#include "engine/recovery_status.hpp"

namespace qv {

class destination_names {
public:
    // Creates a new, empty file for `name` (made safe) in folder and returns
    // its path: folder/name, or "base (2).ext", "base (3).ext" ... with the next
    // number not used yet. The file is created with O_EXCL, so nothing that
    // exists is overwritten; a name that appears meanwhile is skipped.
    // Empty with errno set when no file can be created there.
    QString create(const QString& folder, const QString& name);

private:
    struct folder_state {
        QSet<QString> taken;        // names in the folder, listed once, plus those given out
        QHash<QString, int> next;   // per name: the number to try next
    };
    folder_state& folder(const QString& path);

    QHash<QString, folder_state> folders_;
};

// Recovers one file into folder under a free name for `name` (see
// destination_names): write() gets the path and says how the copy went, which
// is returned; a destination failure with errno also when no file can be
// created there. A failure leaves no empty file behind. *written: the path of
// a recovered file.
qv::recovery_status recover_into(const QString& folder, const QString& name, destination_names& names,
                                 const std::function<qv::recovery_status(const QString& target)>& write,
                                 QString* written = nullptr);

}  // namespace qv
