#pragma once
// The login manager: signs the user in to the account service, keeps the account's identity and
// cookies, saves the captcha image and the face picture into the account store, reports to the
// login window through one status sink, and starts, stops and switches the core for the account.
//
// Threads. The manager lives on the user-interface thread and all of its state is touched there.
// Each account-service exchange runs as one task on Qt's global pool; the task owns its client and
// hands it back in a reply event (2301-2305) posted to the manager. The core is started, stopped
// and switched on a thread of the manager's own (one at a time, in the order asked), never on the
// user-interface thread: Init, Uninit and MapSyncPath may wait for the engine.
//
// Requests go in two slots: the account slot (password login, cookie login, the hand-off's user
// information) and the picture slot (captcha, face picture). A newer request in a slot, and a
// cancel (abortConnect), make the older replies of that slot stale: a stale reply's client is
// deleted and nothing is reported, stored or started. A request that has not started when it goes
// stale is not sent; a cancel also ends the exchanges under way at once, so that neither a
// cancelled login nor the program's exit waits for a service that does not answer. Every exchange
// has a total deadline (kExchangeDeadlineMs): one that gets no reply by then fails as no
// connection.
//
// Status codes given to the sink: 9999 no usable reply (transport failure, an HTTP status other
// than 200, a reply the readers refuse; the text is the no-connection message) or a core that
// could not be started (the text says what failed), 10000000 the face
// picture is ready at getFaceIconPath(), 10000001 a captcha image is ready at
// getCaptchaFilePath(), any other code the service's error number with its message.

#include <QFuture>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "login/CConfigMgr.h"

class NetworkClient;
struct AccountReply;
class QCUIEventNetwork;

// The receiver of the browser hand-off value.
class INotifyGetRD {
public:
    virtual ~INotifyGetRD() = default;
    virtual void notifyRD(const QString& rd) = 0;
};

// The login window's side: every outcome of a login reaches it here, on the user-interface thread.
class ILoginStatusSink {
public:
    virtual ~ILoginStatusSink() = default;
    virtual void callbackLoginStatus(int code, QString text) = 0;
};

class CLoginMgr : public QObject {
public:
    static constexpr int kNoConnection = 9999;
    static constexpr int kFaceReady = 10000000;
    static constexpr int kCaptchaReady = 10000001;
    // The longest an exchange may take, its retries included.
    static constexpr qint64 kExchangeDeadlineMs = 30000;

    // Made on first use, which must be on the user-interface thread; lives to the end of the process.
    static CLoginMgr* getInstance();

    // The sink of status reports; false, nothing changed, for null.
    bool attch(ILoginStatusSink* sink);
    // Forgets `sink` when it is the one attached (a window that is going away).
    void detach(ILoginStatusSink* sink);
    // Where the core's notifications go (the user-interface event receiver registers itself).
    void setCoreReceiver(QObject* receiver);

    // A password login; the captcha pair is sent when `captcha` is not empty. True.
    bool LoginIAccount(const QString& account, const QString& password, const QString& captcha);
    // A cookie login with the stored q and t of `qid` (empty when there are none). True.
    bool AutoLoginIAccount(const QString& account, const QString& qid, bool autologin, bool rememberpwd);
    bool GetCaptcha();
    // Reports the stored face picture when it is the current one, else fetches it. True.
    bool DownloadHeadPic();
    // Makes the replies of both slots stale and ends their exchanges under way. True.
    bool abortConnect();

    // Hand the signed-in account to the core, stop it, or start it again in enterprise `eid`. They
    // queue the work on the core thread and return at once (true); a failure is reported as 9999.
    bool LoginCore();
    bool UnloginCore();
    bool ChangeEnterPrise(const QString& eid);
    // Waits until the core work queued so far (starts and stops) has ended. The program calls it
    // on its way out, so that the core stops while the application and Qt's globals still stand.
    void WaitForCore();

    bool isLogined() const { return m_logined; }
    bool isFirstLogin() const { return m_firstLogin; }
    // A start of the core was queued since the last stop (UnloginCore).
    bool isCoreStarted() const { return m_coreStarted; }
    void setLoginFinished();

