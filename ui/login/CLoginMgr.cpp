#include "login/CLoginMgr.h"

#include "login/AccountProtocol.h"
#include "login/LoginStore.h"
#include "login/QCUIEventNetwork.h"
#include "login/replies/AccountReplies.h"

#include "common/CoreLog.h"
#include "common/IuCoreUtils.h"
#include "common/TsanAnnotations.h"
#include "network/NetworkClient.h"
#include "sync/VUZeroz.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QSemaphore>
#include <QUrl>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

namespace {

const QString kNoConnectionText = QStringLiteral("网络无连接，请检查您的网络");
const QString kCaptchaFailedText = QStringLiteral("刷新验证码失败");
// Why a core could not be started, when the network is not the reason.
const QString kEngineRunningText = QStringLiteral("同步引擎未能停止，请重新启动程序");
const QString kNoAccountText = QStringLiteral("帐号信息无效，请重新登录");
const QString kNoDataFolderText = QStringLiteral("找不到数据文件夹，无法启动同步");
const QString kBadEnterpriseText = QStringLiteral("企业编号无效，无法启动同步");
const QString kNoMirrorText = QStringLiteral("无法创建同步文件夹：%1");

std::mutex g_probeLock;
std::function<void(const char*)> g_probe; // guarded by g_probeLock

std::atomic<qint64> g_deadlineForTests{0};

void Probe(const char* call) {
    std::function<void(const char*)> probe;
    {
        std::lock_guard<std::mutex> lock(g_probeLock);
        probe = g_probe;
    }
    if (probe)
        probe(call);
}

// A report of the core thread for the sink, delivered on the manager's thread.
class CoreReportEvent : public QEvent {
public:
    CoreReportEvent(int reportCode, const QString& reportText)
        : QEvent(Kind()), code(reportCode), text(reportText) {}
    static QEvent::Type Kind() {
        static const QEvent::Type kind = QEvent::Type(QEvent::registerEventType());
        return kind;
    }
    int code;
    QString text;
};

// The core thread's word that a stop asked by UnloginCore has ended: every notification of the
// stopped core was posted before it.
class CoreStoppedEvent : public QEvent {
public:
    CoreStoppedEvent() : QEvent(Kind()) {}
    static QEvent::Type Kind() {
        static const QEvent::Type kind = QEvent::Type(QEvent::registerEventType());
        return kind;
    }
};

void Post(QObject* receiver, QEvent* event) {
    TsanReleaseEvent(event);
    QCoreApplication::postEvent(receiver, event);
}

// What the debug lines call each exchange; never more than this and the status.
const char* ExchangeName(int type) {
    switch (type) {
    case QCUIEventNetwork::LoginAck:
        return "UserIntf.login";
    case QCUIEventNetwork::AutoLoginAck:
        return "CommonAccount.getUserInfo";
    case QCUIEventNetwork::HeadImgAck:
        return "face picture";
    case QCUIEventNetwork::CaptchaAck:
        return "UserIntf.getCaptcha";
    case QCUIEventNetwork::RDAck:
        return "CommonAccount.getUserInfo (hand-off)";
    }
    return "?";
}

QCUIEventNetwork* MakeReply(int type, std::unique_ptr<NetworkClient> client) {
    switch (type) {
    case QCUIEventNetwork::LoginAck:
        return new QCUIEventLoginAck(std::move(client));
    case QCUIEventNetwork::AutoLoginAck:
        return new QCUIEventAutoLoginAck(std::move(client));
    case QCUIEventNetwork::HeadImgAck:
        return new QCUIEventHeadImgAck(std::move(client));
    case QCUIEventNetwork::CaptchaAck:
        return new QCUIEventCaptchaAck(std::move(client));
    default:
        return new QCUIEventRDAck(std::move(client));
    }
}

// The face picture's file in the account's folder: a name of the client's own, never one the
// address gives (it could name any file there, the account's settings among them).
const QString kFaceFile = QStringLiteral("face.jpg");
// The picture's text that keeps the file name of the address it came from.
const QString kFaceSource = QStringLiteral("source");

// What tells one picture address from another: the text after its last "/".
QString AddressName(const QString& address) {
    return address.mid(address.lastIndexOf(QLatin1Char('/')) + 1);
}

// Writes the image through the checked writer: a failure (a full disk) leaves the earlier file as
// it was.
bool SaveImage(const QImage& image, const QString& path) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "JPG") &&
           IuCoreUtils::PutFileContents(QFile::encodeName(path).toStdString(), bytes.constData(),
                                        size_t(bytes.size()));
}

