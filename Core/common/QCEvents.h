#pragma once
// The command events into the core (2100-2121) and the notifications out of it (2200-2219), one
// small class per type number. Each adds its payload after the QEvent part; a receiver picks the
// class by type() and casts. Commands are owned by std::shared_ptr on the engine's queue;
// notifications are made with new and belong to Qt once posted. Producers fill the payload before
// queuing or posting, consumers only read it, so no payload needs a lock.

#include "common/EventRecords.h"
#include "common/QCEventBase.h"
#include "common/SharedTypes.h"

#include <QString>
#include <QtGlobal>

// Commands into the core ---------------------------------------------------------------------

class QCCoreProcEvent : public QCEventBase {
public:
    QCCoreProcEvent() : QCEventBase(CoreProc) {}
};

// One extra pass of the engine's periodic work.
class QCCoreTimerEvent : public QCEventBase {
public:
    QCCoreTimerEvent() : QCEventBase(CoreTimer) {}
};

// Gives the transfer of a path priority.
class QCFastTransferEvent : public QCEventBase {
public:
    explicit QCFastTransferEvent(const QString& transferPath)
        : QCEventBase(FastTransfer), path(transferPath) {}
    QString path;
};

// A request of the user to the engine (login, logout, start, stop, refresh, cache clean).
class QCCoreUserEvent : public QCEventBase {
public:
    explicit QCCoreUserEvent(REQUEST_TYPE type) : QCEventBase(CoreUser), request(type) {}
    REQUEST_TYPE request;
};

class QCSpeedTestEvent : public QCEventBase {
public:
    QCSpeedTestEvent() : QCEventBase(SpeedTest) {}
};

class QCPauseTaskEvent : public QCEventBase {
public:
    explicit QCPauseTaskEvent(const QString& transferPath) : QCEventBase(PauseTask), path(transferPath) {}
    QString path;
};

class QCResumeTaskEvent : public QCEventBase {
public:
    explicit QCResumeTaskEvent(const QString& transferPath) : QCEventBase(ResumeTask), path(transferPath) {}
    QString path;
};

class QCCancelAllTaskEvent : public QCEventBase {
public:
    QCCancelAllTaskEvent() : QCEventBase(CancelAllTask) {}
};

class QCDeleteHistoryEvent : public QCEventBase {
public:
    QCDeleteHistoryEvent() : QCEventBase(DeleteHistory) {}
};

class QCGetEnterpriseListEvent : public QCEventBase {
public:
    QCGetEnterpriseListEvent() : QCEventBase(GetEnterpriseList) {}
};

// A request for the address of one of the service's web pages.
class QCGetJumpUrlTicketEvent : public QCEventBase {
public:
    // A plain page (type 0), or a page of the enterprise `eid` (type 1) when it is not empty.
    QCGetJumpUrlTicketEvent(const QString& pageKey, const QString& eid)
        : QCEventBase(GetJumpUrlTicket), param(eid.isEmpty() ? JUMP_PLAIN : JUMP_ENTERPRISE, eid, QString()),
          key(pageKey) {}
    // The page of one file or folder of `owner`: by node id (type 2) or by path (type 3).
    QCGetJumpUrlTicketEvent(const QString& pageKey, const QString& item, const QString& owner, bool byNodeId)
        : QCEventBase(GetJumpUrlTicket), param(byNodeId ? JUMP_NODE_ID : JUMP_NODE_PATH, owner, item),
          key(pageKey) {}
    JumpUrlParam param;
    QString key; // a CLOUD_WEB_JUMP page key
};

// An error report handed to the engine thread.
class QCAsyncErrorMsgEvent : public QCEventBase {
public:
    // `context` is copied; null gives an empty one.
    QCAsyncErrorMsgEvent(int errorType, int errorCode, const QString& item, const CMD_STAT_DEBUG* context)
        : QCEventBase(AsyncErrorMsg), error_type(errorType), error_code(errorCode), text(item),
          stat(context ? *context : CMD_STAT_DEBUG()) {}
    qint32 error_type;
    qint32 error_code;
    QString text;
    CMD_STAT_DEBUG stat;
};

// A server-side copy of a cloud item.
class VUZerozCopyToEvent : public QCEventBase {
public:
    VUZerozCopyToEvent(const QString& from, const QString& to)
        : QCEventBase(CopyTo), source(from), destination(to) {}
    QString source; // cloud paths
    QString destination;
};

