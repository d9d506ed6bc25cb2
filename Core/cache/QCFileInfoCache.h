#pragma once
// One transfer task list: the file records of the tasks of one list (running downloads, running
// uploads, failed or finished transfers), oldest first, with the progress of the whole list. The
// engine thread changes and reads it; transfer tasks report progress into it from pool threads.
//
// Invariants, all under m_mutex:
// 1. m_index holds exactly the entries of m_entries, under the lower-case cloud path. A path is
//    listed at most once; paths that differ only in case are one entry.
// 2. m_sumSize and m_sumDone are the sums of size and done_size over m_entries (modulo 2^64). A
//    progress report or a removal adjusts them by one record, so it costs the same however long
//    the list is; the percent computed from them equals a walk over the list.
// 3. m_total is the byte count the progress formulas keep: an addition adds the record's size (1
//    for an empty file) and spreads the bytes done over it, a recomputation sets it to m_sumSize.
// 4. m_finished only grows until Clear: the sizes of records removed at 100 %.
// 5. m_percent is 0..100; an empty list that has been recomputed is at 100.

#include "common/FileInfo.h"
#include "common/SharedTypes.h"

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

class QCFileInfoCache {
public:
    // The finished list drops its oldest entry before an addition when it holds more than this.
    static constexpr int kFinishedKeep = 0x168;

    QCFileInfoCache();
    QCFileInfoCache(const QCFileInfoCache&) = delete;
    QCFileInfoCache& operator=(const QCFileInfoCache&) = delete;

    // Empties the list and resets the progress; percent updates on removal are switched on.
    void Clear();
    // Appends the record, stamping its add time (finish_time) with the current time when 0, and
    // spreads the bytes done so far over the grown total. A path already listed is replaced where
    // it stands, as Update does, and never listed twice: a second entry would outlive its Del.
    void Add(FILE_INFO record);
    // Replaces the entry of the record's path, recomputing the percent when the record carries
    // transferred bytes; an unlisted path is added. A record without an add time keeps the
    // entry's, so that progress reports from a task's own copy do not wipe it.
    void Update(const FILE_INFO& record);
    // For the finished list: drops the oldest entry when more than kFinishedKeep are held, then
    // moves the record's path to the end (added when unlisted).
    void UpdateToEnd(FILE_INFO record);
    // Drops the entry of the record's path. A record at 100 % counts its size (1 when empty) as
    // finished, listed or not. Recomputes the percent unless switched off by SetUpdatePrecent.
    void Del(const FILE_INFO& record);
    // Sets the task status (file_status) of the listed path; nothing when unlisted.
    void UpdateStatus(const QString& path, quint32 status);
    // Whether the path (any case) is listed; copies its entry to `entry` when given.
    bool Find(const QString& path, FILE_INFO* entry = nullptr) const;

    // Appends up to `max` entries, oldest first, each stamped with `status` unless paused (6) and
    // carrying the entry's percent, speed, download flag and local path; then sorts the whole of
    // `out`, also what was in it before, by sort_by_transfer_pri_desc. Returns the number appended.
    int Get(std::vector<std::shared_ptr<TransferInfo>>& out, FILE_STATUS status, int max) const;

    quint32 Size() const;
    // Progress of the whole list, 0..100.
    quint32 GetPercent() const;
    // Seconds since the list last got its first entry; 0 when it never had one. Takes no lock.
    quint64 GetUsedTime() const;
    // (100 - percent) % of the total and finished bytes.
    quint64 GetLeftFileSize() const;
    // Recomputes the percent from the entries and the finished bytes.
    void UpdatePrecent();
    // Whether Del recomputes the percent; a caller removing many entries switches it off and
    // calls UpdatePrecent once at the end. Takes no lock.
    void SetUpdatePrecent(bool on);

private:
    using Entries = std::list<FILE_INFO>;

    // Helpers named ...Locked expect m_mutex to be held.
    Entries::iterator FindLocked(const QString& path);
    void AppendLocked(FILE_INFO record);
    void ReplaceLocked(Entries::iterator it, FILE_INFO record);
    void EraseLocked(Entries::iterator it);
    void RecomputeLocked();

    friend struct FileInfoCacheProbe; // the tests read the byte counts

    mutable std::recursive_mutex m_mutex;

    // Guarded by m_mutex.
    Entries m_entries;
    QHash<QString, Entries::iterator> m_index; // lower-case cloud path -> entry
    quint64 m_sumSize = 0;
    quint64 m_sumDone = 0;
    quint64 m_total = 0;
    quint64 m_finished = 0;
    quint32 m_percent = 0;

    // Written under m_mutex, read without it.
    std::atomic<qint64> m_startMs{0}; // QCClock::NowMs() at the first entry, 0 when never started
    // Written and read without m_mutex.
    std::atomic<bool> m_updatePercent{true};
};

// The order of Get: the higher priority mark first, then the later start time (sequence). Empty
// pointers go last.
bool sort_by_transfer_pri_desc(const std::shared_ptr<TransferInfo>& a,
                               const std::shared_ptr<TransferInfo>& b);