// An id of the service that becomes a folder name; an empty enterprise id means none.
bool UsableEid(const QString& eid) {
    return eid.isEmpty() || IsSafeQid(eid);
}

// Decodes the reply's picture and writes it to `folder`/`name`; false, with a debug line naming
// `what`, when it is no image or cannot be saved (an earlier file then stays as it was).
bool SaveReplyImage(NetworkClient* client, const QString& folder, const QString& name, const char* what,
                    const QString& source = QString()) {
    if (client->responseCode() != 200)
        return false;
    QImage image;
    if (!image.loadFromData(client->responseBody())) {
        CoreDebug("[login] %s: not an image", what);
        return false;
    }
    if (!source.isEmpty())
        image.setText(kFaceSource, source);
    if (!QDir().mkpath(folder) || !SaveImage(image, folder + QLatin1Char('/') + name)) {
        CoreDebug("[login] %s: cannot be saved", what);
        return false;
    }
    return true;
}

} // namespace

struct CLoginMgr::CoreStart {
    QString qid;
    QString q;
    QString t;
    QString eid;
    bool change = false; // a change of enterprise: `eid` names the mirror folder whatever the core holds
    QObject* receiver = nullptr;
};

CLoginMgr* CLoginMgr::getInstance() {
    static CLoginMgr instance;
    return &instance;
}

CLoginMgr::CLoginMgr() {
    m_generation[AccountSlot] = 0;
    m_generation[PictureSlot] = 0;
    // One thread for good: the core work runs in order, and its state stays on that thread.
    m_corePool.setMaxThreadCount(1);
    m_corePool.setExpiryTimeout(-1);
}

CLoginMgr::~CLoginMgr() {
    m_corePool.waitForDone();
}

void CLoginMgr::setCallProbeForTests(std::function<void(const char*)> probe) {
    std::lock_guard<std::mutex> lock(g_probeLock);
    g_probe = std::move(probe);
}

void CLoginMgr::setExchangeDeadlineForTests(qint64 ms) {
    g_deadlineForTests = ms;
}

bool CLoginMgr::attch(ILoginStatusSink* sink) {
    if (!sink)
        return false;
    m_sink = sink;
    return true;
}

void CLoginMgr::detach(ILoginStatusSink* sink) {
    if (m_sink == sink)
        m_sink = nullptr;
}

void CLoginMgr::setCoreReceiver(QObject* receiver) {
    m_coreReceiver = receiver;
}

void CLoginMgr::Report(int code, const QString& text) {
    CoreDebug("[login] status %d", code);
    if (m_sink)
        m_sink->callbackLoginStatus(code, text);
}

// --- Requests ------------------------------------------------------------------------------------

