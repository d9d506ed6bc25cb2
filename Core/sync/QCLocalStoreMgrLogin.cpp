// The engine's login to the API and its error report.
//
// The login chain: configuration (status 0) -> login (status 0 -> 3 on the first login into an
// enterprise, else 2) -> the login's files (CheckConfigReady, 3 -> 2) -> user details (status 2
// or 4) -> cloud fetch. Each step's reply comes back on the engine thread. A step that fails (its
// exchange failed, its reply did not parse, the login reply was for another account or lacked its
// key, or the service refused it with an error the user cannot act on) is sent again after 1 s,
// 2 s, 4 s ... at most 60 s of the core's clock; any success resets the pause. Refusals the user
// must act on (a wrong password, a banned or inactive account, an invalid login) end the chain.
//
// The error report: transport and HTTP failures go to the network error record; every other kind
// is worded into the sync error record, and only the first error after that record was emptied
// reaches the user as a global error event (2219). Both records are written on the engine thread
// only; the status query reads them under m_errorLock.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "network/AesKey.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"
#include "sync/SyncErrorText.h"

#include <QJsonArray>

#include <curl/curl.h>

#include <algorithm>

namespace {

constexpr qint64 kChainFirstPauseMs = 1000;
constexpr qint64 kChainLongestPauseMs = 60000;
// The largest single file when neither the service nor the configuration names one: 4 TiB.
constexpr quint64 kDefaultMaxFileSize = 0x40000000000ULL;

QJsonObject ObjectOf(const QJsonValue& data) {
    return data.isObject() ? data.toObject() : QJsonObject();
}

QString FormatSize(quint64 bytes) {
    return QString::number(double(bytes) / double(GB), 'f', 2) + QStringLiteral(" GB");
}

} // namespace

// --- The chain ----------------------------------------------------------------------------------

void QCLocalStoreMgr::ChainSucceeded() {
    m_chainPauseMs = kChainFirstPauseMs;
    m_chainCommand = 0;
    m_chainRetryAtMs = -1;
    ErrorOnThread(SYNC_ERROR::OK, 0, QString(), nullptr); // the connection works again
}

void QCLocalStoreMgr::ResetChain() {
    m_chainPauseMs = kChainFirstPauseMs;
    m_chainCommand = 0;
    m_chainRetryAtMs = -1;
}

void QCLocalStoreMgr::ChainFailed(int command, int kind, int code) {
    const LOCAL_STATUS status = m_status.load();
    const bool inChain =
        ((command == CMD::GetConfig || command == CMD::Login) && status == LOCAL_STATUS_WAIT_LOGIN) ||
        (command == CMD::GetUserDetail &&
         (status == LOCAL_STATUS_LOGIN_OK || status == LOCAL_STATUS_CHECK_CLOUD));
    if (!inChain)
        return;
    if (kind == SYNC_ERROR::Password || kind == SYNC_ERROR::Banned || kind == SYNC_ERROR::UnActive) {
        CoreDebug("[login] step %d refused (kind %d): the user must act", command, kind);
        ResetChain();
        return;
    }
    if (kind == SYNC_ERROR::Login && code == 2006)
        return; // a new login has been started instead
    m_chainCommand = command;
    m_chainRetryAtMs = QCClock::NowMs() + m_chainPauseMs;
    CoreDebug("[login] step %d failed (kind %d, code %d): again in %lld ms", command, kind, code,
              static_cast<long long>(m_chainPauseMs));
    m_chainPauseMs = std::min(m_chainPauseMs * 2, kChainLongestPauseMs);
}

void QCLocalStoreMgr::CheckChainRetry() {
    if (m_chainRetryAtMs < 0 || QCClock::NowMs() < m_chainRetryAtMs)
        return;
    const int command = m_chainCommand;
    m_chainCommand = 0;
    m_chainRetryAtMs = -1;
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    switch (command) {
    case CMD::GetConfig:
        RunOnPool([requests] { requests->DoGetConfig(); });
        break;
    case CMD::Login:
        RunOnPool([requests] { requests->DoLogin(); });
        break;
    case CMD::GetUserDetail:
        RunOnPool([requests] { requests->DoGetUserDetail(false, false); });
        break;
    default:
        break;
    }
}

