#pragma once
// Both stand-ins of the service for tests of the application, with the sandbox that points the
// application at them:
// - `cloud`: the cloud service (configuration and API host, plain HTTP) with its model `api`;
//   the sandbox's working folder holds the "sync.ini" that names it;
// - `identityServer`: the identity server's listener (TLS from the test CA unless Start is given
//   another mode) with its model `identity`; the account store names it as the account host
//   ("[account.nimbo.invalid] ip=127.0.0.1:<port>") and NIMBO_CA_FILE names the test CA.
// Every cookie pair the identity server issues goes to the cloud side at once (the latest pair of
// each account is the one the cloud accepts; others get errno 2008), with the account's
// enterprises: alice (10001) owns 20001 ("Alice Co") and is a member of 20002 ("Partner Co"); bob
// (10002) owns 20003 ("Bob Co"). Connections are held to this machine (the connect guard).
//
// The account store (CConfigMgr) keeps one folder per process; Start moves it into the sandbox, so
// each test has a fresh store. Tests of one executable that use the store should all go through a
// pair. Threads: the test's (user-interface) thread.

#include "support/AppSandbox.h"
#include "support/CloudStandIn.h"
#include "support/StandInApi.h"
#include "support/StandInIdentity.h"

#include <QString>

#include <memory>
#include <string>

class StandInPair {
public:
    StandInPair() = default;
    ~StandInPair() { Stop(); }
    StandInPair(const StandInPair&) = delete;
    StandInPair& operator=(const StandInPair&) = delete;

    // Starts both and enters the sandbox; failures are test failures (wrap in ASSERT_NO_FATAL_FAILURE).
    void Start(TlsMode identityTls = TlsMode::TestCa);
    // Stops both, leaves the sandbox and takes NIMBO_CA_FILE away. Safe to call twice.
    void Stop();

    // The account store's folder.
    QString Store() const;
    // Files below the sandbox's home that are not in the store.
    QStringList FilesOutsideStore() const;

    AppSandbox sandbox;
    CloudStandIn cloud;
    CloudStandIn identityServer;
    std::unique_ptr<StandInApi> api;
    std::unique_ptr<StandInIdentity> identity;
    // The online-service page key in the user details of the accounts signed in from now on.
    std::string onlineService;

private:
    bool m_started = false;
};