void CLoginMgr::StartRequest(Slot slot, int type, const QString& url, int retries, const QString& cookie) {
    const quint64 generation = ++m_generation[slot];
    if (url.isEmpty()) {
        // The block could not be built: nothing is sent, and the caller hears it as a failed exchange.
        QCUIEventNetwork* failed = MakeReply(type, nullptr);
        failed->generation = generation;
        failed->failed = true;
        Post(this, failed);
        return;
    }
    auto client = std::make_unique<NetworkClient>(retries);
    const QByteArray caFile = qgetenv("NIMBO_CA_FILE");
    if (!caFile.isEmpty())
        client->setCurlOption(CURLOPT_CAINFO, QFile::decodeName(caFile));
    client->setUrl(url);
    // Without it a service that accepts and never answers would keep the loading page, and the
    // exit, waiting through every retry's time-out.
    const qint64 deadline = g_deadlineForTests.load();
    client->setDeadline(deadline > 0 ? deadline : kExchangeDeadlineMs);
    if (!cookie.isNull())
        client->addQueryHeader(QStringLiteral("Cookie"), cookie);
    // QtConcurrent copies the task: the client travels in a shared box and the task takes it out.
    auto box = std::make_shared<std::unique_ptr<NetworkClient>>(std::move(client));
    ++m_tasks;
    TsanRelease(box.get());
    const QFuture<void> task = QtConcurrent::run([this, box, slot, type, generation] {
        TsanAcquire(box.get());
        std::unique_ptr<NetworkClient> exchange = std::move(*box);
        bool current = false;
        {
            // Under the lock with the cancel: either it finds this client and ends it, or this
            // task sees the request gone stale and sends nothing.
            std::lock_guard<std::mutex> lock(m_runningLock);
            current = m_generation[slot].load() == generation;
            if (current)
                m_running.emplace_back(slot, exchange.get());
        }
        if (current) {
            Probe("exchange");
            const bool done = exchange->doGet(QString());
            {
                std::lock_guard<std::mutex> lock(m_runningLock);
                m_running.erase(std::find(m_running.begin(), m_running.end(), std::make_pair(slot, exchange.get())));
            }
            if (!done)
                exchange.reset();
            QCUIEventNetwork* reply = MakeReply(type, std::move(exchange));
            reply->generation = generation;
            reply->failed = !done;
            Post(this, reply);
        }
        // else: cancelled or replaced before it began; nothing is sent
        --m_tasks;
    });
    (slot == AccountSlot ? m_accountTask : m_pictureTask) = task;
}

bool CLoginMgr::LoginIAccount(const QString& account, const QString& password, const QString& captcha) {
    const QString url = AccountProtocol::RequestUrl(
        KRUHost(AccountProtocol::AccountHost()), AccountProtocol::PasswordLoginParams(account, password, m_sc, captcha));
    StartRequest(AccountSlot, QCUIEventNetwork::LoginAck, url, AccountProtocol::kLoginRetries, QString());
    return true;
}

bool CLoginMgr::AutoLoginIAccount(const QString&, const QString& qid, bool, bool) {
    QVariant q;
    QVariant t;
    CConfigMgr::getInstance()->getUserData(CConfigMgr::USER_Q, qid, q);
    CConfigMgr::getInstance()->getUserData(CConfigMgr::USER_T, qid, t);
    const QString url =
        AccountProtocol::RequestUrl(KRUHost(AccountProtocol::AccountHost()), AccountProtocol::UserInfoParams());
    StartRequest(AccountSlot, QCUIEventNetwork::AutoLoginAck, url, AccountProtocol::kLoginRetries,
                 AccountProtocol::CookieHeader(q.toString(), t.toString()));
    return true;
}

bool CLoginMgr::GetCaptcha() {
    const QString url =
        AccountProtocol::RequestUrl(KRUHost(AccountProtocol::AccountHost()), AccountProtocol::CaptchaParams());
    StartRequest(PictureSlot, QCUIEventNetwork::CaptchaAck, url, AccountProtocol::kCaptchaRetries, QString());
    return true;
}

bool CLoginMgr::GetUserInfo(const QString&) {
    const QString url =
        AccountProtocol::RequestUrl(KRUHost(AccountProtocol::AccountHost()), AccountProtocol::UserInfoParams());
    StartRequest(AccountSlot, QCUIEventNetwork::RDAck, url, AccountProtocol::kUserInfoRetries,
                 AccountProtocol::CookieHeader(m_q, m_t));
    return true;
}

bool CLoginMgr::DownloadHeadPic() {
    const QString source = AddressName(m_headPic);
    QVariant stored;
    if (CConfigMgr::getInstance()->getUserData(CConfigMgr::USER_FACE_ICON_PATH, stored) &&
        !stored.toString().isEmpty()) {
        const QFileInfo known(stored.toString());
        if (known.isFile() &&
            QImageReader(known.filePath()).text(kFaceSource).compare(source, Qt::CaseInsensitive) == 0) {
            m_faceIconPath = known.filePath();
            Report(kFaceReady, QString());
            return true;
        }
    }
    // Only a web address is fetched: the service's text must not make the client read local files.
    const QString scheme = QUrl(m_headPic).scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        CoreDebug("[login] the face picture has no web address");
        return true;
    }
    m_faceQid = m_qid;
    m_faceSource = source;
    StartRequest(PictureSlot, QCUIEventNetwork::HeadImgAck, m_headPic, AccountProtocol::kFaceRetries, QString());
    return true;
}

