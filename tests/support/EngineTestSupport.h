#pragma once
// A fixture for the engine as the user interface drives it: a private HOME and working folder, the
// stand-in of the service (configuration host and API host), a mirror folder, the core's clock in
// manual time, the engine started through the facade with a recording receiver, and a user set.
// TearDown ends the engine.

#include "support/AppSandbox.h"
#include "support/CloudStandIn.h"
#include "support/RecordingReceiver.h"
#include "support/StandInApi.h"
#include "support/StandInLogin.h"

#include "common/SharedTypes.h"

#include <QString>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the engine through the facade (as the login window does) with the stand-in as the
    // service.
    void InitEngine();
    // Runs `work` on the engine thread and waits for it; queued at the tail when `inOrder`, so
    // that everything queued before has been handled too.
    void OnEngine(std::function<void()> work, bool inOrder = false);
    // Waits until the engine has made a pass of its check loop after this call (for example to
    // see time that a test has advanced).
    void Pass();
    // Passes of the check loop, the core's clock moved by `stepMs` before each, until `done` holds;
    // false when `timeoutMs` of real time passed first.
    bool WaitUntil(const std::function<bool()>& done, qint64 stepMs = 0, int timeoutMs = 180000);
    // The count of `mark` in the engine's trace since the last look.
    int TraceCount(int mark);
    // Moves the engine to `status` on its thread, without a status event.
    void SetStatus(LOCAL_STATUS status);
    // Lets the engine set the login's files up (as after a login reply on a new folder) and waits
    // for it to reach status 2 and to take the user details (`details`) it then asks for. The cloud
    // fetch they would start is held back as while downloads run.
    void MakeReady(const char* details = "{}");
    // Waits for a status event with the user-interface status `ui`. The default bound only
    // guards against a hang: the login's exchanges and the journal's creation take their time on
    // a loaded machine.
    bool WaitStatus(int ui, int timeoutMs = 60000);
    // Waits until the stand-in has received `count` requests of `method`.
    bool WaitCalls(const std::string& method, size_t count, int timeoutMs = 10000);
    // Gives the account service the fixture's user "u1" (enterprises E1, owned, and E2) and answers
    // the user details from its state.
    void AddAccount();
    // Logs in through the facade and waits until the user details have led on to the cloud fetch.
    void LogIn();
    // The cloud tree answers its methods (the fixture has them fail with HTTP 503: a test that
    // does not log in has no session for them).
    void ServeTree();
    // The fixture's user with the stand-in's tree, logged in and through its first cycle (status 7,
    // one 2210 received).
    void LogInAndSettle();
    // Points the configuration host and the API host at a port that refuses every connection.
    void NoService();
    // The user's data folder of the account the fixture set.
    QString UserFolder() const;

    AppSandbox sandbox;
    CloudStandIn standIn;
    std::unique_ptr<StandInApi> api;
    RecordingReceiver receiver;
    QString root; // the mirror folder
};

// The bytes of a test's /big.bin: six distinct full blocks and a 17-byte tail, varied by `seed`.
std::string BigBytes(char seed);
