#pragma once
// The sync engine as the layers below it see it: the one engine object g_LocalStoreMgr, its event
// queue and the handlers to which the API client hands replies and errors.
//
// Only the least those callers rely on stands here: SendCoreProcEvent queues and returns at once,
// IsOrphanTask has no side effect, and every other handler just records its call in a log that
// tests read. The engine itself replaces these bodies later without changing a signature.
//
// Threads: any thread may call every operation. m_events has its own lock; m_calls and
// m_ownedTasks are guarded by m_lock.

#include "common/QCEventBase.h"
#include "common/QCLockList.h"
#include "common/SharedTypes.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

class QCLocalStoreMgr {
public:
    QCLocalStoreMgr() = default;
    QCLocalStoreMgr(const QCLocalStoreMgr&) = delete;
    QCLocalStoreMgr& operator=(const QCLocalStoreMgr&) = delete;

    // Appends a process-response event (2121) with the command and task id at the tail of the
    // event queue; never blocks beyond the queue's lock.
    void SendCoreProcEvent(int command, unsigned int id);
    // True when no running download or upload task owns the task id. No side effect.
    bool IsOrphanTask(unsigned int id);
    // The engine's error report; kind 0 clears the current error.
    void OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat);
    // The service no longer accepts the login token: log in again.
    void ReLogin();
    // The end of an announced request (configuration, login, user detail and space, version, base
    // sync point, node pages, enterprise list, copy, jump URL) whose reply never reached its
    // handler, and of a request to one of the Ack handlers whose reply was refused: `kind`
    // SYNC_ERROR::Network with libcurl's result as `code` when the exchange failed
    // (CURLE_ABORTED_BY_CALLBACK: stopped by a cancel or QCRequestCommon::Clear; `id` is 0 when
    // there was no host to send it to), SYNC_ERROR::XmlCorrupt with ERRNO_BAD_REPLY when the reply
    // was not a JSON object, or the kind a service error was mapped to with the service's number
    // (2006: a new login has been started instead). Any thread.
    void OnRequestFailed(int command, unsigned int id, int kind, int code);

    // Reply handlers, called on the engine thread or on the thread that waited for the request.
    void AckGetConfig(QJsonValue& data);
    void AckLogin(QJsonValue& data, bool noEnterpriseYet);
    void AckGetUserDetail(QJsonValue& data, bool typeWasOne);
    void AckGetUserSpace(QJsonValue& data);
    void AckGetVersion(QJsonValue& data, bool typeWasOne);
    void AckGetBgsp(QJsonValue& data);
    void AckGetGlobalNodes(QJsonValue& data, unsigned int count, bool fromComet);
    void AckGetIncrGlobal(QJsonValue& data, unsigned int count, bool fromComet);
    void AckGetEnterpriseList(QJsonValue& data);
    void AckGetJumpUrl(QJsonObject& reply);
    void ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind, int serviceErrno,
                               QString errmsg);
    void ProcDownloadFile(int command, unsigned int id, QJsonObject& reply);
    void ProcUploadFile(int command, unsigned int id, QJsonObject& reply);

    // Observation for tests of the callers, until the engine itself stands. ------------------
    // One recorded call: the operation's name and those of its arguments it has.
    struct RecordedCall {
        QString name; // "OnError", "ReLogin", "AckLogin", "ProcUploadFile", ...
        int command = 0;
        unsigned int id = 0;
        int kind = 0;
        int serviceErrno = 0;
        QString text;      // OnError's text, ProcServerFileOperate's errmsg
        bool flag = false; // the bool argument of AckLogin, AckGetUserDetail, AckGetVersion, ...
        unsigned int count = 0;
        bool hasStat = false; // OnError got a CMD_STAT_DEBUG
        QJsonValue data;      // the reply data or the whole reply object
    };
    // The calls recorded since the last TakeCalls, oldest first; the log is emptied.
    std::vector<RecordedCall> TakeCalls();
    // Lets IsOrphanTask see a running transfer task that owns `id`.
    void SetTaskOwned(unsigned int id, bool owned);
    QCLockList<std::shared_ptr<QCEventBase>>& EventQueue() { return m_events; }

private:
    void Record(RecordedCall call);

    QCLockList<std::shared_ptr<QCEventBase>> m_events; // commands for the engine thread
    std::mutex m_lock;
    std::vector<RecordedCall> m_calls;   // guarded by m_lock
    std::set<unsigned int> m_ownedTasks; // guarded by m_lock
};

// The one engine object.
extern QCLocalStoreMgr g_LocalStoreMgr;
