// coredrv, the core in a process of its own: its script, its output lines and its end.
#include "support/DriverTestSupport.h"
#include "support/EngineTestSupport.h"

#include "support/CloudStandIn.h"
#include "support/CoreDriverProcess.h"
#include "support/StandInApi.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace {

std::function<bool(const QJsonObject&)> Field(const char* key, const QJsonValue& value) {
    const QString name = QString::fromLatin1(key);
    return [name, value](const QJsonObject& line) { return line.value(name) == value; };
}

std::function<bool(const QJsonObject&)> Event(int type, int status) {
    return [type, status](const QJsonObject& line) {
        return line.value(QStringLiteral("event")).toInt() == type &&
               line.value(QStringLiteral("status")).toInt() == status;
    };
}

// A HOME and a working folder whose sync.ini names a configuration host that refuses connections.
class CoreDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid() && work.isValid());
        ASSERT_TRUE(standIn.Start()) << standIn.errorText();
        QFile ini(QDir(work.path()).filePath(QStringLiteral("sync.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[server]\nlogin=127.0.0.1:%1\n").arg(standIn.refusedPort()).toUtf8());
        ini.close();
        ASSERT_TRUE(driver.Start(home.path(), work.path()));
    }

    // Nothing but loopback was contacted, and no line was other than JSON.
    void ExpectOnlyLoopbackAndJson() {
        for (const QJsonObject& line : driver.Lines()) {
            EXPECT_FALSE(line.isEmpty()) << qPrintable(driver.Output());
            EXPECT_FALSE(line.contains(QStringLiteral("offhost"))) << qPrintable(driver.Output());
        }
    }

    QTemporaryDir home;
    QTemporaryDir work;
    CloudStandIn standIn;
    CoreDriverProcess driver;
};

TEST_F(CoreDriverTest, StopsOnRequestAndEndsSoonAfterUninit) {
    driver.Send(QStringLiteral("Init"));
    driver.Send(QStringLiteral("SetUser u1 \"Q=a; T=b;\" 0 \"\""));
    driver.Send(QStringLiteral("MapSyncPath ") + QDir(home.path()).filePath(QStringLiteral("mirror")));
    driver.Send(QStringLiteral("Request 3"));
    driver.Send(QStringLiteral("wait 2205 status=7 20000"));
    // The stop's status event was taken by the first wait, so the second one has nothing to take.
    driver.Send(QStringLiteral("wait 2205 status=7 50"));
    ASSERT_TRUE(driver.WaitForLine(Field("cmd", QStringLiteral("Init")), 20000))
        << qPrintable(driver.Output());
    ASSERT_TRUE(driver.WaitForLine(Event(2205, 7), 20000)) << qPrintable(driver.Output());
    ASSERT_TRUE(driver.WaitForLine(Field("result", QStringLiteral("ok")), 20000))
        << qPrintable(driver.Output());
    ASSERT_TRUE(driver.WaitForLine(Field("result", QStringLiteral("timeout")), 20000))
        << qPrintable(driver.Output());

    // Uninit's result line says whether the engine ended within its limit.
    driver.Send(QStringLiteral("Uninit 0"));
    ASSERT_TRUE(driver.WaitForExit(20000)) << qPrintable(driver.Output());
    EXPECT_FALSE(driver.Crashed());
    EXPECT_EQ(driver.ExitCode(), 0) << qPrintable(driver.Output());
    ASSERT_FALSE(driver.Lines().empty());
    EXPECT_EQ(driver.Lines().back(), QJsonObject({{QStringLiteral("cmd"), QStringLiteral("Uninit")},
                                                  {QStringLiteral("result"), true}}));
    ExpectOnlyLoopbackAndJson();
}

// A line that cannot be run prints an error naming it; the driver goes on with the next one and,
// at the end of its input, ends the core by itself.
struct BadLineRow {
    const char* name;
    const char* line;
};

void PrintTo(const BadLineRow& row, std::ostream* os) {
    *os << row.line;
}

class CoreDriverBadLineTest : public CoreDriverTest, public ::testing::WithParamInterface<BadLineRow> {};

TEST_P(CoreDriverBadLineTest, PrintsAnErrorAndGoesOn) {
    const QString line = QString::fromUtf8(GetParam().line);
    driver.Send(line);
    driver.Send(QStringLiteral("Status"));
    driver.CloseInput();
    ASSERT_TRUE(driver.WaitForLine(Field("line", line), 20000)) << qPrintable(driver.Output());
    ASSERT_TRUE(driver.WaitForLine(Field("cmd", QStringLiteral("Status")), 20000))
        << qPrintable(driver.Output());
    ASSERT_TRUE(driver.WaitForLine(Field("input", QStringLiteral("ended")), 20000))
        << qPrintable(driver.Output());
    ASSERT_TRUE(driver.WaitForExit(20000));
    EXPECT_EQ(driver.ExitCode(), 0) << qPrintable(driver.Output());
    ExpectOnlyLoopbackAndJson();
}

