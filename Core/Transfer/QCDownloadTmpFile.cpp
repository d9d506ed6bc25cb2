// The download's temporary file and how the finished file reaches its place: preparing (and
// reopening) the temporary file, positioned reads and writes, blocks read back from a kept file or
// copied from another local file, the last check, and the move into place.
#include "Transfer/QCDownloadFile.h"
#include "Transfer/QCLocalCopyProgress.h"

#include "Database/QCBlockTable.h"
#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/PathUtils.h"
#include "common/SafePath.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SameHash(const QByteArray& data, const QString& hash) {
    return QString::fromLatin1(HashBuffer(data.constData(), data.size(), HASH_SHA1))
               .compare(hash, Qt::CaseInsensitive) == 0;
}

// Renames `from` to `to` only when nothing is at `to`.
bool RenameNoReplace(const QString& from, const QString& to) {
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                       QFile::encodeName(to).constData(), RENAME_NOREPLACE) == 0;
}

} // namespace

// --- Names and places --------------------------------------------------------------------------------

QString QCDownloadFile::OutsidePlace(const QString& target, quint64 size, const QString& contentHash) {
    const QFileInfo here(target);
    if (!here.exists() && !here.isSymLink())
        return target;
    if (here.isFile() && quint64(here.size()) == size &&
        QString::fromLatin1(CloudHashFile(target)).compare(contentHash, Qt::CaseInsensitive) == 0)
        return target;
    const QString folder = here.absolutePath();
    const QString base = here.completeBaseName();
    const QString suffix = here.suffix().isEmpty() ? QString() : QLatin1Char('.') + here.suffix();
    for (int n = 1;; ++n) {
        const QString candidate =
            MyCombinePath(folder, QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(suffix));
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}

// --- Temporary file ----------------------------------------------------------------------------------

void QCDownloadFile::SetTempName(const QString& name) {
    m_tempName = name;
}

void QCDownloadFile::SetRemoveTemp() {
    std::unique_lock<std::shared_mutex> lock(m_fileLock);
    m_file.close();
    if (!m_tempName.isEmpty())
        QFile::remove(m_tempName);
}

int QCDownloadFile::PrepareTmpFile(int& fileError) {
    std::unique_lock<std::shared_mutex> lock(m_fileLock);
    m_file.close();
    m_file.setFileName(m_tempName);
    // A file kept from an earlier attempt of the same content is resumed as it is.
    if (QFileInfo(m_tempName).isFile()) {
        if (m_file.open(QIODevice::ReadWrite)) {
            m_resumed = true;
            ReserveTmpFile();
            return 0;
        }
        QFile::remove(m_tempName);
    }
    if (!QDir().mkpath(QFileInfo(m_tempName).absolutePath()))
        return SYNC_ERROR::DiskDir;
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        fileError = int(m_file.error());
        CoreDebug("[download] PrepareTmpFile: %s createfile err:%d", qUtf8Printable(m_tempName), fileError);
        return SYNC_ERROR::DiskWrite;
    }
    ReserveTmpFile();
    return 0;
}

void QCDownloadFile::ReserveTmpFile() {
    // The disk space of the whole file at once, its size unchanged: the block writes then fill
    // space that is already there (several times cheaper than the file system allocating it
    // write by write). Where the file system cannot, the writes allocate it as before.
    ::fallocate(m_file.handle(), FALLOC_FL_KEEP_SIZE, 0, off_t(GetFileSize()));
}

