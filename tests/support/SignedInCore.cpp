#include "support/SignedInCore.h"

#include "support/UiWait.h"

#include "Database/ConfigRecords.h"
#include "Database/QCGlobalConfig.h"
#include "common/QCEventBase.h"
#include "main/QCUIEventReceiver.h"
#include "sync/VUZeroz.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

RecordingSink& RecordingSink::Instance() {
    static RecordingSink sink;
    return sink;
}

bool RecordingSink::Has(int code) const {
    return std::any_of(calls.begin(), calls.end(), [code](const auto& call) { return call.first == code; });
}

bool RecordingSink::WaitFor(int code, int timeoutMs) {
    return UiWaitFor([this, code] { return Has(code); }, timeoutMs);
}

void SignedInCore::SetUp() {
    ASSERT_NO_FATAL_FAILURE(pair.Start(IdentityTls()));
    manager = CLoginMgr::getInstance();
    sink.calls.clear();
    manager->attch(&sink);
    QCUIEventReceiver::GetInstance()->SetMainWnd(&recorder);
}

void SignedInCore::TearDown() {
    manager->abortConnect();
    manager->UnloginCore();
    EXPECT_TRUE(SettleManager());
    QCUIEventReceiver::GetInstance()->SetMainWnd(nullptr);
    // What the core posted before it ended reaches no later test.
    TakeEvents();
    g_Config.SetConfigAck(GET_CONFIG_ACK());
    pair.Stop();
}

void SignedInCore::SignIn(bool settled) {
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    if (!settled) {
        ASSERT_TRUE(WaitStatus(5));
        return;
    }
    ASSERT_TRUE(WaitStatus(6));
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::SyncFinish, 30000));
}

bool SignedInCore::WaitStatus(int ui, int timeoutMs) {
    return recorder.WaitFor(
        QCEventBase::StatusChanged, [ui](const RecordedEvent& e) { return int(e.info.status) == ui; }, timeoutMs);
}

bool SignedInCore::SettleManager(int timeoutMs) {
    // A task posts its reply before it counts itself done, and a handled reply may start more work:
    // idle means no work counted after the posted replies were delivered.
    return UiWaitFor(
        [this] {
            QCoreApplication::sendPostedEvents(manager);
            if (manager->pendingWorkForTests() != 0)
                return false;
            QCoreApplication::sendPostedEvents(manager); // replies posted just before the count fell
            return manager->pendingWorkForTests() == 0;
        },
        timeoutMs);
}

std::vector<RecordedEvent> SignedInCore::TakeEvents() {
    // The core posts to the user-interface receiver, which hands each event to the recorder.
    QCoreApplication::sendPostedEvents(QCUIEventReceiver::GetInstance());
    return recorder.Take();
}

QString SignedInCore::AppData() const {
    return QDir::cleanPath(VUZeroz::GetInstance()->GetAppdataPath());
}

QString SignedInCore::Mirror(const QString& eid) const {
    return AppData() + QStringLiteral("/Cache/10001/") + eid;
}
