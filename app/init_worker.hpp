#pragma once
// The start-up worker: finds volumes and drives and opens the sector layer
// while the window is already shown.

#include <QThread>

#include "devices/volume_items.hpp"  // init_ready, which run() raises

class init_c : public QThread {
    Q_OBJECT
public:
    using QThread::QThread;

signals:
    void init_finished();

protected:
    void run() override;
};
