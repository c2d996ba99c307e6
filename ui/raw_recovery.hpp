#pragma once
// The window's deep-scan engine: runs deep_core on its own thread over the
// volume's device, keeps the records and their index by type, copies a found
// file out, and saves and loads the result (*.sav).

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/deep_checkpoint.hpp"
#include "engine/deep_core.hpp"
#include "engine/free_space_mask.hpp"
#include "engine/scan_result_file.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_item.hpp"

class raw_recovery_c : public qv::ui::token_engine {
    Q_OBJECT
public:
    // Type name (whole, as the library gave it) to record positions, in finding order.
    using type_map = qv::carved_type_map;

    explicit raw_recovery_c(QObject* parent = nullptr);
    ~raw_recovery_c() override;

    // Copies the volume; the device path is its volume_name less one trailing backslash.
    void set_volume(const volume_item_s& volume) override;
    // Clears progress, pause and stop and drops all records and types; keeps the volume and device path.
    void reset() override;
    // Writes exactly the found file's bytes (size bytes from its offset) to
    // destination: 0, or -1 for an unknown id, a device that cannot be opened or
    // is too short, or a destination that cannot be written (then removed).
    int32_t recover_file(uint64_t id, QString destination) override;
    int32_t build_item_path(uint64_t, QString*) override { return 0; }

    // Saves the result: 0, or -1 with no record or when the file cannot be written.
    // allow_empty saves a result without records too.
    int write_result_file(const QByteArray& path, bool allow_empty = false);
    // Loads a saved result: its device path, or an empty string when the file is
    // refused (see qv::read_scan_result: the device must be present and hold
    // every record). device_path() takes the header's path even when refused.
    // allow_empty takes a result without records too.
    QString read_result_file(const QByteArray& path, bool allow_empty = false);

    // Found files named after what they carry (capture time and camera,
    // artist and title, ...) from the next scan or load on; read after the
    // scan has finished, on the engine's thread.
    void set_name_from_content(bool on) { name_from_content_ = on; }
    // With on, the next scans read only the volume's free space: what its file
    // system (file_system, the catalog's name; probed where empty) gives to
    // nothing, less the data of the files its file-system scan lists. Where that
    // is not known (no file system read here), they read the whole volume.
    void set_free_space(bool on, std::string file_system) {
        free_space_ = on;
        file_system_ = std::move(file_system);
    }
    bool free_space() const { return free_space_; }
    // What the last scan of free space left out (known false: it read the
    // whole volume); empty after a whole-volume scan. Read after the scan.
    const std::optional<qv::free_space_mask>& last_free_space() const {
        result_published();
        return last_free_space_;
    }
    // Test every byte offset instead of sector starts in the next scans.
    void set_every_byte(bool on) { core_.set_every_byte(on); }

    // Checkpoints: the next scans write one to path every interval and when
    // they stop or the device goes away, and remove it when they finish. An
    // empty path writes none.
    void set_checkpoint(const std::string& path, std::chrono::milliseconds interval = std::chrono::seconds(30)) {
        checkpoint_path_ = path;
        checkpoint_interval_ = interval;
    }
    // The next scan goes on from a checkpoint of this volume instead of
    // starting afresh (its records come back first).
    void resume_from(const qv::deep_checkpoint& checkpoint) { resume_ = checkpoint; }
    // The checkpoint an interrupted scan of this volume left at the checkpoint
    // path (same device, same size, same every-byte setting, and of the free
    // space only when the next scan will be: asked for and known); empty when none.
    std::optional<qv::deep_checkpoint> unfinished_scan() const;
    // Bytes the scan could not read so far (read as zeros); any thread.
    uint64_t unreadable_bytes() const override { return carried_unreadable_ + bad_.total(); }
    // True when the last scan ended because the device went away.
    bool device_vanished() const override { return vanished_.load(); }
    uint64_t last_unreadable_bytes() const override { return last_unreadable_; }
    // Checkpoints written by the last scan.
    uint64_t checkpoints_written() const { return checkpoints_written_; }
    // Bytes of record id's file that could not be read by the last
    // recover_file of it (zeros in the copy); 0 when all was read.
    uint64_t unreadable_in(uint64_t id) const {
        auto it = unreadable_in_.find(id);
        return it == unreadable_in_.end() ? 0 : it->second;
    }

    // Read only while the engine's thread is idle.
    const std::vector<raw_item_s>& records() const {
        result_published();
        return records_;
    }
    // What each record's file says about itself (capture time, content check),
    // in record order; read after each scan and each load.
    const std::vector<qv::sig::file_facts>& facts() const {
        result_published();
        return facts_;
    }
    const type_map& type_index() const {
        result_published();
        return type_index_;
    }
    // The second pieces of files put together from two, by record id.
    const qv::record_joins& joins() const {
        result_published();
        return joins_;
    }
    const QString& device_path() const { return device_path_; }
    const volume_item_s& volume() const { return volume_; }
    // The file-table row of record number id: name "%08llu.%s" (the record's
    // index and type, "00000012.jpg"), its size, the capture time as its
    // modified date (0 when unknown), no attributes.
    static recovery_item_s row(const raw_item_s& item, uint64_t id, int64_t taken = 0);

    // The library's found-file callback; owner is the engine.
    static void raw_found_callback(void* owner, const char* type, uint64_t offset, uint64_t size);

protected:
    void run() override;
    std::vector<qv::found_item> make_found_items() override;

private:
    void add_record(const char* type, uint64_t offset, uint64_t size);

    volume_item_s volume_;
    qv::deep_core core_;
    qv::bad_ranges bad_;  // of the current or last scan
    std::atomic<bool> vanished_{false};
    std::atomic<uint64_t> carried_unreadable_{0};  // counted before the checkpoint a scan went on from
    std::string checkpoint_path_;
    std::chrono::milliseconds checkpoint_interval_{30000};
    std::optional<qv::deep_checkpoint> resume_;
    uint64_t checkpoints_written_ = 0;
    uint64_t last_unreadable_ = 0;  // of the last recover_file
    std::map<uint64_t, uint64_t> unreadable_in_;  // record id -> bytes zero-filled by recover_file
    type_map type_index_;
    std::vector<raw_item_s> records_;
    qv::record_joins joins_;
    std::vector<qv::sig::file_facts> facts_;
    bool name_from_content_ = false;
    bool free_space_ = false;
    std::string file_system_;
    std::optional<qv::free_space_mask> last_free_space_;
    // Whether a scan of device now reads the free space only.
    bool free_space_scan(qv::device_handle& device) const;
    // Reads the volume's free space with its file-system scan, and logs what it leaves out.
    qv::free_space_mask read_mask(qv::device_handle& device);
    std::vector<std::string> content_names_;  // by record index; empty: the numbered name
    void name_records(qv::device_handle& device);
    QString device_path_;
};
