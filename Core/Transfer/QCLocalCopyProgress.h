#pragma once
// The local copy of a download: a local file that already holds the cloud file's content is
// copied into the download's temporary file in 512 KiB chunks instead of fetching it. The copy is
// checked against the record's size and content hash and gets the cloud's times; putting it in
// place is the download's business (the same replace as for fetched blocks).
//
// One object per copy, used by one thread at a time (a pool thread of its download). The source
// is only read.

#include "common/FileInfo.h"

#include <QString>

#include <functional>

class QCLocalCopyProgress {
public:
    enum Result {
        Interrupted = 0, // `stop` said so; the temporary file is removed
        Copied = 1,      // the temporary file holds the content with the record's times
        Unusable = 2,    // the source cannot be read or does not hold the content: download instead
        WriteFailed = 3, // the temporary file could not be written (it is removed)
    };

    QCLocalCopyProgress(const QString& source, const QString& temp, const FILE_INFO& record);
    // `stop` is asked before each chunk; `progress` gets the bytes copied so far, at most every
    // eight chunks and after the last.
    Result ExecCopy(const std::function<bool()>& stop, const std::function<void(quint64)>& progress);

private:
    const QString m_source;
    const QString m_temp;
    const FILE_INFO m_record;
};