// A finished API request whose reply the engine thread is to parse.
class QCProcResponseEvent : public QCEventBase {
public:
    QCProcResponseEvent(int cmd, unsigned int taskId)
        : QCEventBase(ProcResponse), task_id(taskId), command(cmd) {}
    quint32 task_id;
    qint32 command; // a CMD number
};

// Notifications out of the core -----------------------------------------------------------------

class VUZerozEvent : public QCEventBase {
public:
    VUZerozEvent() : QCEventBase(VUZeroz) {}
};

class QCFileUpdateEvent : public QCEventBase {
public:
    QCFileUpdateEvent() : QCEventBase(FileUpdate) {}
    FILE_UPDATE_NOTIFY data;
};

class QCFileDeleteEvent : public QCEventBase {
public:
    QCFileDeleteEvent() : QCEventBase(FileDelete) {}
    FILE_UPDATE_NOTIFY data; // one entry and its folder
};

class QCFileDownloadEvent : public QCEventBase {
public:
    QCFileDownloadEvent() : QCEventBase(FileDownload) {}
    FILE_UPDATE_NOTIFY data;
};

class QCFlushViewEvent : public QCEventBase {
public:
    QCFlushViewEvent() : QCEventBase(FlushView) {}
};

class QCStatusChangedEvent : public QCEventBase {
public:
    QCStatusChangedEvent() : QCEventBase(StatusChanged) {}
    SYNC_INFO data;
};

class QCSpeedUpdateEvent : public QCEventBase {
public:
    QCSpeedUpdateEvent() : QCEventBase(SpeedUpdate) {}
    SYNC_INFO data;
};

class QCCacheCleanEvent : public QCEventBase {
public:
    QCCacheCleanEvent() : QCEventBase(CacheClean) {}
    CACHE_CLEAN_NOTIFY data;
};

class QCTaskHistoryCleanCleanEvent : public QCEventBase {
public:
    QCTaskHistoryCleanCleanEvent() : QCEventBase(TaskHistoryClean) {}
};

// The enterprise id ("eid") of a login reply.
class QCDefaultEntLoginEvent : public QCEventBase {
public:
    explicit QCDefaultEntLoginEvent(const QString& enterpriseId)
        : QCEventBase(DefaultEntLogin), eid(enterpriseId) {}
    QString eid;
};

class QCSyncFinishEvent : public QCEventBase {
public:
    QCSyncFinishEvent() : QCEventBase(SyncFinish) {}
};

class QCAutoCommitEvent : public QCEventBase {
public:
    QCAutoCommitEvent() : QCEventBase(AutoCommit) {}
    AUTOCOMMIT_NOTIFY data;
};

// A download target is in use by another program.
class QCFileUsingEvent : public QCEventBase {
public:
    explicit QCFileUsingEvent(const QString& filePath) : QCEventBase(FileUsing), path(filePath) {}
    QString path;
};

class QCGetEnterpriseEvent : public QCEventBase {
public:
    QCGetEnterpriseEvent() : QCEventBase(GetEnterprise) {}
    ENTERPRISE_INFO data;
};

class QCGetJumpUrlEvent : public QCEventBase {
public:
    QCGetJumpUrlEvent() : QCEventBase(GetJumpUrl) {}
    GET_TICKET_RESULT data;
};

class QCFileCloudCopyEvent : public QCEventBase {
public:
    QCFileCloudCopyEvent() : QCEventBase(FileCloudCopy) {}
    CLOUD_COPY_TO data;
};

class QCFileCloudMoveEvent : public QCEventBase {
public:
    QCFileCloudMoveEvent() : QCEventBase(FileCloudMove) {}
    CLOUD_COPY_TO data;
};

// The service refused the login token: back to the login window.
class QCInvalidQTEvent : public QCEventBase {
public:
    QCInvalidQTEvent() : QCEventBase(InvalidQT) {}
};

class QCFileIsIllegalEvent : public QCEventBase {
public:
    explicit QCFileIsIllegalEvent(const QString& filePath) : QCEventBase(FileIsIllegal), path(filePath) {}
    QString path;
};

// An error for the user, composed by the engine's error report.
class QCGlobalErrorEvent : public QCEventBase {
public:
    QCGlobalErrorEvent() : QCEventBase(GlobalError) {}
    qint32 error_type = 0; // a SYNC_ERROR kind
    qint32 error_code = 0;
    QString message;
};