INSTANTIATE_TEST_SUITE_P(Rows, CoreDriverBadLineTest,
                         ::testing::Values(BadLineRow{"UnknownCommand", "Logon"},
                                           BadLineRow{"UnterminatedQuote", "SetUser u1 \"Q=a; 0 \"\""},
                                           BadLineRow{"MissingArgument", "MapSyncPath"},
                                           BadLineRow{"ExtraArgument", "Login now"},
                                           BadLineRow{"RequestOutOfRange", "Request 6"},
                                           BadLineRow{"RequestNotANumber", "Request stop"},
                                           BadLineRow{"AutoLoginNotAFlag", "SetUser u1 \"\" yes \"\""},
                                           BadLineRow{"WaitWithoutAField", "wait 2205 status 100"},
                                           BadLineRow{"UninitNotAFlag", "Uninit 2"}),
                         [](const ::testing::TestParamInfo<BadLineRow>& info) {
                             return std::string(info.param.name);
                         });

// The core in its own process logs in to the stand-in and uploads a file of its mirror folder on
// the driver's command: the stand-in ends with the file's bytes.
TEST(CoreDriverUploadTest, UploadsAMirrorFileToTheService) {
    QTemporaryDir home;
    QTemporaryDir work;
    ASSERT_TRUE(home.isValid() && work.isValid());
    CloudStandIn standIn;
    ASSERT_TRUE(standIn.Start()) << standIn.errorText();
    StandInApi api(standIn);
    StopStandInFirst stopFirst{standIn}; // a killed driver's request may still be answered
    ServeCoreDriver(api, standIn, work.path());
    const QString mirror = QDir(home.path()).filePath(QStringLiteral("mirror"));

    CoreDriverProcess driver;
    ASSERT_TRUE(driver.Start(home.path(), work.path()));
    driver.Send(QStringLiteral("Init"));
    driver.Send(QStringLiteral("SetUser u1 \"Q=a; T=b;\" 0 \"\""));
    driver.Send(QStringLiteral("MapSyncPath ") + mirror);
    driver.Send(QStringLiteral("Login"));
    driver.Send(QStringLiteral("wait 2205 status=4 60000")); // logged in, the cloud compared
    ASSERT_TRUE(driver.WaitForLine(Field("cmd", QStringLiteral("wait")), 90000))
        << qPrintable(driver.Output());
    std::string bytes;
    while (bytes.size() < 3 * 524288 + 99)
        bytes += "row " + std::to_string(bytes.size()) + "\n";
    QFile file(QDir(mirror).filePath(QStringLiteral("E1/up.txt"))); // the enterprise's folder
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(file.errorString());
    file.write(bytes.data(), qint64(bytes.size()));
    file.close();
    driver.Send(QStringLiteral("Upload ") + file.fileName());
    ASSERT_TRUE(driver.WaitForLine(Field("cmd", QStringLiteral("Upload")), 90000))
        << qPrintable(driver.Output());
    // The result may be false: the watcher sees the write too, and once its change runs, the
    // command finds the upload under way. And the start-up scan of the mirror, which may still run,
    // can find the file half written and upload what it holds then: the watcher's report of the
    // rest uploads it again. Hence a wait for the whole file, not for the first commit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto node = api.tree().node("/up.txt");
        if (node && node->bytes == bytes)
            break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << (node ? node->bytes.size() : 0) << " bytes arrived\n"
            << qPrintable(driver.Output());
        standIn.waitForRequests(standIn.requestCount() + 1, 200);
    }
    driver.Send(QStringLiteral("Uninit 0"));
    ASSERT_TRUE(driver.WaitForExit(20000)) << qPrintable(driver.Output());
    EXPECT_EQ(driver.ExitCode(), 0) << qPrintable(driver.Output());
    for (const QJsonObject& line : driver.Lines())
        EXPECT_FALSE(line.contains(QStringLiteral("offhost"))) << qPrintable(driver.Output());
}

// Asked to stop by a signal, the driver ends as on "Uninit 0" (the engine's stop saves its files).
TEST_F(CoreDriverTest, ASignalEndsItAsUninitDoes) {
    driver.Send(QStringLiteral("Init"));
    ASSERT_TRUE(driver.WaitForLine(Field("cmd", QStringLiteral("Init")), 30000)) << qPrintable(driver.Output());
    ASSERT_TRUE(driver.Signal(SIGTERM));
    ASSERT_TRUE(driver.WaitForExit(30000)) << qPrintable(driver.Output());
    EXPECT_FALSE(driver.Crashed());
    EXPECT_EQ(driver.ExitCode(), 0);
    EXPECT_TRUE(driver.WaitForLine(Field("signal", SIGTERM), 0)) << qPrintable(driver.Output());
    EXPECT_TRUE(driver.WaitForLine(Field("result", true), 0)) << qPrintable(driver.Output());
}

} // namespace