int QCDownloadFile::WriteTmpFile(quint64 offset, const QByteArray& data) {
    // Positioned writes of several blocks run side by side; only opening and closing exclude them.
    std::shared_lock<std::shared_mutex> lock(m_fileLock);
    if (!m_file.isOpen())
        return int(QFileDevice::WriteError); // closed by the end of the task
    // A temporary file removed under the task is not made again: its earlier blocks are gone.
    if (!QFileInfo::exists(m_tempName))
        return int(QFileDevice::OpenError);
    const int fd = m_file.handle();
    {
        std::lock_guard<std::mutex> write(m_writeLock);
        for (qint64 done = 0; done < data.size();) {
            const ssize_t n =
                ::pwrite(fd, data.constData() + done, size_t(data.size() - done), off_t(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return int(n < 0 && errno == ENOSPC ? QFileDevice::ResourceError : QFileDevice::WriteError);
            done += n;
        }
    }
    // The block starts on its way to the disk now, so that the sync before the file is put in
    // place waits for the last blocks only, not for the whole file.
    ::sync_file_range(fd, off_t(offset), off_t(data.size()), SYNC_FILE_RANGE_WRITE);
    return 0;
}

QByteArray QCDownloadFile::ReadTmpFile(quint64 offset, quint32 size) {
    std::shared_lock<std::shared_mutex> lock(m_fileLock);
    if (!m_file.isOpen())
        return QByteArray();
    QByteArray data(int(size), Qt::Uninitialized);
    for (qint64 done = 0; done < data.size();) {
        const ssize_t n =
            ::pread(m_file.handle(), data.data() + done, size_t(data.size() - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return QByteArray(); // short
        done += n;
    }
    return data;
}

void QCDownloadFile::CheckResumedBlocks() {
    std::vector<std::pair<size_t, BLOCK_INFO>> listed;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        for (size_t i = 0; i < m_slots.size(); ++i)
            if (m_slots[i].state == kSlotWaiting)
                listed.emplace_back(i, m_slots[i].block);
    }
    int kept = 0;
    for (const auto& [slot, block] : listed) {
        if (m_ended.load())
            return;
        if (SameHash(ReadTmpFile(block.boffset, block.bsize), block.bhash)) {
            BlockDone(slot);
            ++kept;
        }
    }
    CoreDebug("[download] %s: %d of %zu blocks kept in %s", qUtf8Printable(GetSvrPath()), kept, listed.size(),
              qUtf8Printable(m_tempName));
}

bool QCDownloadFile::WriteExistBlock(const BLOCK_INFO& block) {
    QString source;
    unsigned long long offset = 0;
    if (!m_dhost.BlockTable().CheckBlockData(block.bhash.toLower(), source, offset))
        return false;
    QByteArray data;
    if (source == m_tempName) {
        data = ReadTmpFile(offset, block.bsize);
    } else {
        QFile file(source);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(qint64(offset)))
            return false;
        data = file.read(block.bsize);
    }
    // The place may have changed since it was recorded: only the block's own bytes are taken.
    if (quint32(data.size()) != block.bsize || !SameHash(data, block.bhash))
        return false;
    return WriteTmpFile(block.boffset, data) == 0;
}

void QCDownloadFile::CopyLocal(const QString& source) {
    const FILE_INFO record = GetFileInfo();
    QCLocalCopyProgress copy(source, m_tempName, record);
    const QCLocalCopyProgress::Result result =
        copy.ExecCopy([this] { return m_ended.load(); },
                      [this](quint64 bytes) {
                          EditFileInfo([bytes](FILE_INFO& info) { info.done_size = bytes; });
                          UpdateTransferDetail();
                      });
    switch (result) {
    case QCLocalCopyProgress::Interrupted:
        return; // the task ended meanwhile: nobody waits for it
    case QCLocalCopyProgress::Copied: {
        const int type = PutInPlace(m_tempName, record);
        if (type != 0 && type != SYNC_ERROR::FileUsing)
            QFile::remove(m_tempName);
        End(type, 0, QString());
        return;
    }
    case QCLocalCopyProgress::WriteFailed:
        End(SYNC_ERROR::DiskWrite, 3, QString());
        return;
    case QCLocalCopyProgress::Unusable:
        CoreDebug("[download] %s: the local copy from %s is not usable, downloading",
                  qUtf8Printable(record.path), qUtf8Printable(source));
        m_dhost.SetCopySource(record, QString()); // it no longer holds the content
        StartTransfer();
        return;
    }
}

void QCDownloadFile::HashExistFile() {
    const FILE_INFO record = GetFileInfo();
    const QString target = GetDiskName();
    const QString hash = QString::fromLatin1(CloudHashFile(target));
    if (m_ended)
        return; // the task ended meanwhile: nobody waits for it
    if (hash.isEmpty() || hash.compare(record.file_hash, Qt::CaseInsensitive) != 0) {
        StartTransfer();
        return;
    }
    MyChangeFileTime(target, record.mtime, record.mtime);
    m_dhost.SetCopySource(record, target);
    End(0, 0, QString());
}

// --- The end -----------------------------------------------------------------------------------------

int QCDownloadFile::MoveTmpFile() {
    const FILE_INFO record = GetFileInfo();
    {
        std::unique_lock<std::shared_mutex> lock(m_fileLock);
        const bool flushed = m_file.flush();
        m_file.close();
        if (!flushed)
            return SYNC_ERROR::DiskWrite;
    }
    const QFileInfo written(m_tempName);
    if (!written.isFile())
        return SYNC_ERROR::DiskWrite; // removed under the task
    // Every block was checked against its hash before it was written, and the block list against
    // the content hash: what remains to see is that nothing lies beyond the listed blocks.
    if (quint64(written.size()) != record.size) {
        QFile::remove(m_tempName);
        return SYNC_ERROR::ServerData;
    }
    // The cloud's times before the rename, so that the next offline comparison sees no change.
    MyChangeFileTime(m_tempName, record.mtime, record.mtime);
    const int type = PutInPlace(m_tempName, record);
    if (type == 0)
        CoreDebug("[download] %s in place", qUtf8Printable(record.path));
    return type;
}

int QCDownloadFile::PutInPlace(const QString& temp, const FILE_INFO& record) {
    const QString target = GetDiskName();
    // In the mirror the engine checks, stages and renames, never through a symbolic link.
    if (m_inSync)
        return m_dhost.InstallDownload(temp, target, record);
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder))
        return SYNC_ERROR::DiskDir;
    // Outside the sync folder nobody keeps a conflict copy: other content stays where it is. The
    // temporary file lies beside the target, so the rename never crosses file systems.
    if (!SafePath::SyncOutside(temp, false))
        return SYNC_ERROR::DiskWrite;
    QString place = OutsidePlace(target, record.size, record.file_hash);
    bool moved =
        place == target && QFileInfo::exists(target)
            ? ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) == 0
            : RenameNoReplace(temp, place);
    for (int tries = 0; !moved && errno == EEXIST && tries < 100; ++tries) {
        place = OutsidePlace(target, record.size, record.file_hash); // taken meanwhile
        moved = RenameNoReplace(temp, place);
    }
    if (!moved)
        return SYNC_ERROR::DiskWrite;
    SafePath::SyncOutside(folder, true);
    if (place != target)
        SetDiskName(place);
    m_dhost.SetCopySource(record, place);
    return 0;
}

int QCDownloadFile::MakeZeroFile() {
    const FILE_INFO record = GetFileInfo();
    const QString target = GetDiskName();
    // An empty target outside the mirror needs nothing; anything else is replaced like any
    // download, so a local change is kept as a conflict copy rather than truncated.
    const QFileInfo here(target);
    if (!m_inSync && here.exists() && here.isFile() && here.size() == 0)
        return 0;
    const QString drop = m_dhost.GetDropPath();
    const QString temp =
        TempNameFor(drop, record.path, record.file_hash, target, m_inSync && !drop.isEmpty());
    if (!QDir().mkpath(QFileInfo(temp).absolutePath()))
        return SYNC_ERROR::DiskDir;
    QFile empty(temp);
    if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return SYNC_ERROR::DiskWrite;
    empty.close();
    MyChangeFileTime(temp, record.mtime, record.mtime);
    const int type = PutInPlace(temp, record);
    if (type != 0)
        QFile::remove(temp);
    return type;
}