bool CLoginMgr::abortConnect() {
    // A task that has not started yet sees its request number gone stale and sends nothing.
    // Cancelling its future instead would skip the task's body, and with it the count of the
    // work still pending. An exchange under way ends at once; its reply is stale.
    std::lock_guard<std::mutex> lock(m_runningLock);
    ++m_generation[AccountSlot];
    ++m_generation[PictureSlot];
    for (const auto& running : m_running)
        running.second->Cancel();
    return true;
}

// --- Replies -------------------------------------------------------------------------------------

bool CLoginMgr::event(QEvent* e) {
    TsanAcquireEvent(e);
    const int type = e->type();
    if (type == CoreReportEvent::Kind()) {
        const auto* report = static_cast<CoreReportEvent*>(e);
        Report(report->code, report->text);
        return true;
    }
    if (type == CoreStoppedEvent::Kind()) {
        --m_stopsPending;
        return true;
    }
    // What a core posted before it was stopped is no news of the core started after it: a
    // stopped core's status 5 would end the next login before it has begun.
    if (m_stopsPending > 0 && type >= 2200 && type <= 2219) {
        CoreDebug("[login] notification %d of a stopped core dropped", type);
        return true;
    }
    if (type < QCUIEventNetwork::LoginAck || type > QCUIEventNetwork::RDAck) {
        // Not consumed: a core event goes on to the main window (QObject::event would call any
        // type above QEvent::User handled).
        if (type >= 2000 && type <= 2999)
            return false;
        return QObject::event(e);
    }
    auto* reply = dynamic_cast<QCUIEventNetwork*>(e);
    if (!reply)
        return true;
    // The client is deleted when this returns, whatever happens to the reply.
    const std::unique_ptr<NetworkClient> client = std::move(reply->client);
    if (!client && !reply->failed)
        return true;
    const Slot slot = type == QCUIEventNetwork::HeadImgAck || type == QCUIEventNetwork::CaptchaAck ? PictureSlot
                                                                                                   : AccountSlot;
    if (reply->generation != m_generation[slot].load()) {
        CoreDebug("[login] %s: stale reply dropped", ExchangeName(type));
        return true;
    }
    if (reply->failed) {
        CoreDebug("[login] %s: no reply", ExchangeName(type));
        if (type == QCUIEventNetwork::LoginAck || type == QCUIEventNetwork::AutoLoginAck)
            Report(kNoConnection, kNoConnectionText);
        else if (type == QCUIEventNetwork::CaptchaAck)
            Report(kNoConnection, kCaptchaFailedText);
        return true;
    }
    CoreDebug("[login] %s: HTTP %ld", ExchangeName(type), client->responseCode());
    switch (type) {
    case QCUIEventNetwork::LoginAck:
        finishedLogin(client.get());
        break;
    case QCUIEventNetwork::AutoLoginAck:
        finishedgetuserinfo(client.get());
        break;
    case QCUIEventNetwork::HeadImgAck:
        finishedHeadPic(client.get());
        break;
    case QCUIEventNetwork::CaptchaAck:
        finishedCaptcha(client.get());
        break;
    default:
        finishedgetRD(client.get());
        break;
    }
    return true;
}

bool CLoginMgr::TakeAccount(NetworkClient* client, AccountReply (*read)(const QByteArray&),
                            const char* method) {
    if (client->responseCode() != 200) {
        Report(kNoConnection, kNoConnectionText);
        return false;
    }
    const AccountReply reply = read(client->responseBody());
    if (reply.kind == AccountReplyKind::ServiceError) {
        LoginErrorParse(reply.errorNumber);
        Report(reply.errorNumber, reply.errorMessage);
        return false;
    }
    if (reply.kind != AccountReplyKind::Success) {
        CoreDebug("[login] %s: reply refused", method);
        Report(kNoConnection, kNoConnectionText);
        return false;
    }
    m_qid = reply.qid;
    m_username = reply.username;
    m_nickname = reply.nickname;
    m_headPic = reply.headPic;
    m_q = reply.q;
    m_t = reply.t;
    return true;
}

