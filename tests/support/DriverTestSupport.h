#pragma once
// Helpers of the tests that run the core as `coredrv` in a process of its own and kill it: files
// read and written whole, the login of a driver against the stand-in, and the stand-in's stop
// before its API goes.

#include "support/CloudStandIn.h"
#include "support/StandInApi.h"
#include "support/StandInLogin.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

class CoreDriverProcess;

// The bytes of `path`; empty when it cannot be read.
QByteArray ReadFileBytes(const QString& path);
// Writes `bytes` to `path` (its folder made), replacing what was there; fails the test otherwise.
void WriteFileBytes(const QString& path, const QByteArray& bytes);

// Waits for the driver's next result line of `command` and gives it; an empty object when none
// came within `timeoutMs`.
QJsonObject WaitForResult(CoreDriverProcess& driver, const char* command, int timeoutMs = 120000);

// Starts `driver` with the stand-in's user "u1" (ServeCoreDriver), maps the enterprise's folder
// below `mirror` as the login window does and logs in; waits for a status event with the user
// interface status `uiStatus` (4: the cloud compared; 6: synchronised; 0: only until the login is
// asked for). Fails the test otherwise.
void LogInDriver(CoreDriverProcess& driver, const QString& home, const QString& work, const QString& mirror,
                 int uiStatus);

// Stops the stand-in before its API goes: a killed driver's request may still be answered.
struct StopStandInFirst {
    CloudStandIn& standIn;
    ~StopStandInFirst() { standIn.Stop(); }
};

// A test of coredrv processes against the in-process stand-in: their home and work folders, the
// stand-in serving the driver's user (ServeCoreDriver), and the mirror folder below home. Members
// of a derived fixture (its drivers) go before the stand-in stops.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;

    QTemporaryDir home;
    QTemporaryDir work;
    CloudStandIn standIn;
    StandInApi api{standIn};
    StopStandInFirst stopFirst{standIn};
    QString mirror;
};
