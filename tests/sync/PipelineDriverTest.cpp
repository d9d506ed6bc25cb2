// The change pipeline seen from outside: the core in a process of its own (coredrv) against the
// stand-in in the test's process, the mirror changed as a user's shell would change it. Each step
// ends with the core back in status 7 and one 2210; the stand-in's log holds its exchanges, in
// order.
#include "support/DriverTestSupport.h"
#include "support/EngineTestSupport.h"

#include "support/CloudStandIn.h"
#include "support/CoreDriverProcess.h"
#include "support/StandInApi.h"

#include "common/Hash.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>

namespace {

constexpr int kLongMs = 120000;

// The exchanges of the pipeline in the stand-in's log from `from` on: "method" or "method /path".
std::vector<std::string> PipelineLog(const std::vector<RecordedRequest>& requests, size_t from) {
    static const std::set<std::string> kFolderOps = {"File.createDir", "File.rename", "File.move",
                                                     "File.recycle"};
    static const std::set<std::string> kUpload = {"Sync.getAddr", "Upload.request", "Upload.block",
                                                  "Upload.commit"};
    std::vector<std::string> log;
    for (size_t i = from; i < requests.size(); ++i) {
        const std::string method = requests[i].queryArg("method");
        if (kFolderOps.count(method)) {
            std::string path = requests[i].cookie("fname");
            if (path.empty())
                path = requests[i].cookie("src_name");
            while (path.size() > 1 && path.back() == '/')
                path.pop_back();
            log.push_back(method + " " + path);
        } else if (kUpload.count(method)) {
            log.push_back(method);
        }
    }
    return log;
}

bool IsEvent(const QJsonObject& line, int type) {
    return line.value(QStringLiteral("event")).toInt() == type;
}

class PipelineDriverTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        sync = QDir(home.path()).filePath(QStringLiteral("mirror/E1"));
    }

    // Waits for the next 2210 and checks that it is the only one since the last step and that the
    // core is in status 7 (shown as 6).
    void WaitFinished() {
        const size_t from = driver.Lines().size();
        ASSERT_TRUE(driver.WaitForLine([](const QJsonObject& line) { return IsEvent(line, 2210); }, kLongMs))
            << qPrintable(driver.Output());
        int finishes = 0, status = -1;
        for (size_t i = finished; i < driver.Lines().size(); ++i) {
            const QJsonObject& line = driver.Lines()[i];
            finishes += IsEvent(line, 2210) ? 1 : 0;
            if (IsEvent(line, 2205))
                status = line.value(QStringLiteral("status")).toInt();
        }
        EXPECT_EQ(finishes, 1) << "since line " << finished << " (this step from " << from << ")";
        EXPECT_EQ(status, 6);
        finished = driver.Lines().size();
    }

    CoreDriverProcess driver;
    QString sync;
    size_t finished = 0; // lines looked at by WaitFinished
};

TEST_F(PipelineDriverTest, ShellChangesReachTheServiceInOrder) {
    LogInDriver(driver, home.path(), work.path(), mirror, 0);
    ASSERT_FALSE(HasFailure());
    WaitFinished(); // the first cycle
    ASSERT_FALSE(HasFailure());

    // mkdir -p and a 3 MiB file of six distinct blocks.
    std::string bytes;
    for (int i = 0; bytes.size() < size_t(6 * CLOUD_BLOCK_SIZE); ++i)
        bytes += "line " + std::to_string(i) + "\n";
    bytes.resize(size_t(6 * CLOUD_BLOCK_SIZE));
    size_t logFrom = standIn.requests().size();
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(QDir().mkpath(sync + QStringLiteral("/docs/new")));
    {
        QFile file(sync + QStringLiteral("/docs/new/big.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
    }
    WaitFinished();
    std::printf("the folders and the 3 MiB file reached the stand-in in %lld ms\n",
                static_cast<long long>(timer.elapsed()));
    std::vector<std::string> expected = {"File.createDir /docs", "File.createDir /docs/new", "Sync.getAddr",
                                         "Upload.request"};
    expected.insert(expected.end(), 6, "Upload.block");
    expected.push_back("Upload.commit");
    EXPECT_EQ(PipelineLog(standIn.requests(), logFrom), expected);
    const auto node = api.tree().node("/docs/new/big.txt");
    ASSERT_TRUE(node);
    EXPECT_TRUE(node->bytes == bytes);

    struct Step {
        const char* name;
        std::function<bool()> change;
        std::string sent; // the one exchange, no upload
        const char* present;
    };
    const QString docs = sync + QStringLiteral("/docs");
    const Step steps[] = {
        {"mv in place",
         [&] {
             return QFile::rename(docs + QStringLiteral("/new/big.txt"), docs + QStringLiteral("/new/b.txt"));
         },
         "File.rename /docs/new/big.txt", "/docs/new/b.txt"},
        {"mv into another folder",
         [&] { return QFile::rename(docs + QStringLiteral("/new/b.txt"), docs + QStringLiteral("/b.txt")); },
         "File.move /docs/new/b.txt", "/docs/b.txt"},
        {"rm", [&] { return QFile::remove(docs + QStringLiteral("/b.txt")); }, "File.recycle /docs/b.txt",
         ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        logFrom = standIn.requests().size();
        ASSERT_TRUE(step.change());
        WaitFinished();
        EXPECT_EQ(PipelineLog(standIn.requests(), logFrom), std::vector<std::string>{step.sent});
        if (*step.present) {
            EXPECT_TRUE(api.tree().node(step.present));
        }
    }
    EXPECT_EQ(api.tree().byPath().size(), 2u); // the two folders
    driver.Send(QStringLiteral("Uninit 0"));
    EXPECT_TRUE(driver.WaitForExit(kLongMs)) << qPrintable(driver.Output());
}

} // namespace