void QCLocalStoreMgr::OnRequestFailed(int command, unsigned int id, int kind, int code) {
    if (!IsEngineThread()) {
        Post([this, command, id, kind, code] { OnRequestFailed(command, id, kind, code); }, false);
        return;
    }
    CoreDebug("[resp] request %d (task %u) failed: kind %d code %d", command, id, kind, code);
    if (kind == SYNC_ERROR::Network) {
        if (code == CURLE_ABORTED_BY_CALLBACK)
            return; // stopped on purpose: by a logout, a stop or the end
        ErrorOnThread(kind, code, QString(), nullptr);
    }
    if (command == CMD::GetJumpUrl) {
        // The page was asked for by the user, who waits for an answer.
        QJsonObject failure{{QStringLiteral("errno"), code},
                            {QStringLiteral("errmsg"), NetworkErrorMessage(SYNC_ERROR::Network, code)}};
        AckGetJumpUrl(failure);
        return;
    }
    if (command == CMD::GetBgsp || command == CMD::GetGlobalNodes || command == CMD::GetIncrGlobal)
        FetchFailed(command, kind, code);
    else
        ChainFailed(command, kind, code);
}

// --- The handlers ---------------------------------------------------------------------------------

void QCLocalStoreMgr::AckGetConfig(QJsonValue& data) {
    if (!data.isObject()) {
        CoreDebug("[error] GetConfig parse error");
        ChainFailed(CMD::GetConfig, SYNC_ERROR::XmlCorrupt, 0);
        return;
    }
    QJsonObject object = data.toObject();
    const std::shared_ptr<GET_CONFIG_ACK> ack = QCResponseCommon().parseGetConfig(object);
    if (m_status.load() != LOCAL_STATUS_WAIT_LOGIN)
        return; // a late reply: the login has moved on or ended
    g_Config.SetConfigAck(*ack);
    if (!g_Config.SslFlag() && ack->is_https != 0) {
        CoreDebug("[HttpsTest] Need: request=GetConfig");
        AddCoreCritalEvent(std::make_shared<QCSpeedTestEvent>());
    }
    ChainSucceeded();
    RunOnPool([] { QCRequestCommon::GetInstance()->DoLogin(); });
}

void QCLocalStoreMgr::AckLogin(QJsonValue& data, bool noEnterpriseYet) {
    if (m_status.load() != LOCAL_STATUS_WAIT_LOGIN)
        return; // a late reply must not take a stopped or logged-out engine back into a login
    if (!data.isObject()) {
        CoreDebug("[error] Login parse error");
        ChainFailed(CMD::Login, SYNC_ERROR::XmlCorrupt, 0);
        return;
    }
    QJsonObject object = data.toObject();
    const std::shared_ptr<LOGIN_ACK> ack = QCResponseCommon().parseLogin(object);
    if (ack->key.isEmpty() || ack->iv.isEmpty()) {
        CoreDebug("[error] bad iv or key");
        ChainFailed(CMD::Login, SYNC_ERROR::ServerData, 0);
        return;
    }
    const QString account = g_Config.GetUserName();
    if (ack->qid != account) {
        CoreDebug("[Need ReLogin] qid=%s, eid=%s, lastqid=%s", qUtf8Printable(ack->qid),
                  qUtf8Printable(ack->eid), qUtf8Printable(account));
        ChainFailed(CMD::Login, SYNC_ERROR::ServerData, 0);
        return;
    }
    QCRequestCommon::GetInstance()->SetParam(ack->qid, ack->eid, ack->token);
    if (g_Config.Eid().isEmpty()) {
        g_Config.FirstSetEidConfig(ack->eid);
        g_Config.CallOuter(new QCDefaultEntLoginEvent(ack->eid));
    }
    SetAesKey(ack->key.toUtf8(), ack->iv.toUtf8());
    ChainSucceeded();
    ChangeStatus(noEnterpriseYet ? LOCAL_STATUS_LOGIN_RETRY : LOCAL_STATUS_LOGIN_OK, true);
    if (m_restarting) {
        CoreDebug("[Restart Sync]");
        RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(false, false); });
        m_restarting = false;
    }
}

