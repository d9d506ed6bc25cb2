#include "network/QCRequestCommon.h"

#include "Database/QCGlobalConfig.h"
#include "common/BuildConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "network/CmdTable.h"
#include "network/QCResponseCommon.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace {

// Splits a comma-separated address text, leaving out empty entries and anything that is not a
// host or IP literal with an optional port: a malformed fallback address would only be retried.
QStringList SplitAddresses(const QString& text) {
    QStringList result;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QString address = part.trimmed();
        if (!address.isEmpty() && QCResponseCommon::IsValidHost(address))
            result << address;
    }
    return result;
}

} // namespace

QCRequestCommon* QCRequestCommon::GetInstance() {
    static QCRequestCommon instance;
    return &instance;
}

QCRequestCommon::QCRequestCommon() {
    std::srand(unsigned(std::time(nullptr)));
}

QCRequestCommon::~QCRequestCommon() = default;

bool QCRequestCommon::Clear() {
    // Stop first: a builder on a pool thread may be performing one of these right now. It keeps
    // its own reference, so dropping ours below frees nothing under it. Only the clients made
    // here stop: the application's own exchanges (account service, pictures) go on.
    std::vector<QWeakPointer<NetworkClient>> made;
    {
        std::lock_guard<std::mutex> lock(m_clientsLock);
        made.swap(m_clients);
        m_pruneAt = kPruneMin;
    }
    for (const QWeakPointer<NetworkClient>& weak : made) {
        if (const QSharedPointer<NetworkClient> client = weak.toStrongRef())
            client->Cancel();
    }
    std::map<quint32, QSharedPointer<NetworkClient>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_requestsLock);
        dropped.swap(m_requests);
    }
    return true; // `dropped` releases the registry's references outside the lock
}

QSharedPointer<NetworkClient> QCRequestCommon::NewClient() {
    // Made under the lock: a Clear meanwhile either finds it listed or comes before it was made.
    std::lock_guard<std::mutex> lock(m_clientsLock);
    auto client = QSharedPointer<NetworkClient>::create(-1);
    if (m_clients.size() >= m_pruneAt) {
        m_clients.erase(std::remove_if(m_clients.begin(), m_clients.end(),
                                       [](const QWeakPointer<NetworkClient>& weak) { return weak.isNull(); }),
                        m_clients.end());
        m_pruneAt = std::max(kPruneMin, 2 * m_clients.size());
    }
    m_clients.push_back(client);
    return client;
}

void QCRequestCommon::SetParam(const QString& qid, const QString& eid, const QString& token) {
    std::lock_guard<std::mutex> lock(m_paramLock);
    m_qid = qid;
    m_eid = eid;
    m_token = token;
}

QString QCRequestCommon::ParamQid() const {
    std::lock_guard<std::mutex> lock(m_paramLock);
    return m_qid;
}

QString QCRequestCommon::ParamEid() const {
    std::lock_guard<std::mutex> lock(m_paramLock);
    return m_eid;
}

QString QCRequestCommon::ParamToken() const {
    std::lock_guard<std::mutex> lock(m_paramLock);
    return m_token;
}

unsigned int QCRequestCommon::GetTaskID() {
    quint32 id;
    do {
        id = m_taskCounter.fetch_add(1) + 1;
    } while (id == 0); // 0 means failure to every caller: skip it when the counter wraps
    return id;
}

QSharedPointer<NetworkClient> QCRequestCommon::GetRequestByID(unsigned int id) {
    std::lock_guard<std::mutex> lock(m_requestsLock);
    const auto it = m_requests.find(id);
    return it == m_requests.end() ? QSharedPointer<NetworkClient>() : it->second;
}

bool QCRequestCommon::CancelTask(unsigned int id) {
    QSharedPointer<NetworkClient> dropped;
    std::lock_guard<std::mutex> lock(m_requestsLock);
    const auto it = m_requests.find(id);
    if (it == m_requests.end())
        return false;
    dropped = it->second; // released after the lock, with `dropped`
    m_requests.erase(it);
    return true;
}

unsigned int QCRequestCommon::Register(const QSharedPointer<NetworkClient>& client) {
    const unsigned int id = GetTaskID();
    std::lock_guard<std::mutex> lock(m_requestsLock);
    m_requests[id] = client;
    return id;
}

void QCRequestCommon::AddCredentialCookie(const QSharedPointer<NetworkClient>& client,
                                          QCSignRequest& params) {
    QString q;
    QString t;
    FindQTFromPwd(g_Config.Credential(), q, t);
    params.Add(QStringLiteral("q"), q);
    params.Add(QStringLiteral("t"), t);
    client->addQueryHeader(QStringLiteral("Cookie"), params.GetCookies());
}

