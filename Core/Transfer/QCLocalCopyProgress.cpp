#include "Transfer/QCLocalCopyProgress.h"

#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/PathUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QCLocalCopyProgress::QCLocalCopyProgress(const QString& source, const QString& temp, const FILE_INFO& record)
    : m_source(source), m_temp(temp), m_record(record) {}

QCLocalCopyProgress::Result QCLocalCopyProgress::ExecCopy(const std::function<bool()>& stop,
                                                          const std::function<void(quint64)>& progress) {
    QFile source(m_source);
    if (!source.open(QIODevice::ReadOnly) || quint64(source.size()) != m_record.size)
        return Unusable;
    QFile temp(m_temp);
    if (!QDir().mkpath(QFileInfo(m_temp).absolutePath()) ||
        !temp.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return WriteFailed;
    const auto fail = [&](Result result) {
        temp.close();
        QFile::remove(m_temp);
        return result;
    };
    QByteArray digests; // the content hash is the SHA-1 of the blocks' hex digests
    quint64 copied = 0;
    for (int step = 0;; ++step) {
        if (stop())
            return fail(Interrupted);
        const QByteArray chunk = source.read(CLOUD_BLOCK_SIZE);
        if (chunk.isEmpty())
            break;
        digests += HashBuffer(chunk.constData(), chunk.size(), HASH_SHA1);
        if (temp.write(chunk) != chunk.size())
            return fail(WriteFailed);
        copied += quint64(chunk.size());
        if (step % 8 == 0)
            progress(copied);
    }
    progress(copied);
    if (!temp.flush())
        return fail(WriteFailed);
    temp.close();
    const QString hash = QString::fromLatin1(HashBuffer(digests.constData(), digests.size(), HASH_SHA1));
    if (copied != m_record.size || hash.compare(m_record.file_hash, Qt::CaseInsensitive) != 0) {
        CoreDebug("[download] local copy %s does not hold %s", qUtf8Printable(m_source),
                  qUtf8Printable(m_record.path));
        return fail(Unusable);
    }
    if (!MyChangeFileTime(m_temp, m_record.ctime, m_record.mtime))
        return fail(WriteFailed);
    return Copied;
}
