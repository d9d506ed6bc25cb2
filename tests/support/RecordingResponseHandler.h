#pragma once
// A test double of the engine as the API client sees it: it records every call it receives, the
// announced replies apart, and answers IsOrphanTask from the tasks a test declares owned. Tests
// register it (SetResponseHandler) for their duration and unregister it before it goes.
//
// Threads: any thread may call every operation; m_calls, m_procEvents and m_ownedTasks are
// guarded by m_lock.

#include "network/QCResponseHandler.h"

#include <QJsonValue>
#include <QString>

#include <mutex>
#include <set>
#include <utility>
#include <vector>

class RecordingResponseHandler : public QCResponseHandler {
public:
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

    // The calls recorded since the last TakeCalls, oldest first; the log is emptied. Announced
    // replies (SendCoreProcEvent) are not among them.
    std::vector<RecordedCall> TakeCalls();
    // The process-response events announced since the last TakeProcEvents, as (command, task id),
    // oldest first; the list is emptied.
    std::vector<std::pair<int, unsigned int>> TakeProcEvents();
    // Lets IsOrphanTask see a running transfer task that owns `id`.
    void SetTaskOwned(unsigned int id, bool owned);

    void SendCoreProcEvent(int command, unsigned int id) override;
    bool IsOrphanTask(unsigned int id) override;
    void OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat) override;
    void ReLogin() override;
    void OnRequestFailed(int command, unsigned int id, int kind, int code) override;
    void AckGetConfig(QJsonValue& data) override;
    void AckLogin(QJsonValue& data, bool noEnterpriseYet) override;
    void AckGetUserDetail(QJsonValue& data, bool typeWasOne) override;
    void AckGetUserSpace(QJsonValue& data) override;
    void AckGetVersion(QJsonValue& data, bool typeWasOne) override;
    void AckGetBgsp(QJsonValue& data) override;
    void AckGetGlobalNodes(QJsonValue& data, unsigned int count, bool fromComet) override;
    void AckGetIncrGlobal(QJsonValue& data, unsigned int count, bool fromComet) override;
    void AckGetEnterpriseList(QJsonValue& data) override;
    void AckGetJumpUrl(QJsonObject& reply) override;
    void ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind, int serviceErrno,
                               QString errmsg) override;
    void ProcDownloadFile(int command, unsigned int id, QJsonObject& reply) override;
    void ProcUploadFile(int command, unsigned int id, QJsonObject& reply) override;

private:
    void Record(RecordedCall call);

    std::mutex m_lock;
    std::vector<RecordedCall> m_calls;                      // guarded by m_lock
    std::vector<std::pair<int, unsigned int>> m_procEvents; // guarded by m_lock
    std::set<unsigned int> m_ownedTasks;                    // guarded by m_lock
};
