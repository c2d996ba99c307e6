#pragma once
// The window's exFAT engine: the scanner thread over the exFAT scanner.

#include "ui/scanner_thread.hpp"

namespace qv::ui {

class exfat_recovery_c : public scanner_thread_c {
    Q_OBJECT
public:
    explicit exfat_recovery_c(QObject* parent = nullptr) : scanner_thread_c(*qv::scanner_named("exfat"), parent) {}
};

}  // namespace qv::ui
