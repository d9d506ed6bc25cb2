#pragma once
// The two file records every layer speaks in: FILE_INFO (the core's) and FileInfo (the user
// interface's and the local index's), their conversions, and PathIndex, the case-insensitive key.
// Plain values; whoever shares one between threads guards it.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Attribute bits of FILE_INFO::attrs and FileInfo::attrs.
constexpr quint32 FILE_ATTR_READONLY = 1;
constexpr quint32 FILE_ATTR_HIDDEN = 2;
constexpr quint32 FILE_ATTR_DIRECTORY = 16;
constexpr quint32 FILE_ATTR_NORMAL = 128; // only when no other bit is set

struct FILE_INFO {
    QString path;      // relative to the sync root, beginning with "/", unless said otherwise
    quint64 size = 0;  // 0 for folders
    quint32 ctime = 0; // Unix seconds
    quint32 mtime = 0;
    quint32 attrs = 0;
    quint32 version = 0;
    QString file_hash; // lower-case hex content hash
    QString name;
    bool is_dir = false;
    quint32 compare_result = 0; // offline comparison: 0 same, 1 file/folder clash, 2 new, 3 size, 4 mtime
    quint32 file_status = 0;    // a FILE_STATUS
    quint64 done_size = 0;
    QString nid; // decimal ids given by the service
    QString pid;
    QString eid;
    QString qid;
    QString local_path;
    bool is_download = false;
    quint32 finish_time = 0;
    quint32 percent = 0;
    quint32 sequence = 0;
    quint32 priority = 0;
    quint32 speed = 0;  // bytes per millisecond of a running transfer
    quint64 nv = 0;     // node version
    quint32 status = 0; // node status given by the service
    bool is_share = false;
    QString share_qid;
    QString owner;
    QString share_name;
    bool is_sync = false;
    bool spare_flag = false;
    bool is_link = false;
};

struct FileInfo {
    quint32 status = 0; // a FILE_STATUS
    bool is_dir = false;
    quint64 mtime = 0;
    quint64 ctime = 0;
    quint64 size = 0; // a folder: the sum of the files below it
    quint64 done_size = 0;
    quint32 percent = 0;
    quint32 version = 0;
    quint32 base_status = 0;
    quint32 generation = 0;
    quint64 nid = 0;
    quint64 eid = 0;
    QString path;
    QByteArray share_qid; // UTF-8
    QByteArray qid;       // UTF-8
    bool is_sync = false;
    bool spare_flag = false;
    bool is_link = false;
    QByteArray file_hash; // UTF-8
    quint32 file_count = 0;
    quint32 dir_count = 0;
    quint32 finish_time = 0;
    quint32 priority = 0;
    quint32 sequence = 0;
    quint32 attrs = 0;
    qint32 error_code = 0; // the last sync error the local index recorded for the item
    qint32 error_type = 0; // its SYNC_ERROR kind
};

// A path key ordered by case-insensitive comparison: paths differing only in case are one key.
class PathIndex {
public:
    PathIndex() = default;
    PathIndex(const QString& path) : m_path(path) {} // NOLINT: used like a string
    const QString& path() const { return m_path; }
    bool operator<(const PathIndex& other) const {
        return QString::compare(m_path, other.m_path, Qt::CaseInsensitive) < 0;
    }

private:
    QString m_path;
};

// The user interface's record of `record`, filed under `path` (not the record's own path).
FileInfo base2ui(const QString& path, const FILE_INFO& record);
// The core record of an index entry; ids, owner and transfer state are not carried back.
FILE_INFO ui2base(const FileInfo& info);