unsigned int QCRequestCommon::CreateRequestInstance(int command, QCSignRequest& params) {
    const REQUEST_TYPE type = GetRequestType(command);
    const QSharedPointer<NetworkClient> client = NewClient();
    QStringList addresses;
    const QString host = InitCommonArguments(client, addresses, type, QString(), QString());
    CoreDebug("host=%s", qUtf8Printable(host));
    if (host.isEmpty())
        return 0; // no configuration reply yet: there is nowhere to send it

    int cap = -1;
    bool ssl = g_Config.GetConfigAck().is_https != 0;
    if (command == CMD::GetConfig) {
        cap = 26;
        ssl = false;
    } else if (command == CMD::UploadInfo || command == CMD::UploadAdd) {
        cap = 2; // the upload task retries these itself, after a pause
    } else if (command == CMD::GetVersion || command == CMD::GetDirList || command == CMD::HttpsTest) {
        cap = 0;
        if (command == CMD::HttpsTest)
            ssl = true;
    }
    client->setIpList(addresses, cap);
    client->setUserParam(params); // the reply side reads these back, before token, q and t

    QCSignRequest common;
    common.Add(QStringLiteral("method"), GetCmdString(command));
    client->setUrl(GetUrlCommon(host, common, ssl));

    if (command != CMD::GetConfig && command != CMD::Login && command != CMD::HttpsTest)
        params.Add(QStringLiteral("token"), ParamToken());
    AddCredentialCookie(client, params);
    return Register(client);
}

unsigned int QCRequestCommon::CreateManualRequestInstance(int command, QCSignRequest& params,
                                                          const QString& host, const QString& addresses,
                                                          bool ssl) {
    const QSharedPointer<NetworkClient> client = NewClient();
    QStringList addressList;
    InitCommonArguments(client, addressList, TRANSFER_HOST, host, addresses);
    if (host.isEmpty() || !QCResponseCommon::IsValidHost(host))
        return 0;
    client->setIpList(addressList, -1);
    client->setUserParam(params);

    QCSignRequest common;
    common.Add(QStringLiteral("method"), GetCmdString(command));
    client->setUrl(GetUrlCommon(host, common, ssl));

    params.Add(QStringLiteral("token"), ParamToken());
    AddCredentialCookie(client, params);
    return Register(client);
}

QString QCRequestCommon::GetUrlCommon(const QString& host, QCSignRequest& common, bool ssl) {
    QString qid;
    QString eid;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        qid = m_qid;
        eid = m_eid;
    }
    const QString clientIp = g_Config.ClientIp();
    common.Add(QStringLiteral("qid"), qid);
    common.Add(QStringLiteral("eid"), eid);
    common.Add(QStringLiteral("devtype"), g_Config.devtype);
    common.Add(QStringLiteral("v"), g_Config.v);
    common.Add(QStringLiteral("devid"), g_Config.devid);
    common.Add(QStringLiteral("devname"), g_Config.devname);
    common.Add(QStringLiteral("rtick"), std::rand());
    common.Add(QStringLiteral("sign"), common.GetSign(QString()));
    common.Add(QStringLiteral("ofmt"), QStringLiteral("json"));
    common.Add(QStringLiteral("pid"), g_Config.pid);
    if (!clientIp.isEmpty())
        common.Add(QStringLiteral("client_ip"), clientIp);
    return MakeIntfUrl(host, common.GetRequest(), ssl || g_Config.SslFlag());
}

QString QCRequestCommon::InitCommonArguments(const QSharedPointer<NetworkClient>& client,
                                             QStringList& addresses, REQUEST_TYPE type, const QString& host,
                                             const QString& addressText) {
    QString chosen;
    switch (type) {
    case TRANSFER_HOST:
        chosen = host;
        addresses = SplitAddresses(addressText);
        break;
    case API_HOST: {
        const GET_CONFIG_ACK ack = g_Config.GetConfigAck();
        if (!ack.api.http.isEmpty()) {
            chosen = ack.api.http;
            addresses = SplitAddresses(ack.api.addr_1.address + QLatin1Char(',') + ack.api.addr_2.address +
                                       QLatin1Char(',') + ack.api.backup);
        }
        break;
    }
    case CONFIG_HOST:
        chosen = g_Config.ApiHost();
        addresses = SplitAddresses(QStringLiteral(NIMBO_CONFIG_HOST_ADDRESSES));
        break;
    }
    CoreDebug("[host] %s", qUtf8Printable(chosen));
    client->addQueryHeader(QStringLiteral("Host"), chosen);
    client->addQueryHeader(QStringLiteral("X-VARLO-HOST"), chosen);
    client->setUserAgent(g_Config.devtype + QLatin1Char('/') + g_Config.v);
    if (g_Config.http_keep_alive == 0)
        client->addQueryHeader(QStringLiteral("Connection"), QStringLiteral("close"));
    return chosen;
}

QString QCRequestCommon::MakeIntfUrl(const QString& host, const QString& query, bool ssl) {
    const QString url = (ssl ? QStringLiteral("https://") : QStringLiteral("http://")) + host +
                        QStringLiteral("/intf.php?") + query;
    CoreDebug("[url] %s", qUtf8Printable(url));
    return url;
}

QString QCRequestCommon::ConvertServerPath(const QString& path, bool folder) {
    if (folder && !path.endsWith(QLatin1Char('/')))
        return path + QLatin1Char('/');
    return path;
}

QCRequestCommon::REQUEST_TYPE QCRequestCommon::GetRequestType(int command) {
    switch (command) {
    case CMD::GetConfig:
    case CMD::HttpsTest:
        return CONFIG_HOST;
    case CMD::DownloadMeta:
    case CMD::DownloadBlock:
    case CMD::UploadMeta:
    case CMD::UploadBlock:
    case CMD::UploadCommit:
    case CMD::UploadFast:
        return TRANSFER_HOST;
    default:
        return API_HOST;
    }
}