void CLoginMgr::finishedLogin(NetworkClient* client) {
    if (TakeAccount(client, &ReadLoginReply, "UserIntf.login"))
        LoginSucceeded();
}

void CLoginMgr::finishedgetuserinfo(NetworkClient* client) {
    if (!TakeAccount(client, &ReadUserInfoReply, "CommonAccount.getUserInfo"))
        return;
    // A cookie login keeps the pair it was made with.
    QVariant q;
    QVariant t;
    CConfigMgr::getInstance()->getUserData(CConfigMgr::USER_Q, m_qid, q);
    CConfigMgr::getInstance()->getUserData(CConfigMgr::USER_T, m_qid, t);
    m_q = q.toString();
    m_t = t.toString();
    LoginSucceeded();
}

void CLoginMgr::LoginSucceeded() {
    LoadUserConfig(m_qid);
    DownloadHeadPic();
    LoginCore();
}

bool CLoginMgr::LoginErrorParse(int errorNumber) {
    if (errorNumber == 5010 || errorNumber == 5011)
        GetCaptcha();
    return true;
}

void CLoginMgr::finishedHeadPic(NetworkClient* client) {
    if (!IsSafeQid(m_faceQid))
        return;
    const QString folder = CConfigMgr::getInstance()->getConfigPath() + QLatin1Char('/') + m_faceQid;
    const QString path = folder + QLatin1Char('/') + kFaceFile;
    if (!SaveReplyImage(client, folder, kFaceFile, "face picture", m_faceSource))
        return;
    m_faceIconPath = path;
    CConfigMgr::getInstance()->setUserData(CConfigMgr::USER_FACE_ICON_PATH, path);
    Report(kFaceReady, QString());
}

void CLoginMgr::finishedCaptcha(NetworkClient* client) {
    const QString folder = CConfigMgr::getInstance()->getConfigPath();
    const QString path = folder + QStringLiteral("/captcha.jpg");
    if (!SaveReplyImage(client, folder, QStringLiteral("captcha.jpg"), "captcha"))
        return;
    // The token belongs to the image the user is shown.
    m_sc = AccountProtocol::CaptchaToken(*client);
    m_captchaFilePath = path;
    Report(kCaptchaReady, QString());
}

void CLoginMgr::finishedgetRD(NetworkClient* client) {
    if (client->responseCode() != 200)
        return;
    const AccountReply reply = ReadRDReply(client->responseBody());
    if (reply.kind == AccountReplyKind::ServiceError)
        return;
    if (reply.kind == AccountReplyKind::Success && !reply.rd.isEmpty()) {
        if (m_rdNotifier) {
            m_rdNotifier->notifyRD(reply.rd);
        } else {
            m_rd = reply.rd;
            Nagviate();
        }
    }
    if (m_rdNotifier)
        m_rdNotifier->notifyRD(QString());
}

// --- The hand-off --------------------------------------------------------------------------------

bool CLoginMgr::getRD(INotifyGetRD* notifier) {
    m_rdNotifier = notifier;
    return GetUserInfo(m_qid);
}

void CLoginMgr::setOpenWeb(const QString& url) {
    m_openWeb = url;
}

void CLoginMgr::Nagviate() {
    if (m_openWeb.isEmpty() || m_rd.isEmpty())
        return;
    const QString address =
        AccountProtocol::HandOffUrl(KRUHost(AccountProtocol::WebLoginHost()), m_openWeb, m_rd);
    QDesktopServices::openUrl(QUrl(address));
}

// --- The core ------------------------------------------------------------------------------------

bool CLoginMgr::LoginCore() {
    QueueCoreStart(QString(), false);
    return true;
}

bool CLoginMgr::ChangeEnterPrise(const QString& eid) {
    if (!UsableEid(eid)) {
        CoreDebug("[login] enterprise id refused");
        Report(kNoConnection, kBadEnterpriseText);
        return false;
    }
    QueueCoreStart(eid, true);
    return true;
}

