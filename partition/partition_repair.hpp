#pragma once
// The lost-partition search thread of the partition page, and the repair
// that writes what it found back as the drive's partition table.

#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

#include "devices/volume_items.hpp"
#include "partition/mbr_writer.hpp"
#include "partition/partition_item.hpp"
#include "partition/partition_search.hpp"

class partition_repair_c : public QThread {
    Q_OBJECT
public:
    explicit partition_repair_c(QObject* parent = nullptr);
    // Stops a running search and waits for it (at most one chunk's read).
    ~partition_repair_c() override;

    // The drive to search and repair. The object keeps its own copy, so
    // rebuilding drive_items never leaves it dangling.
    void set_drive(const drive_item_s& drive);
    drive_item_s drive() const;
    // The partitions found by the current or last search, in the order found
    // (ascending start sector). A snapshot, safe to take from any thread while
    // the search appends.
    QList<partition_item_s> partitions() const;
    qsizetype partition_count() const;
    // The drive's own partition table as the current or last search read it.
    qv::partition::disk_table table() const;
    // Found partitions that the table does not list.
    qsizetype lost_count() const;
    // Fraction of the drive searched, 0.0 to 1.0; any thread.
    double progress() const { return progress_.load(std::memory_order_relaxed); }

    // Asks a running search to end; it does so before its next chunk. Returns
    // at once; the list keeps what was found and the thread finishes soon after.
    void request_stop();
    // What later searches examine between partitions: the likely places
    // (the default) or every sector.
    void set_reach(qv::partition::search_reach reach) { reach_.store(reach); }
    qv::partition::search_reach reach() const { return reach_.load(); }
    // Ends a running search (waiting the moment it takes), takes a copy of
    // drive and starts a fresh search on this thread with the given priority.
    void start_search(const drive_item_s& drive, Priority priority = InheritPriority);

    // Searches the drive on the calling thread (what run() does): clears the
    // list, then 0 when the whole drive was searched, 1 when stopped by
    // request_stop(), -1 when the drive cannot be opened or a search is
    // already running (last_error() says which).
    int search();
    int last_result() const { return last_result_.load(); }
    QString last_error() const;

    // On a drive that wants a GPT (gpt_repair_wanted()) writes the GPT of
    // plan_gpt_repair(), saving the sectors it replaces first. Otherwise
    // writes the found partitions as the drive's MBR (past four, as logical
    // partitions where they leave room; see mbr_plan.hpp), after saving the
    // sectors it replaces to a backup file in default_backup_dir(). 0 when
    // the new sectors were written and read back,
    // -1 otherwise: no drive, a search running, nothing found, a drive whose
    // GPT is valid, a partition an MBR cannot hold, or any failure of read,
    // backup or write; the drive is written only after its old first sector
    // is safely in the backup.
    int repair_partition_table();
    int repair_partition_table(const QString& backup_dir, qv::partition::repair_report* report);
    // The sector the repair would write, computed from the drive's current
    // first sector without writing anything: 0, or -1 with *error (a drive
    // with a valid GPT is refused unless force).
    int plan_repair(qv::partition::mbr_plan* plan, QString* error, bool force = false) const;
    // Whether the repair writes a GPT rather than an MBR: the drive shows a
    // GPT's traces (a protective MBR, or either header, good or damaged), so an
    // MBR would hide what the GPT held. Only an explicit MBR write overrides it.
    bool gpt_repair_wanted() const;
    // The GPT the repair would write (the damaged copy from the good one, or
    // a new table from the found partitions), without writing anything. A
    // drive whose valid MBR lists partitions is refused unless force. 0, or -1
    // with *error.
    int plan_gpt_repair(qv::partition::gpt_plan* plan, QString* error, bool force = false) const;
    // The text of the plan the repair would carry out, GPT or MBR; the error
    // when there is none.
    QString repair_plan_text() const;

    // What the last repair_partition_table() did: the backup path or the error.
    qv::partition::repair_report last_repair() const;

signals:
    // Emitted on the searching thread after each partition has been appended.
    void partition_found();

protected:
    void run() override;

private:
    bool stop_wanted() const;
    void set_error(const QString& text);

    mutable QMutex mutex_;  // guards partitions_, table_, drive_, error_, last_repair_
    QList<partition_item_s> partitions_;
    qv::partition::disk_table table_;
    drive_item_s drive_;
    QString error_;
    qv::partition::repair_report last_repair_;

    std::atomic<qv::partition::search_reach> reach_{qv::partition::search_reach::likely_places};
    std::atomic<double> progress_{0.0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> busy_{false};  // a search is running, on this thread or a caller's
    std::atomic<int> last_result_{0};
};
