#include "common/SharedTypes.h"

#include "common/CommonDef.h"

#include <cerrno>

QString GetShellStatusString(qint32 status) {
    static const char* const names[] = {"unknow",   "ignore",  "synced",    "uping",
                                        "err",      "downing", "pause",     "undefined",
                                        "checking", "wait up", "wait down", "not down"};
    if (status < 0 || std::size_t(status) >= ArraySize(names))
        return QStringLiteral("undefined");
    return QLatin1String(names[status]);
}

QByteArray GetLocalStatusString(qint32 status) {
    static const char* const names[] = {"wait_login",   "logining", "login_ok", "login_retry", "CheckCloud",
                                        "CheckOffline", "monitor",  "ok",       "stop"};
    if (status < 0 || std::size_t(status) >= ArraySize(names))
        return QByteArray();
    return QByteArray(names[status]);
}

QString GetSyncTypeString(qint32 type) {
    static const char* const names[] = {"add", "mod", "ren", "del", "not_found"};
    if (type < 0 || std::size_t(type) >= ArraySize(names))
        return QStringLiteral("unknown");
    return QLatin1String(names[type]);
}

QString GetSyncErrTypeString(int type) {
    switch (type) {
    case SYNC_ERROR::OK:
        return QStringLiteral("OK");
    case SYNC_ERROR::Logic:
        return QStringLiteral("Logic");
    case SYNC_ERROR::CloudFull:
        return QStringLiteral("CloudFul");
    case SYNC_ERROR::Network:
        return QStringLiteral("Network");
    case SYNC_ERROR::Server:
        return QStringLiteral("Server");
    case SYNC_ERROR::ServerProtocol:
        return QStringLiteral("ServerProtoco");
    case SYNC_ERROR::ServerData:
        return QStringLiteral("ServerData");
    case SYNC_ERROR::DiskFull:
        return QStringLiteral("DiskFul");
    case SYNC_ERROR::DiskWrite:
        return QStringLiteral("DiskWrite");
    case SYNC_ERROR::DiskDir:
        return QStringLiteral("DiskDir");
    case SYNC_ERROR::FileUsing:
        return QStringLiteral("FileUsing");
    case SYNC_ERROR::NameTooLong:
        return QStringLiteral("NameTooLong");
    default:
        return QStringLiteral("Unknown");
    }
}

int SyncErrorOfErrno(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return SYNC_ERROR::DiskFull;
    case ENAMETOOLONG:
        return SYNC_ERROR::NameTooLong;
    case EACCES:
    case EPERM:
        return SYNC_ERROR::NoPerm;
    default:
        return SYNC_ERROR::DiskWrite;
    }
}
