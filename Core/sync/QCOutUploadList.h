#pragma once
// Uploads of files from outside the mirror folder that have not finished yet, kept in "out.dat"
// of the user's folder (and "out.dat.<generation>.1", ... when the list is long) so that they are
// taken up again after a restart. The facade adds requests and cancels through the two lock-guarded lists;
// the engine thread takes them and keeps the pending map.
//
// Saved form: pages of lines "source\tcloud path\tsize\tmtime\n" in key order, each page an
// archive of wide characters ending with one more "\n". Every page carries the save's generation
// (archive value 1) and the page count (value 2); a load takes only pages of page 0's
// generation, so pages left from a longer or an interrupted save never come back. Page 0 is the
// list's own file, the others "<file>.<generation>.<page>" (files of the older form, generation
// 0, "<file>.<page>"): a save never overwrites a page that the current page 0 names, so a save cut
// short anywhere leaves the previous list whole. Page 0 is written last (that is the moment the new
// list takes over) and the pages of other saves are removed after it.

#include "common/QCLockList.h"
#include "sync/SyncRecords.h"

#include <QString>

#include <map>
#include <mutex>

class QCOutUploadList {
public:
    // A page is closed once a line takes it past this many characters.
    static constexpr int kPageChars = 0x80000;
    // Save(true) writes at most once in this many milliseconds of the core's clock.
    static constexpr qint64 kSaveIntervalMs = 10000;

    // Remembers `path` and replaces the pending map by the saved pages.
    void Load(const QString& path);
    // Writes the map when it changed (with `throttle`, not within kSaveIntervalMs of the last
    // save); false when a page could not be written (the map stays dirty).
    bool Save(bool throttle);
    void Add(const OUT_UPLOAD_FILE& item);
    // The facade's request: queued in `requests` and added to the map in one step, so that
    // ClearIfIdle never sees the one without the other.
    void Request(const OUT_UPLOAD_FILE& item);
    // Empties the map unless a request waits (then it keeps everything); true when it emptied.
    bool ClearIfIdle();
    // Removes every entry at or below `cloudPath` (all with an empty path), then, with `save`,
    // Save(true); the number removed.
    int Erase(const QString& cloudPath, bool save = true);
    static QString GetKey(const QString& source, const QString& cloudPath);

    // Copies of the pending entries, in key order; any thread.
    std::vector<OUT_UPLOAD_FILE> Pending() const;
    bool IsDirty() const;

    QCLockList<OUT_UPLOAD_FILE> requests; // filled by the facade
    QCLockList<QString> cancels;          // cloud paths whose out-upload is cancelled

private:
    QString PagePath(qint64 generation, int page) const;

    mutable std::mutex m_lock; // guards everything below
    std::map<QString, OUT_UPLOAD_FILE> m_pending;
    bool m_dirty = false;
    qint64 m_lastSaveMs = -1;
    qint64 m_generation = 0; // of the last page set loaded or written
    QString m_path;
};