    QString getQID() const { return m_qid; }
    QString getUserName() const { return m_username; }
    QString getNickName() const { return m_nickname; }
    QString getHead_pic() const { return m_headPic; }
    QString getFaceIconPath() const { return m_faceIconPath; }
    QString getQ() const { return m_q; }
    QString getT() const { return m_t; }
    QString getCaptchaFilePath() const { return m_captchaFilePath; }
    QString getSC() const { return m_sc; }

    // The browser hand-off: the user information of the signed-in account; its "rd" goes to
    // `notifier` (then empty text), or without one opens the open-web destination signed in.
    bool getRD(INotifyGetRD* notifier);
    bool GetUserInfo(const QString& qid);
    void setOpenWeb(const QString& url);
    void Nagviate();

    // The account store, as LoginStore offers it.
    bool SaveLoginStatus(const QString& account, const QString& qid, const QString& q, const QString& t,
                         bool autologin, bool rememberpwd);
    bool getUserStatusList(QMap<QString, _LOGINSTATUS_>& list);
    bool clearSession(const QString& account);
    QString getLastLoginQID();
    bool LoadUserConfig(const QString& qid);
    QString KRUHost(const QString& host);

    // Reply dispatch: consumes 2301-2305 (true), leaves every other type (false).
    bool event(QEvent* e) override;

    // Tests: `probe` is called with "exchange", "Init", "Uninit" or "MapSyncPath" on the thread
    // that is about to make that call (null: none). Any thread.
    static void setCallProbeForTests(std::function<void(const char* call)> probe);
    // Tests: the deadline of the exchanges started from now on (0: kExchangeDeadlineMs).
    static void setExchangeDeadlineForTests(qint64 ms);
    // Tests: request tasks and core work queued or running now.
    int pendingWorkForTests() const { return m_tasks.load() + m_coreJobs.load(); }

private:
    enum Slot { AccountSlot = 0, PictureSlot = 1 };
    struct CoreStart;

    CLoginMgr();
    ~CLoginMgr() override;

    // Starts one exchange of `url` in `slot`; the reply comes back as an event of `type`.
    void StartRequest(Slot slot, int type, const QString& url, int retries, const QString& cookie);
    void Report(int code, const QString& text);

    // Reads an account reply (login or cookie login) into the manager; false after reporting why not.
    bool TakeAccount(NetworkClient* client, AccountReply (*read)(const QByteArray&), const char* method);
    void finishedLogin(NetworkClient* client);
    void finishedgetuserinfo(NetworkClient* client);
    void finishedHeadPic(NetworkClient* client);
    void finishedCaptcha(NetworkClient* client);
    void finishedgetRD(NetworkClient* client);
    // Takes a successful login reply's identity (password or cookie login) and starts the core.
    void LoginSucceeded();
    bool LoginErrorParse(int errorNumber);

    void QueueCoreStart(const QString& eid, bool change);
    void RunCoreStart(const CoreStart& start);

    ILoginStatusSink* m_sink = nullptr;
    QPointer<QObject> m_coreReceiver;
    QFuture<void> m_accountTask; // the last request of each slot
    QFuture<void> m_pictureTask;
    INotifyGetRD* m_rdNotifier = nullptr;

    QString m_qid;
    QString m_username;
    QString m_nickname;
    QString m_headPic;
    QString m_faceIconPath;
    QString m_q;
    QString m_t;
    QString m_captchaFilePath;
    QString m_sc;
    QString m_rd;
    QString m_openWeb;
    bool m_logined = false;
    bool m_firstLogin = true;
    bool m_coreStarted = false;
    // The face picture request in flight: its account and the file name of its address.
    QString m_faceQid;
    QString m_faceSource;

    // Request numbers of the slots; tasks read them to drop a stale request before sending it.
    std::atomic<quint64> m_generation[2];
    // The clients whose exchange runs now, with their slots, for a cancel to end. A task enters
    // its client only while its request is current and leaves before it lets go of the client.
    std::mutex m_runningLock;
    std::vector<std::pair<Slot, NetworkClient*>> m_running; // guarded by m_runningLock
    std::atomic<int> m_tasks{0};    // request tasks queued or running
    std::atomic<int> m_coreJobs{0}; // core work queued or running
    int m_stopsPending = 0;         // stops asked whose end has not come back yet

    // The core thread: one at a time, in order. Its state belongs to that thread.
    QThreadPool m_corePool;
    bool m_coreNeedsStop = false; // an Uninit returned before the engine ended
};
