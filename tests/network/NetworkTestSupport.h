#pragma once
// Shared pieces of the network tests: a fixture that runs the stand-in of the service, a capture
// of the core's debug lines, and small helpers. Every test executable that links this refuses
// connections to anything but loopback addresses (see NetworkTestSupport.cpp).

#include "support/CloudStandIn.h"
#include "support/DebugCapture.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(standIn.Start(options())) << standIn.errorText(); }
    void TearDown() override { standIn.Stop(); }
    virtual StandInOptions options() const { return StandInOptions(); }

    // A reply of `body` with status 200.
    static StandInReply Reply(const std::string& body, const std::string& contentType = "application/json");

    CloudStandIn standIn;
};

class TlsStandInTest : public StandInTest {
protected:
    StandInOptions options() const override {
        StandInOptions result;
        result.tls = TlsMode::TestCa;
        return result;
    }
};

// The retry back-off of the network tests: short, so that walks of many steps stay quick.
constexpr long kTestBackoffFirstMs = 20;
constexpr long kTestBackoffCeilingMs = 200;

// (Re)installs the check that refuses, and counts, connections to anything but loopback; the
// run fails at its end when one was attempted.
void InstallLoopbackGuard();

// `size` bytes of a fixed pseudo-random pattern that includes zero bytes.
QByteArray PatternBytes(int size, unsigned seed);
