// The reply side of QCRequestCommon: the envelope check, the mapping of the service's error
// numbers to the engine's error kinds, and the dispatch of payloads to the engine's handlers.
//
// Every reply ends in exactly one call to the engine, success or failure, so that nobody waits for
// an answer that was swallowed:
// - a success (or a benign error) goes to the command's handler;
// - a reply that is not a JSON object is reported (kind 42) and handed on as a failure: to the
//   transfer task that owns it (dropped when none does), to the jump-URL handler and to
//   ProcServerFileOperate with errno ERRNO_BAD_REPLY, and for the Ack handlers to
//   OnRequestFailed;
// - a service error dealt with here (reported, or a new login started) still reaches the transfer
//   task with the whole envelope, ProcServerFileOperate with the error kind, and OnRequestFailed
//   for the Ack handlers.
#include "network/QCRequestCommon.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/QCEvents.h"
#include "network/CmdTable.h"
#include "network/LogRedaction.h"
#include "network/QCResponseCommon.h"
#include "network/QCResponseHandler.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLoggingCategory>

namespace {

constexpr int kKindLogic = SYNC_ERROR::Logic;           // 10
constexpr int kKindNotSupport = SYNC_ERROR::NotSupport; // 13
constexpr int kKindLogin = SYNC_ERROR::Login;           // 14
constexpr int kKindMaintain = SYNC_ERROR::Maintain;     // 15
constexpr int kKindPassword = SYNC_ERROR::Password;     // 16
constexpr int kKindBadReply = SYNC_ERROR::XmlCorrupt;   // 42
constexpr int kKindRestricted = SYNC_ERROR::Restricted; // 44
constexpr int kKindBanned = SYNC_ERROR::Banned;         // 45
constexpr int kKindUnActive = SYNC_ERROR::UnActive;     // 46
constexpr int kKindNoPerm = SYNC_ERROR::NoPerm;         // 47

bool IsTransfer(int command) {
    return (command >= CMD::DownloadInfo && command <= CMD::DownloadBlock) ||
           (command >= CMD::UploadInfo && command <= CMD::UploadFast);
}

// Commands whose replies go to an Ack handler, which has no failure form of its own.
bool HasAckHandler(int command) {
    switch (command) {
    case CMD::GetConfig:
    case CMD::Login:
    case CMD::GetUserDetail:
    case CMD::GetVersion:
    case CMD::GetUserSpace:
    case CMD::GetBgsp:
    case CMD::GetGlobalNodes:
    case CMD::GetIncrGlobal:
    case CMD::GetEnterpriseList:
        return true;
    default:
        return false;
    }
}

bool IsFileOperation(int command) {
    return command >= CMD::CreateDir && command <= CMD::Copy;
}

bool IsDownload(int command) {
    return command >= CMD::DownloadInfo && command <= CMD::DownloadBlock;
}

void HandToTransferTask(int command, unsigned int id, QJsonObject& envelope) {
    if (IsDownload(command))
        ResponseHandlerOrDrop().ProcDownloadFile(command, id, envelope);
    else
        ResponseHandlerOrDrop().ProcUploadFile(command, id, envelope);
}

QJsonObject FailureEnvelope(int errnoValue, const QString& errmsg) {
    return QJsonObject{{QStringLiteral("errno"), errnoValue}, {QStringLiteral("errmsg"), errmsg}};
}

bool IsJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

QByteArray QCRequestCommon::QuoteNumericEid(const QByteArray& body) {
    QByteArray out;
    out.reserve(body.size() + 16);
    int i = 0;
    const int n = body.size();
    while (i < n) {
        const char c = body.at(i);
        if (c != '"') {
            out.append(c);
            ++i;
            continue;
        }
        // A string literal: copy it whole, escapes included, and remember whether it was "eid".
        const int start = i++;
        while (i < n && body.at(i) != '"')
            i += body.at(i) == '\\' ? 2 : 1;
        i = qMin(i + 1, n);
        const QByteArray literal = body.mid(start, i - start);
        out.append(literal);
        if (literal != "\"eid\"")
            continue;
        int j = i;
        while (j < n && IsJsonSpace(body.at(j)))
            ++j;
        if (j >= n || body.at(j) != ':')
            continue; // a value "eid", not a key
        ++j;
        while (j < n && IsJsonSpace(body.at(j)))
            ++j;
        int end = j;
        while (end < n && (QByteArray("-+.0123456789eE").contains(body.at(end))))
            ++end;
        if (end == j)
            continue;                   // a string, object or anything else stays as it is
        out.append(body.mid(i, j - i)); // the colon and blanks as they were
        out.append('"').append(body.mid(j, end - j)).append('"');
        i = end;
    }
    return out;
}

void QCRequestCommon::ParseResponse(int command, unsigned int id, QSharedPointer<NetworkClient> client) {
    if (!client)
        return;
    const bool block = command == CMD::DownloadBlock; // block data: only its headers are worth a log line
    if (block)
        CoreDebug("[response] %s\n%s", qUtf8Printable(GetCmdString(command)),
                  RedactForLog(client->responseHeaderText()).constData());
    DispatchReply(command, id, block ? QByteArray() : client->responseBody(),
                  client->GetParamInt(QStringLiteral("type")), client->GetParamInt(QStringLiteral("count")),
                  client->GetParamInt(QStringLiteral("from_comet")));
}

void QCRequestCommon::DispatchReply(int command, unsigned int id, QByteArray body, int type, int count,
                                    int fromComet) {
    if (command == CMD::DownloadBlock) {
        // Block data, not an envelope: the download task reads it from the client.
        QJsonObject none;
        ResponseHandlerOrDrop().ProcDownloadFile(command, id, none);
        return;
    }
    if (CoreLog::Enabled()) // the login reply carries the token and the block key
        CoreDebug("[response] %s\n%s", qUtf8Printable(GetCmdString(command)), RedactForLog(body).constData());
    if (command == CMD::Login)
        body = QuoteNumericEid(body);

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (!document.isObject()) {
        if (IsTransfer(command) && ResponseHandlerOrDrop().IsOrphanTask(id))
            return; // nobody waits for it any more
        ResponseHandlerOrDrop().OnError(kKindBadReply, 0, QString(), nullptr);
        const QString reason = QStringLiteral("reply is not a JSON object");
        QJsonObject failure = FailureEnvelope(ERRNO_BAD_REPLY, reason);
        if (IsTransfer(command)) {
            HandToTransferTask(command, id, failure);
        } else if (command == CMD::GetJumpUrl) {
            ResponseHandlerOrDrop().AckGetJumpUrl(failure);
        } else if (IsFileOperation(command)) {
            QJsonValue none;
            ResponseHandlerOrDrop().ProcServerFileOperate(command, id, none, kKindBadReply, ERRNO_BAD_REPLY,
                                                          reason);
        } else if (HasAckHandler(command)) {
            ResponseHandlerOrDrop().OnRequestFailed(command, id, kKindBadReply, ERRNO_BAD_REPLY);
        }
        return;
    }
    QJsonObject reply = document.object();

    if (command == CMD::GetJumpUrl) {
        ResponseHandlerOrDrop().AckGetJumpUrl(reply);
        return;
    }

    const int serviceErrno = QCResponseCommon::JsonInt(reply.value(QStringLiteral("errno")));
    const QString errmsg = QCResponseCommon::JsonText(reply, QStringLiteral("errmsg"));
    QJsonValue data;
    int code = 0;
    if (serviceErrno == 0) {
        data = reply.value(QStringLiteral("data"));
    } else if (ProcessError(command, code, serviceErrno, errmsg)) {
        // Dealt with here; whoever waits for the reply learns of the error too. No kind means a
        // new login has been started.
        if (code == 0)
            code = kKindLogin;
        if (IsTransfer(command)) {
            HandToTransferTask(command, id, reply);
        } else if (IsFileOperation(command)) {
            QJsonValue none;
            ResponseHandlerOrDrop().ProcServerFileOperate(command, id, none, code, serviceErrno, errmsg);
        } else if (HasAckHandler(command)) {
            ResponseHandlerOrDrop().OnRequestFailed(command, id, code, serviceErrno);
        }
        return;
    }

    switch (command) {
    case CMD::GetConfig:
        ResponseHandlerOrDrop().AckGetConfig(data);
        break;
    case CMD::Login:
        ResponseHandlerOrDrop().AckLogin(data, g_Config.Eid().isEmpty());
        break;
    case CMD::GetUserDetail:
        ResponseHandlerOrDrop().AckGetUserDetail(data, type == 1);
        break;
    case CMD::GetVersion:
        ResponseHandlerOrDrop().AckGetVersion(data, type == 1);
        break;
    case CMD::GetUserSpace:
        ResponseHandlerOrDrop().AckGetUserSpace(data);
        break;
    case CMD::GetBgsp:
        ResponseHandlerOrDrop().AckGetBgsp(data);
        break;
    case CMD::GetGlobalNodes:
        ResponseHandlerOrDrop().AckGetGlobalNodes(data, unsigned(count), fromComet != 0);
        break;
    case CMD::GetIncrGlobal:
        ResponseHandlerOrDrop().AckGetIncrGlobal(data, unsigned(count), fromComet != 0);
        break;
    case CMD::CreateDir:
    case CMD::DeleteNode:
    case CMD::Rename:
    case CMD::Move:
    case CMD::Copy:
        ResponseHandlerOrDrop().ProcServerFileOperate(command, id, data, code, serviceErrno, errmsg);
        break;
    case CMD::GetEnterpriseList:
        ResponseHandlerOrDrop().AckGetEnterpriseList(data);
        break;
    default:
        if (IsTransfer(command))
            HandToTransferTask(command, id, reply);
        break;
    }
}

bool QCRequestCommon::ProcessError(int command, int& code, int serviceErrno, const QString& errmsg) {
    // The first matching rule applies. Rules that set a kind and break out of the switch end with
    // the critical line and the engine's error report below.
    switch (serviceErrno) {
    case 81001:
    case 81002:
    case 81003:
    case 81004:
        code = kKindNoPerm;
        break;
    case 2006:
        if (command == CMD::Login) {
            code = kKindLogin; // the login itself is not logged in again
            break;
        }
        ResponseHandlerOrDrop().ReLogin(); // the token expired: log in again, no report
        return true;
    case 1007:
        code = kKindNotSupport;
        break;
    case 2901:
        code = kKindUnActive;
        break;
    case 8908:
        code = command == CMD::GetUserDetail ? kKindLogin : kKindRestricted;
        break;
    case 32052:
        switch (command) {
        case CMD::GetVersion:
        case CMD::LinkPre:
        case CMD::LinkCreate:
        case CMD::LinkCancelUrl:
        case CMD::LinkCancelPath:
        case CMD::LinkPassword:
        case CMD::GetShareLinkList:
            return false; // dispatched with null data
        default:
            code = kKindRestricted;
        }
        break;
    case 9999:
        code = kKindMaintain;
        break;
    case 3109:
        code = kKindLogic;
        break;
    case 91001:
        code = command == CMD::Login ? kKindBanned : kKindPassword;
        break;
    case 91002:
        code = kKindBanned;
        break;
    default:
        if (command == CMD::GetConfig || command == CMD::GetBgsp) {
            code = kKindLogin;
        } else if (command == CMD::Login) {
            if (serviceErrno == 2008)
                g_Config.CallOuter(new QCInvalidQTEvent()); // back to the login window
            code = serviceErrno == 2008 ? kKindPassword : kKindLogin;
        } else if (command == CMD::CreateDir && serviceErrno == 3005) {
            code = 0;
            return false; // the folder exists already: dispatched as a result
        } else if (command == CMD::DeleteNode &&
                   (serviceErrno == 3001 || serviceErrno == 3007 || serviceErrno == 3008)) {
            code = 0;
            return false; // already gone: dispatched as a result
        } else if (IsTransfer(command)) {
            code = kKindLogic;
            return false; // the transfer task receives the whole envelope
        } else {
            code = kKindLogic;
        }
        break;
    }
    qCritical("[error] %s err:%d\n%s", qUtf8Printable(GetCmdString(command)), serviceErrno,
              qUtf8Printable(errmsg));
    ResponseHandlerOrDrop().OnError(code, serviceErrno, QString(), nullptr);
    return true;
}
