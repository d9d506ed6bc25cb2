#pragma once
// What the API client hands on to the sync engine: announced replies (the process-response event),
// parsed replies, failures, error reports and re-logins. The engine implements this interface and
// registers itself at start (SetResponseHandler); the API client never links the engine. Without a
// registered handler every call is dropped with a debug line, so requests made before the engine
// starts (or in tests of the API client alone) go nowhere.
//
// Threads: any thread may call every operation; each implementation says which thread does the
// work. SendCoreProcEvent never blocks beyond a queue's lock and IsOrphanTask has no side effect.

#include "common/SharedTypes.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

class QCResponseHandler {
public:
    virtual ~QCResponseHandler() = default;

    // Queues a process-response event (2121) for `command` and task `id` at the tail of the
    // engine's queue; the engine thread parses the reply later.
    virtual void SendCoreProcEvent(int command, unsigned int id) = 0;
    // True when no running download or upload task owns the task id.
    virtual bool IsOrphanTask(unsigned int id) = 0;
    // The engine's error report; kind 0 clears the current error.
    virtual void OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat) = 0;
    // The service no longer accepts the login token: log in again.
    virtual void ReLogin() = 0;
    // The end of an announced request (configuration, login, user detail and space, version, base
    // sync point, node pages, enterprise list, copy, jump URL) whose reply never reached its
    // handler, and of a request to one of the Ack handlers whose reply was refused: `kind`
    // SYNC_ERROR::Network with libcurl's result as `code` when the exchange failed
    // (CURLE_ABORTED_BY_CALLBACK: stopped by a cancel or QCRequestCommon::Clear; `id` is 0 when
    // there was no host to send it to), SYNC_ERROR::XmlCorrupt with ERRNO_BAD_REPLY when the reply
    // was not a JSON object, or the kind a service error was mapped to with the service's number
    // (2006: a new login has been started instead).
    virtual void OnRequestFailed(int command, unsigned int id, int kind, int code) = 0;

    // Reply handlers, called on the thread that parses the reply.
    virtual void AckGetConfig(QJsonValue& data) = 0;
    virtual void AckLogin(QJsonValue& data, bool noEnterpriseYet) = 0;
    virtual void AckGetUserDetail(QJsonValue& data, bool typeWasOne) = 0;
    virtual void AckGetUserSpace(QJsonValue& data) = 0;
    virtual void AckGetVersion(QJsonValue& data, bool typeWasOne) = 0;
    virtual void AckGetBgsp(QJsonValue& data) = 0;
    virtual void AckGetGlobalNodes(QJsonValue& data, unsigned int count, bool fromComet) = 0;
    virtual void AckGetIncrGlobal(QJsonValue& data, unsigned int count, bool fromComet) = 0;
    virtual void AckGetEnterpriseList(QJsonValue& data) = 0;
    virtual void AckGetJumpUrl(QJsonObject& reply) = 0;
    virtual void ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind,
                                       int serviceErrno, QString errmsg) = 0;
    virtual void ProcDownloadFile(int command, unsigned int id, QJsonObject& reply) = 0;
    virtual void ProcUploadFile(int command, unsigned int id, QJsonObject& reply) = 0;
};

// Registers the engine (null: none); any thread. The handler must outlive every request that may
// still reach it, or be unregistered first.
void SetResponseHandler(QCResponseHandler* handler);
// The registered handler, or null.
QCResponseHandler* GetResponseHandler();
// What the API client's call sites use: the registered handler, or else one that drops every call
// with a debug line and answers IsOrphanTask with true. Never null; any thread.
QCResponseHandler& ResponseHandlerOrDrop();
