#pragma once
// The recovery page's scan control: the engines' thread adapters, which one
// reads the current volume, and starting, pausing and stopping its scan.

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>

#include "devices/volume_items.hpp"
#include "engine/engine_choice.hpp"
#include "engine/scanner.hpp"
#include "engine/scan_hooks.hpp"

class fat_recovery_c;
class ntfs_recovery_c;
class raw_recovery_c;
class recovery_base_c;
class recovery_stop_c;

namespace qv::ui {

class exfat_recovery_c;

class scan_control_c : public QObject {
    Q_OBJECT
public:
    explicit scan_control_c(QObject* parent = nullptr);
    // A scan still running is stopped as if the page were left, and waited for.
    ~scan_control_c() override;

    // True when this build has the engine of that kind.
    static bool has_engine(int kind);
    // True when the engine of that kind carves (the deep scan) rather than reading a file system.
    static bool carves(int kind);
    // The window's thread of that scanner: the adapters with features of
    // their own (FAT, NTFS, exFAT, the deep scan), else one over the scanner alone.
    recovery_base_c* engine_of_kind(int kind) const;

    // The volume and the kind of scan (deep or by file system) of the next start.
    void set_target(const volume_item_s& volume, bool deep);
    // The engine kind for the target; -1 when none reads it.
    int choose_kind() const;
    // Resets the engine of kind, makes it current and starts its scan of the target.
    // A deep scan keeps a checkpoint in the user's data folder as it goes; with
    // resume it goes on from the one an interrupted scan of the target left.
    void start(int kind, bool resume = false);
    // How far an interrupted deep scan of the target got (0.0 to 1.0), when
    // one left a checkpoint; empty otherwise.
    std::optional<double> unfinished_deep_scan();
    // The "name_from_content" setting: deep scans name found files after what
    // they carry (capture time and camera, artist and title, ...).
    static bool name_from_content_setting();
    // The "deep_scan_free_space" setting (true when not set): deep scans read
    // only the volume's free space, leaving out the files its file system lists.
    static bool free_space_setting();
    // Makes the deep-scan engine current for the next start (the current one is reset).
    void switch_to_deep();
    // The current engine leaves its result: the stand-in engine becomes current.
    void reset_current();

    // True while the current engine's thread runs.
    bool running() const;
    void stop(qv::stop_reason why);
    // Pauses a running scan or resumes a paused one; true when it is paused now.
    bool toggle_pause();

    // Saves the deep-scan result to path; false when there is none or it is running.
    bool save_result(const QString& path);
    // Loads a saved deep-scan result and makes the deep engine current with the
    // volume it belongs to: false when it is refused or that volume is absent.
    bool load_result(const QString& path);

    recovery_base_c* current() const { return current_; }
    int kind() const { return kind_; }
    bool deep() const { return deep_; }
    const volume_item_s& volume() const { return volume_; }

signals:
    // The current engine's scan has ended (its thread finished).
    void scan_finished();

private slots:
    void on_engine_finished();

private:
    // The threads made so far, for stopping them all.
    std::vector<recovery_base_c*> all_engines() const;
    // The free-space setting and the target's file system, to the deep engine.
    void apply_free_space();

private:
    volume_item_s volume_;
    bool deep_ = false;
    std::unique_ptr<fat_recovery_c> fat_;
    std::unique_ptr<ntfs_recovery_c> ntfs_;
    std::unique_ptr<exfat_recovery_c> exfat_;
    std::unique_ptr<raw_recovery_c> raw_;
    std::unique_ptr<recovery_stop_c> stand_in_;
    // The window's thread of each other registered scanner, made when first needed, by registry place.
    mutable std::map<int, std::unique_ptr<recovery_base_c>> others_;
    recovery_base_c* current_ = nullptr;
    int kind_ = engine_kind_fat;
};

}  // namespace qv::ui
