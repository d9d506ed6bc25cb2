#include "cache/QCCacheRecord.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1; // upper case too: such a text is kept as it is, so it reads back unchanged
}

bool PackHash(const QByteArray& text, quint8 (&digest)[20]) {
    if (text.size() != 40)
        return false;
    for (int i = 0; i < 20; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = quint8(high << 4 | low);
    }
    return true;
}

} // namespace

QByteArray QCCacheTextPool::Share(const QByteArray& text) {
    if (text.isEmpty())
        return QByteArray();
    const auto it = m_texts.constFind(text);
    if (it != m_texts.constEnd())
        return *it;
    m_texts.insert(text);
    return text;
}

QCCacheRecord ToCacheRecord(const FileInfo& info, QCCacheTextPool& pool) {
    QCCacheRecord r;
    r.size = info.size;
    r.doneSize = info.done_size;
    r.mtime = info.mtime;
    r.ctime = info.ctime;
    r.nid = info.nid;
    r.eid = info.eid;
    r.qid = pool.Share(info.qid);
    r.shareQid = pool.Share(info.share_qid);
    r.hashPacked = PackHash(info.file_hash, r.digest);
    if (!r.hashPacked)
        r.hashText = info.file_hash;
    r.status = info.status;
    r.origStatus = info.base_status;
    r.percent = info.percent;
    r.version = info.version;
    r.batch = info.generation;
    r.attrs = info.attrs;
    r.finishTime = info.finish_time;
    r.priority = info.priority;
    r.sequence = info.sequence;
    r.errorCode = info.error_code;
    r.errorType = info.error_type;
    r.isDir = info.is_dir;
    r.syncFlag = info.is_sync;
    r.midFlag = info.spare_flag;
    r.linkFlag = info.is_link;
    return r;
}

FileInfo FromCacheRecord(const QCCacheRecord& r, const QString& path) {
    FileInfo info;
    info.status = r.status;
    info.is_dir = r.isDir;
    info.mtime = r.mtime;
    info.ctime = r.ctime;
    info.size = r.size;
    info.done_size = r.doneSize;
    info.percent = r.percent;
    info.version = r.version;
    info.base_status = r.origStatus;
    info.generation = r.batch;
    info.nid = r.nid;
    info.eid = r.eid;
    info.path = path;
    info.share_qid = r.shareQid;
    info.qid = r.qid;
    info.is_sync = r.syncFlag;
    info.spare_flag = r.midFlag;
    info.is_link = r.linkFlag;
    info.file_hash = r.hashPacked
                         ? QByteArray::fromRawData(reinterpret_cast<const char*>(r.digest), 20).toHex()
                         : r.hashText;
    info.finish_time = r.finishTime;
    info.priority = r.priority;
    info.sequence = r.sequence;
    info.attrs = r.attrs;
    info.error_code = r.errorCode;
    info.error_type = r.errorType;
    return info;
}
