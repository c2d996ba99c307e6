#pragma once
// The window's NTFS engine: the scanner thread over the NTFS scanner, which
// also writes a line to its log when a volume cannot be opened.

#include <QByteArray>
#include <QString>

#include "ui/scanner_thread.hpp"

class ntfs_recovery_c : public qv::ui::scanner_thread_c {
    Q_OBJECT
public:
    explicit ntfs_recovery_c(QObject* parent = nullptr);

    // "/dev/hd<letter><partition>" for the library: the letter is 'a' + disk_number.
    static QByteArray device_name(int32_t disk_number, int32_t partition_number);
    // Where the start-up failure line goes: "Pellacord.log" in the application's local data folder.
    static QString log_path();
    // Appends the start-up failure line for value to the log and writes it to standard error.
    static void log_startup_failure(int value);

protected:
    void scan_ended() override;
};
