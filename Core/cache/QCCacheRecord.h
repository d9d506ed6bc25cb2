#pragma once
// The compact record of one entry of the index. The path lives once, in the entry's key; the
// record keeps the rest of FileInfo in fixed-width fields, a SHA-1 text as its 20 bytes, and the
// owner ids as shared copies from a pool, so that an entry costs well under 300 bytes beyond its
// path. FileInfo is built from it on read.

#include "common/FileInfo.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QtGlobal>

struct QCCacheRecord {
    quint64 size = 0;
    quint64 doneSize = 0;
    quint64 mtime = 0;
    quint64 ctime = 0;
    quint64 nid = 0;
    quint64 eid = 0;
    QByteArray qid;      // shared through QCCacheTextPool
    QByteArray shareQid; // shared through QCCacheTextPool
    QByteArray hashText; // a content hash that is not 40 lower-case hex digits; else empty
    quint32 status = 0;
    quint32 origStatus = 0;
    quint32 percent = 0;
    quint32 version = 0;
    quint32 batch = 0;
    quint32 attrs = 0;
    quint32 finishTime = 0;
    quint32 priority = 0;
    quint32 sequence = 0;
    qint32 errorCode = 0;
    qint32 errorType = 0;
    quint8 digest[20] = {}; // the hash when hashPacked
    bool hashPacked = false;
    bool isDir = false;
    bool syncFlag = false;
    bool midFlag = false;
    bool linkFlag = false;
};

// One copy of each owner id text, so that the records of one owner share it. Not locked: the
// index uses it under its own lock.
class QCCacheTextPool {
public:
    QByteArray Share(const QByteArray& text);
    void Clear() { m_texts.clear(); }

private:
    QSet<QByteArray> m_texts;
};

// The record of `info` (its path, file and folder counts are not kept).
QCCacheRecord ToCacheRecord(const FileInfo& info, QCCacheTextPool& pool);
// The FileInfo of a record under `path`; counts 0.
FileInfo FromCacheRecord(const QCCacheRecord& record, const QString& path);
