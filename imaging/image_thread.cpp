#include "imaging/image_thread.hpp"

#include <QMutexLocker>

#include "devices/device_catalog.hpp"

namespace qv::imaging {

image_thread_c::~image_thread_c() {
    request_stop();
    wait();
}

void image_thread_c::set_job(const std::string& source, const std::string& image, const std::string& map) {
    source_ = source;
    image_ = image;
    map_ = map.empty() ? image + ".map" : map;
    stop_ = false;
    QMutexLocker lock(&mutex_);
    progress_ = {};
    outcome_ = {};
}

qv::imaging::imaging_progress image_thread_c::progress() const {
    QMutexLocker lock(&mutex_);
    return progress_;
}

qv::imaging::imaging_outcome image_thread_c::outcome() const {
    QMutexLocker lock(&mutex_);
    return outcome_;
}

void image_thread_c::run() {
    qv::imaging::imaging_outcome out;
    std::string error;
    auto source = qv::device_catalog::shared().open(source_, qv::access_mode::read_only, &error);
    if (!source) {
        out.message = error;
    } else {
        qv::imaging::imaging_hooks hooks;
        hooks.stop = [this] { return stop_.load(); };
        hooks.progress = [this](const qv::imaging::imaging_progress& p) {
            QMutexLocker lock(&mutex_);
            progress_ = p;
        };
        out = qv::imaging::copy_to_image(*source, image_, map_, {}, hooks);
    }
    QMutexLocker lock(&mutex_);
    progress_ = out.last;
    outcome_ = out;
}

}  // namespace qv::imaging
