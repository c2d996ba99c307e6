#pragma once
// The window's thread for any registered scanner: scans the volume on its own
// thread and keeps the found items for the tree, the table and recoveries. A
// scanner needs nothing of the window beyond its registry row.

#include <atomic>
#include <memory>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/scanner.hpp"
#include "ui/recovery_base.hpp"

namespace qv::ui {

class scanner_thread_c : public token_engine {
    Q_OBJECT
public:
    explicit scanner_thread_c(const qv::scanner_kind& kind, QObject* parent = nullptr);
    ~scanner_thread_c() override;

    void set_volume(const volume_item_s& volume) override;
    uint64_t items_found() override { return token_.items; }
    void reset() override;
    // 0, or -1 (recover_destination_failed when the destination cannot be written).
    int32_t recover_file(uint64_t id, QString destination) override;
    qv::recovery_status recover(uint64_t id, const QString& destination) override;
    int32_t build_item_path(uint64_t id, QString* out) override;
    uint64_t unreadable_bytes() const override { return scanner_->unreadable_so_far(); }
    bool device_vanished() const override { return gone_.load(std::memory_order_relaxed); }
    uint64_t last_unreadable_bytes() const override { return last_.unreadable_bytes; }

    // The scan on the calling thread over a device the caller opened (tests).
    void scan_device(std::unique_ptr<qv::device_handle> device);
    // The folder for files whose folder is gone, in the user's language (next scans).
    void set_lost_files_name(const QString& name) { lost_files_name_ = name.toStdString(); }
    // What the last scan could not read or make sense of; read after it has finished.
    const qv::scan_problems& problems() const {
        result_published();
        return problems_;
    }

protected:
    void run() override;
    std::vector<qv::found_item> make_found_items() override;
    // Called on the scanning thread when a scan of the volume has ended, before
    // its result is published (a named engine's own bookkeeping).
    virtual void scan_ended() {}
    // The scanner this thread runs (for a named engine that knows its kind).
    qv::scanner& scanner() { return *scanner_; }
    // True when the last run could open its volume's device.
    bool device_opened() const { return device_ != nullptr; }

private:
    void scan_open_device();

    volume_item_s volume_;
    std::unique_ptr<qv::device_handle> device_;
    std::unique_ptr<qv::scanner> scanner_;
    std::vector<qv::found_item> scanned_;  // the last scan's items, until the base takes them
    qv::scan_problems problems_;
    std::atomic<bool> gone_{false};
    qv::recovery_status last_;
    std::string lost_files_name_;
};

}  // namespace qv::ui