void QCLocalStoreMgr::AckGetUserDetail(QJsonValue& data, bool) {
    if (!data.isObject()) {
        CoreDebug("[error] get user detail parse error");
        ChainFailed(CMD::GetUserDetail, SYNC_ERROR::XmlCorrupt, 0);
        return;
    }
    QJsonObject object = data.toObject();
    const std::shared_ptr<USER_DETAIL_ACK> reply = QCResponseCommon().parseUserDetail(object);
    quint32 version = 0;
    {
        // The version never goes backward.
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        const quint32 stored = m_userDetail.version;
        m_userDetail = *reply;
        if (reply->version < stored)
            m_userDetail.version = stored;
        version = m_userDetail.version;
    }
    UpdateUserInfo(*reply);
    const LOCAL_STATUS status = m_status.load();
    if (status == LOCAL_STATUS_CHECK_CLOUD || status == LOCAL_STATUS_LOGIN_OK) {
        ChainSucceeded();
        if (!DownloadRunning()) {
            CoreDebug("local ver:%u, server ver:%u, begin CompareCloud\n", QCSyncDB::GetLastVer(), version);
            ReqGetAllNodes(false);
        } else {
            m_nodeTimer.Start();
            CoreDebug("[fetch] waits for the running downloads");
        }
    }
    if (status == LOCAL_STATUS_OK && QCSyncDB::GetLastVer() != version) {
        CoreDebug("DB update to ver:%u\n", version);
        QCSyncDB::SetLastVer(version);
    }
    SendUserStatusChangeEvent();
}

void QCLocalStoreMgr::AckGetUserSpace(QJsonValue& data) {
    if (!data.isObject()) {
        CoreDebug("[error] get user space parse error");
        return;
    }
    QJsonObject object = data.toObject();
    UpdateUserInfo(*QCResponseCommon().parseUserDetail(object));
    SendUserStatusChangeEvent();
}

void QCLocalStoreMgr::UpdateUserInfo(USER_DETAIL_ACK reply) {
    if (reply.max_file_size == 0)
        reply.max_file_size = quint64(std::max<qint64>(g_Config.max_file_mb, 0)) * quint64(MB);
    if (reply.max_file_size == 0)
        reply.max_file_size = kDefaultMaxFileSize;
    if (reply.max_del_count == 0)
        reply.max_del_count = 50000;
    {
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        // These stay as the login and the version replies left them.
        const USER_DETAIL_ACK kept = m_userDetail;
        m_userDetail = reply;
        m_userDetail.qid = kept.qid;
        m_userDetail.active_time = kept.active_time;
        m_userDetail.active_ip = kept.active_ip;
        m_userDetail.last_login_time = kept.last_login_time;
        m_userDetail.last_login_ip = kept.last_login_ip;
        m_userDetail.login_count = kept.login_count;
        m_userDetail.version = kept.version;
        m_userDetail.count_node = kept.count_node;
        m_userDetail.has_dravel = kept.has_dravel;
        m_userDetail.file_extentions = kept.file_extentions;
        m_userDetail.edit_status = kept.edit_status;
    }
    g_Config.SaveUserProfileInt64(QStringLiteral("total_size"), qint64(reply.total_size));
    g_Config.SaveUserProfileInt64(QStringLiteral("used_size"), qint64(reply.used_size));
    g_Config.SaveUserProfileInt64(QStringLiteral("e_total_size"), qint64(reply.e_total_size));
    g_Config.SaveUserProfileInt64(QStringLiteral("e_used_size"), qint64(reply.e_used_size));
    g_Config.SaveUserProfile(QStringLiteral("online_service_addr"), reply.online_service);
    CoreDebug("[resp] user space %s / %s, max_single_file %uMB\n",
              qUtf8Printable(FormatSize(reply.used_size)), qUtf8Printable(FormatSize(reply.total_size)),
              unsigned(reply.max_file_size / quint64(MB)));
}