bool CLoginMgr::UnloginCore() {
    m_logined = false;
    m_firstLogin = true;
    m_coreStarted = false;
    ++m_coreJobs;
    ++m_stopsPending;
    QtConcurrent::run(&m_corePool, [this] {
        Probe("Uninit");
        m_coreNeedsStop = !VUZeroz::GetInstance()->Uninit(false);
        Post(this, new CoreStoppedEvent);
        --m_coreJobs;
    });
    return true;
}

void CLoginMgr::WaitForCore() {
    // A last task on the core thread: the tasks run in order, so every earlier one has ended when
    // it runs. (Waiting on a task's future could run a task still queued on this thread instead.)
    QSemaphore done;
    QtConcurrent::run(&m_corePool, [&done] { done.release(); });
    done.acquire();
}

void CLoginMgr::setLoginFinished() {
    m_logined = true;
    m_firstLogin = false;
}

void CLoginMgr::QueueCoreStart(const QString& eid, bool change) {
    auto start = std::make_shared<CoreStart>();
    start->qid = m_qid;
    start->q = m_q;
    start->t = m_t;
    start->eid = eid;
    start->change = change;
    start->receiver = m_coreReceiver.data();
    m_coreStarted = true;
    ++m_coreJobs;
    TsanRelease(start.get());
    QtConcurrent::run(&m_corePool, [this, start] {
        TsanAcquire(start.get());
        RunCoreStart(*start);
        --m_coreJobs;
    });
}

// On the core thread.
void CLoginMgr::RunCoreStart(const CoreStart& start) {
    VUZeroz* core = VUZeroz::GetInstance();
    // The network was not asked yet: the user hears what did fail.
    const auto fail = [this](const QString& text) {
        CoreDebug("[login] the core was not started: %s", qUtf8Printable(text));
        Post(this, new CoreReportEvent(kNoConnection, text));
    };
    const auto stopAndFail = [&](const QString& text) {
        Probe("Uninit");
        m_coreNeedsStop = !core->Uninit(false);
        fail(text);
    };
    // Init would wait without limit for an engine that did not end when it was stopped.
    if (m_coreNeedsStop) {
        Probe("Uninit");
        m_coreNeedsStop = !core->Uninit(false);
        if (m_coreNeedsStop)
            return fail(kEngineRunningText);
    }
    if (!IsSafeQid(start.qid))
        return fail(kNoAccountText);
    Probe("Init");
    core->Init(start.receiver);
    const QString cookie = QStringLiteral("Q=%1; T=%2;").arg(start.q, start.t);
    const QString configured = core->SetUser(start.qid, cookie, false, start.eid);
    const QString eid = start.change ? start.eid : configured;
    const QString appdata = core->GetAppdataPath();
    if (appdata.isEmpty())
        return stopAndFail(kNoDataFolderText);
    if (!UsableEid(eid))
        return stopAndFail(kBadEnterpriseText);
    QString mirror = appdata + QStringLiteral("/Cache/") + start.qid;
    if (!eid.isEmpty())
        mirror += QLatin1Char('/') + eid;
    mirror = QDir::cleanPath(mirror);
    if (!QDir().mkpath(mirror))
        return stopAndFail(kNoMirrorText.arg(QDir::toNativeSeparators(mirror)));
    Probe("MapSyncPath");
    core->MapSyncPath(QDir(mirror).absolutePath(), QStringLiteral("/"));
    core->Login();
}

// --- The account store ---------------------------------------------------------------------------

bool CLoginMgr::SaveLoginStatus(const QString& account, const QString& qid, const QString& q, const QString& t,
                                bool autologin, bool rememberpwd) {
    return LoginStore::SaveLoginStatus(account, qid, q, t, autologin, rememberpwd);
}

bool CLoginMgr::getUserStatusList(QMap<QString, _LOGINSTATUS_>& list) {
    return LoginStore::getUserStatusList(list);
}

bool CLoginMgr::clearSession(const QString& account) {
    return LoginStore::clearSession(account);
}

QString CLoginMgr::getLastLoginQID() {
    return LoginStore::getLastLoginQID();
}

bool CLoginMgr::LoadUserConfig(const QString& qid) {
    return LoginStore::LoadUserConfig(qid);
}

QString CLoginMgr::KRUHost(const QString& host) {
    return LoginStore::KRUHost(host);
}
