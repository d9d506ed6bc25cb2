#pragma once
// The fixture of tests that need the real core signed in the way the application signs it in:
// a StandInPair, the login manager with a recording status sink, and the core's notifications
// routed through the user-interface receiver (QCUIEventReceiver) to a RecordingReceiver
// registered as the main window ("the recorder").
//
// SignIn() logs alice/secret in through CLoginMgr and waits for the core's status 5; settled, for
// status 6 and the first 2210 (the end of the first cycle). The core answers listings from status 4
// on. The first login maps <appdata>/Cache/10001 (no enterprise configured yet); the login reply
// of the cloud names 20001, and the core moves the mirror into its folder (event 2209), so the
// mirror is Mirror() = <appdata>/Cache/10001/20001 from then on (<appdata> = GetAppdataPath()).
//
// TearDown makes the manager's replies stale, stops the core through the manager, waits for its
// work, drops the notifications still posted and stops the stand-ins.

#include "support/RecordingReceiver.h"
#include "support/StandInPair.h"

#include "login/CLoginMgr.h"

#include <QString>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

// The login window's side as the manager sees it: every status call, in order. One for the
// process (the manager keeps the sink it was given); the fixture empties it for each test.
class RecordingSink : public ILoginStatusSink {
public:
    static RecordingSink& Instance();
    void callbackLoginStatus(int code, QString text) override { calls.emplace_back(code, text); }
    // Runs the event loop until a call with `code` has arrived (counting earlier ones).
    bool WaitFor(int code, int timeoutMs = 30000);
    bool Has(int code) const;
    std::vector<std::pair<int, QString>> calls;
};

class SignedInCore : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The identity server's TLS (fixtures for certificate cases override it).
    virtual TlsMode IdentityTls() const { return TlsMode::TestCa; }

    void SignIn(bool settled = false);
    // Waits for a status event (2205) with the user-interface status `ui`.
    bool WaitStatus(int ui, int timeoutMs = 60000);
    // Waits until the manager has no request or core work left and has handled every reply.
    bool SettleManager(int timeoutMs = 60000);
    // Delivers the notifications posted so far and hands the recorder's events over.
    std::vector<RecordedEvent> TakeEvents();
    // The core's application data folder, without the closing "/".
    QString AppData() const;
    QString Mirror(const QString& eid = QStringLiteral("20001")) const;

    StandInPair pair;
    RecordingReceiver recorder;
    RecordingSink& sink = RecordingSink::Instance();
    CLoginMgr* manager = nullptr;
};