void QCLocalStoreMgr::AckGetVersion(QJsonValue& data, bool) {
    if (!data.isObject()) {
        CoreDebug("[error] get version parse error");
        return;
    }
    QJsonObject object = data.toObject();
    const std::shared_ptr<VERSION_ACK> reply = QCResponseCommon().parseVersion(object);
    const LOCAL_STATUS status = m_status.load();
    if (status != LOCAL_STATUS_OK && status != LOCAL_STATUS_CHECK_CLOUD && status != LOCAL_STATUS_MONITOR) {
        CoreDebug("stat=%d, getVersion skip\n", int(status));
        return;
    }
    quint32 stored = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        stored = m_userDetail.version;
    }
    if (reply->ver > stored) {
        {
            std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
            m_userDetail.version = reply->ver;
        }
        if (status == LOCAL_STATUS_MONITOR) {
            // Local work runs: no new item starts, and the fetch follows once none runs.
            m_versionHold = true;
        } else {
            // Back to status 2: the user details lead on to a fetch of the new cloud version.
            ChangeStatus(LOCAL_STATUS_LOGIN_OK, false);
            RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(false, false); });
        }
    }
    CoreDebug("[resp] getVersion %u, local %u, server_time %u\n", reply->ver, stored, reply->server_time);
    if (reply->ver >= stored)
        m_versionFlag = true;
}

ENTERPRISE_ITEM QCLocalStoreMgr::GetEnterpriseItem(const QJsonValue& value, ENTERPRISE_TYPE type) {
    const QJsonObject object = value.toObject();
    ENTERPRISE_ITEM item;
    item.eid = QCResponseCommon::JsonText(object, QStringLiteral("eid"));
    item.name = QCResponseCommon::JsonText(object, QStringLiteral("name"));
    item.is_vip = QCResponseCommon::JsonBool(object.value(QStringLiteral("is_vip")));
    item.type = type;
    return item;
}

void QCLocalStoreMgr::FillEnterpriseList(const QJsonObject& data, std::vector<ENTERPRISE_ITEM>& items,
                                         const QString& key, ENTERPRISE_TYPE type) {
    const QJsonValue list = data.value(key);
    if (!list.isArray())
        return;
    for (const QJsonValue& element : list.toArray()) {
        if (element.isObject())
            items.push_back(GetEnterpriseItem(element, type));
    }
}

void QCLocalStoreMgr::AckGetEnterpriseList(QJsonValue& data) {
    const QJsonObject object = ObjectOf(data);
    if (object.isEmpty()) {
        CoreDebug("[error] get enterprise list parse error");
        return;
    }
    auto* event = new QCGetEnterpriseEvent();
    event->data.max_num_created_ent =
        QCResponseCommon::JsonInt(object.value(QStringLiteral("max_num_created_ent")));
    event->data.can_create_more = QCResponseCommon::JsonBool(object.value(QStringLiteral("can_create_more")));
    FillEnterpriseList(object, event->data.items, QStringLiteral("owner"), ENTERPRISE_OWNER);
    FillEnterpriseList(object, event->data.items, QStringLiteral("member"), ENTERPRISE_MEMBER);
    FillEnterpriseList(object, event->data.items, QStringLiteral("overdue"), ENTERPRISE_OVERDUE);
    FillEnterpriseList(object, event->data.items, QStringLiteral("not_pay"), ENTERPRISE_NOT_PAY);
    g_Config.CallOuter(event);
}

void QCLocalStoreMgr::AckGetJumpUrl(QJsonObject& reply) {
    auto* event = new QCGetJumpUrlEvent();
    GET_TICKET_RESULT& result = event->data;
    const int errnoValue = QCResponseCommon::JsonInt(reply.value(QStringLiteral("errno")));
    if (errnoValue != 0) {
        result.result = errnoValue;
        result.message = QCResponseCommon::JsonText(reply, QStringLiteral("errmsg"));
    } else {
        const QJsonObject data = ObjectOf(reply.value(QStringLiteral("data")));
        if (data.isEmpty())
            result.message = QStringLiteral("jump url not valid");
        else
            result.url = QCResponseCommon::JsonText(data, QStringLiteral("jump_url"));
    }
    if (!result.message.isEmpty())
        CoreDebug("[error] GetJumpUrl result : errno:%d, info:%s", result.result,
                  qUtf8Printable(result.message));
    else
        CoreDebug("[resp] GetJumpUrl : jump_url:%s", qUtf8Printable(result.url));
    g_Config.CallOuter(event);
}

