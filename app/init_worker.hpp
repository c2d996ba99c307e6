#pragma once
// The start-up worker: finds volumes and drives and opens the sector layer
// while the window is already shown.

#include <QThread>

#include <atomic>

// 1 once the start-up worker has filled the lists; never reset.
extern std::atomic<int> init_ready;

class init_c : public QThread {
    Q_OBJECT
public:
    using QThread::QThread;

signals:
    void init_finished();

protected:
    void run() override;
};
