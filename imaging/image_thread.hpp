#pragma once
// Runs copy_to_image on its own thread for the window: progress to poll, a
// stop to ask for, the outcome once finished.

#include <QMutex>
#include <QThread>

#include <atomic>
#include <string>

#include "imaging/image_copier.hpp"

namespace qv::imaging {

class image_thread_c : public QThread {
    Q_OBJECT
public:
    explicit image_thread_c(QObject* parent = nullptr) : QThread(parent) {}
    ~image_thread_c() override;

    // Sets up the next run; call only while not running. An empty map path
    // keeps the map next to the image ("<image>.map").
    void set_job(const std::string& source, const std::string& image, const std::string& map = {});
    const std::string& image_path() const { return image_; }
    // The run ends at its next read, saving the map.
    void request_stop() { stop_ = true; }
    // The latest progress; any thread.
    qv::imaging::imaging_progress progress() const;
    // What the last run came to; read after finished().
    qv::imaging::imaging_outcome outcome() const;

protected:
    void run() override;

private:
    std::string source_, image_, map_;
    std::atomic<bool> stop_{false};
    mutable QMutex mutex_;  // guards progress_ and outcome_
    qv::imaging::imaging_progress progress_;
    qv::imaging::imaging_outcome outcome_;
};

}  // namespace qv::imaging
