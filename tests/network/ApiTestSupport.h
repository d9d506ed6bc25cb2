#pragma once
// A fixture for requests through QCRequestCommon against the stand-in's API: the global
// configuration initialised once in a private HOME and working folder, its configuration host
// pointed at the stand-in, a credential and login values set, and a fresh recording double of the
// engine registered for each test.

#include "NetworkTestSupport.h"

#include "support/AppSandbox.h"
#include "support/RecordingResponseHandler.h"
#include "support/StandInApi.h"

#include <QJsonObject>
#include <QString>

#include <memory>

class ApiTest : public StandInTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Stores the stand-in's default configuration reply as the one the engine received, so that
    // requests for the API host go to the stand-in.
    void UseStandInAsApiHost();
    // Gives the stand-in the user kStandInQid owning the enterprise kStandInEid (whose tree the
    // stand-in serves), points the API host at it and logs in through the client, so that the
    // requests that follow carry the session. Returns the login reply's data (empty on failure,
    // with a test failure recorded).
    QJsonObject LogInToStandIn();

    RecordingResponseHandler engine; // registered from SetUp to TearDown
    std::unique_ptr<StandInApi> api;
    AppSandbox sandbox;
};

// The q and t of the credential every ApiTest stores.
extern const char kTestQ[];
extern const char kTestT[];
// The user and the enterprise of LogInToStandIn.
extern const char kStandInQid[];
extern const char kStandInEid[];
