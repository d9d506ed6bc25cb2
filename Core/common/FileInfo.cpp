#include "common/FileInfo.h"

FileInfo base2ui(const QString& path, const FILE_INFO& record) {
    FileInfo info;
    info.path = path;
    info.file_hash = record.file_hash.toUtf8();
    info.share_qid = record.share_qid.toUtf8();
    info.qid = record.qid.toUtf8();
    info.mtime = record.mtime;
    info.ctime = record.ctime;
    info.is_dir = record.is_dir;
    info.size = record.size;
    info.attrs = record.attrs;
    info.version = record.version;
    info.done_size = record.done_size;
    info.is_sync = record.is_sync;
    info.spare_flag = record.spare_flag;
    info.is_link = record.is_link;
    info.finish_time = record.finish_time;
    info.priority = record.priority;
    info.sequence = record.sequence;
    info.status = record.file_status;
    info.percent = 0;
    info.nid = record.nid.toULongLong(); // not a number: 0
    info.eid = record.eid.toULongLong();
    return info;
}

FILE_INFO ui2base(const FileInfo& info) {
    FILE_INFO record;
    record.name = info.path.mid(info.path.lastIndexOf(QLatin1Char('/')) + 1);
    record.path = info.path;
    record.file_hash = QString::fromUtf8(info.file_hash);
    record.share_qid = QString::fromUtf8(info.share_qid);
    record.qid = QString::fromUtf8(info.qid);
    record.mtime = quint32(info.mtime);
    record.ctime = quint32(info.ctime);
    record.is_dir = info.is_dir;
    record.attrs = info.attrs;
    record.version = info.version;
    record.size = info.size;
    record.is_sync = info.is_sync;
    record.finish_time = info.finish_time;
    record.sequence = info.sequence;
    record.priority = info.priority;
    record.is_link = info.is_link;
    return record;
}
