#pragma once
// The window's FAT engine: the scanner thread over the FAT scanner.

#include "ui/scanner_thread.hpp"

class fat_recovery_c : public qv::ui::scanner_thread_c {
    Q_OBJECT
public:
    explicit fat_recovery_c(QObject* parent = nullptr) : scanner_thread_c(*qv::scanner_named("fat"), parent) {}
};
