// The cloud comparison: the fetched cloud tree against the journal and the mirror folder.
#include "sync/QCLocalStoreMgr.h"

#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

void QCLocalStoreMgr::CompareCloud(NodeMap& nodes, const NodeMap& changed) {
    {
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        m_userDetail.count_node = quint32(nodes.size());
    }
    CoreDebug("[compare] %lu nodes, %lu changed", static_cast<unsigned long>(nodes.size()),
              static_cast<unsigned long>(changed.size()));
    if (stoped())
        return;
    ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, true);
}

// --- Conflict copies and the trash ---------------------------------------------------------------

namespace {

// Renames without ever replacing what is at `to`.
bool RenameNoReplace(const QString& from, const QString& to, QString& error) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace

bool QCLocalStoreMgr::MakeConflict(const QString& localPath) {
    if (!QFileInfo::exists(localPath) && !QFileInfo(localPath).isSymLink()) {
        CoreDebug("[Conflict] src not exists %s\n", qUtf8Printable(localPath));
        return true;
    }
    QString user;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        user = m_userDetail.name;
    }
    const QString target = GetNewFileName(localPath, user, QStringLiteral("冲突"));
    CoreDebug("[Conflict] rename %s -> %s\n", qUtf8Printable(localPath), qUtf8Printable(target));
    QString error;
    if (RenameNoReplace(localPath, target, error))
        return true; // the copy keeps the original's permissions
    CoreDebug("[Conflict] rename failed, error %s\n", qUtf8Printable(error));
    OnError(SYNC_ERROR::FileUsing, 0, localPath, nullptr);
    return false;
}

QString QCLocalStoreMgr::TrashFolder() const {
    return MyCombinePath(GetPrivateRoot(),
                         QStringLiteral("trash/") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

bool QCLocalStoreMgr::MoveToTrash(const QString& localPath, const QString& cloudPath, const QString& trashFolder) {
    const QString target = MyCombinePath(trashFolder, cloudPath);
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        CoreDebug("[trash] no folder for %s", qUtf8Printable(target));
        return false;
    }
    QString error;
    if (RenameNoReplace(localPath, target, error))
        return true;
    CoreDebug("[trash] %s not moved: %s", qUtf8Printable(localPath), qUtf8Printable(error));
    return false;
}
