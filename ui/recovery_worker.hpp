#pragma once
// Copies the ticked rows of a finished scan into a folder, one after the other, on its own thread.

#include <QDir>
#include <QList>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

#include "engine/destination_failure.hpp"
#include "engine/destination_names.hpp"
#include "engine/recovery_status.hpp"
#include "ui/recovery_item.hpp"

class recovery_base_c;

namespace qv::ui {

// Writes one row's file to the path destination through the engine that found
// it, live or deleted, with the row's modification time where it has one.
recovery_status recover_row(recovery_base_c& engine, const recovery_item_s& row, const QString& destination);

}  // namespace qv::ui

class recovery_file_c : public QThread {
    Q_OBJECT
public:
    explicit recovery_file_c(QObject* parent = nullptr);
    ~recovery_file_c() override;

    // Sets up the next run: keeps a copy of the ticked rows, so the caller may
    // change its own rows while the worker runs. Call only while not running.
    // The engine must not be reset, rescanned or used by another thread until
    // the worker has finished.
    void set_job(recovery_base_c* engine, const QDir& destination, const QList<recovery_item_s>& rows);

    const QDir& destination() const { return destination_; }
    int pending_rows() const { return int(rows_.size()); }
    // Counts of the last run; final once finished() has been emitted.
    int recovered() const { return recovered_; }
    int failed() const { return failed_; }
    // Files recovered whole but with parts that could not be read (zeros there).
    int damaged() const { return damaged_; }
    // The ids of those files; final once finished() has been emitted.
    const QList<uint64_t>& damaged_ids() const {
        settle();
        return damaged_ids_;
    }
    // Set when the run stopped because the destination could not be written;
    // the rows after the failed one were not tried.
    const qv::destination_failure& destination_stop() const {
        settle();
        return stop_;
    }

protected:
    // Each ticked row goes to destination under its own name made safe; a name
    // that is taken already gets " (2)", " (3)" ... so nothing is overwritten.
    // A destination that is full or cannot be written ends the run at once.
    void run() override;

private:
    void copy_rows();
    // QThread hands a finished run over to wait() and to finished() through
    // locks inside Qt that the thread checker cannot see; this pair makes the
    // worker's last writes visible to it as well.
    void settle() const { (void)runs_.load(std::memory_order_acquire); }

    recovery_base_c* engine_ = nullptr;
    QDir destination_;
    QList<recovery_item_s> rows_;
    std::atomic<int> recovered_{0};
    std::atomic<int> failed_{0};
    std::atomic<int> damaged_{0};
    QList<uint64_t> damaged_ids_;  // written by the worker, read after finished()
    qv::destination_failure stop_;  // written by the worker, read after finished()
    std::atomic<int> runs_{0};      // runs ended, counted after everything they wrote
};