// --- The cloud fetch's entry (the fetch itself enters with its part) ----------------------------------

bool QCLocalStoreMgr::DownloadRunning() const {
    return m_downloadBusyForTests || DownloadCount() > 0;
}

void QCLocalStoreMgr::CheckNodeFetch() {
    const LOCAL_STATUS status = m_status.load();
    if ((status != LOCAL_STATUS_LOGIN_OK && status != LOCAL_STATUS_CHECK_CLOUD) || !m_nodeTimer.Check())
        return;
    if (DownloadRunning())
        m_nodeTimer.Start();
    else
        ReqGetAllNodes(true);
}


// --- The error report -------------------------------------------------------------------------------

void QCLocalStoreMgr::OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat) {
    if (!IsEngineThread()) {
        AddCoreEvent(std::make_shared<QCAsyncErrorMsgEvent>(kind, serviceErrno, text, stat));
        return;
    }
    ErrorOnThread(kind, serviceErrno, text, stat);
}

// An error about an item of the mirror goes once that item is synced, or is gone from the index
// and the disk: it no longer describes anything the user could act on.
void QCLocalStoreMgr::DropSettledError() {
    QString item;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        if (m_syncError.GetType() == 0)
            return;
        item = m_syncError.GetItemStr();
    }
    if (item.isEmpty() || !IsSyncPath(item) || item.compare(GetRootPath(), Qt::CaseInsensitive) == 0)
        return;
    FileInfo entry;
    const bool settled = m_cache.GetBaseInfo(item, entry) ? entry.status == FILE_STATUS_SYNCED
                                                          : !StampOf(item).exists;
    if (!settled)
        return;
    CoreDebug("[error] %s is settled: its error goes", qUtf8Printable(item));
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        if (m_syncError.GetItemStr() != item)
            return;
        m_syncError.Clear();
    }
    SendUserStatusChangeEvent();
}

void QCLocalStoreMgr::ErrorOnThread(int kind, int code, const QString& item, const CMD_STAT_DEBUG* context) {
    Q_ASSERT(IsEngineThread()); // the records have one writer
    if (kind == SYNC_ERROR::OK) {
        bool changed = false;
        {
            std::lock_guard<std::mutex> lock(m_errorLock);
            changed = m_networkError.SetErr(0, 0, QString(), QString());
        }
        if (changed)
            SendUserStatusChangeEvent();
        return;
    }
    if (kind == SYNC_ERROR::Network || kind == SYNC_ERROR::Server) {
        {
            std::lock_guard<std::mutex> lock(m_errorLock);
            m_networkError.SetErr(quint32(kind), quint32(code), NetworkErrorMessage(kind, code), QString());
        }
        SendUserStatusChangeEvent();
        return;
    }
    const SyncErrorText text = ComposeSyncError(kind, code, item, context, g_Config.GetSyncPath());
    quint32 previous = 0;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        previous = m_syncError.GetType();
        m_syncError.SetErr(quint32(kind), quint32(code), text.message, text.item);
    }
    CoreDebug("[error] kind %d code %d %s", kind, code, qUtf8Printable(text.message));
    SendUserStatusChangeEvent();
    // Only the first error after the record was emptied becomes a message box.
    if (previous != 0 || !text.show)
        return;
    m_lastShownErrorMs = QCClock::NowMs();
    const QString shown = IsSyncPath(text.item) ? GetVirtualPath(text.item) : text.item;
    auto* event = new QCGlobalErrorEvent();
    event->error_type = kind;
    event->error_code = code;
    event->message = GlobalErrorText(text.message, shown);
    g_Config.CallOuter(event);
}
