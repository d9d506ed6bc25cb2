// A block download cut short by SIGKILL: the core in its own process (coredrv) against the
// stand-in in the test's process, which outlives the kill. The restarted core takes the blocks
// already in the temporary file from it and fetches only the rest; the user's file is the old or
// the new content at every look.
#include "support/DriverTestSupport.h"
#include "support/EngineTestSupport.h"

#include "support/CloudStandIn.h"
#include "support/CoreDriverProcess.h"
#include "support/StandInApi.h"
#include "support/StandInDownloads.h"

#include "common/Hash.h"
#include "common/PathUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

constexpr int kLongMs = 120000;
constexpr unsigned kBlocks = 7; // six full blocks and a tail


QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The blocks of `bytes` that the file at `path` holds at their offsets.
unsigned BlocksHeld(const QString& path, const std::string& bytes) {
    const QByteArray held = ReadAll(path);
    unsigned count = 0;
    for (size_t offset = 0; offset < bytes.size(); offset += CLOUD_BLOCK_SIZE) {
        const size_t length = std::min(size_t(CLOUD_BLOCK_SIZE), bytes.size() - offset);
        if (size_t(held.size()) >= offset + length &&
            std::equal(held.constData() + offset, held.constData() + offset + length, bytes.data() + offset))
            ++count;
    }
    return count;
}

class DownloadKillTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        target = QDir(mirror).filePath(QStringLiteral("E1/big.bin"));
    }

    // A driver logged in with the mirror; waits until its first comparison is done. As the login
    // window does, the enterprise's folder is mapped once the core knows the enterprise (the first
    // login appends it by itself).
    void LogIn(CoreDriverProcess& driver) {
        LogInDriver(driver, home.path(), work.path(), mirror, 4);
    }

    // Looks until `done`, each time checking that the user's file is whole: `before` or `after`.
    bool WaitWhole(const std::string& before, const std::string& after, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongMs);
        while (!done()) {
            const QByteArray now = ReadAll(target);
            EXPECT_TRUE(now == QByteArray::fromStdString(before) || now == QByteArray::fromStdString(after))
                << "a torn file of " << now.size() << " bytes";
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            standIn.waitForRequests(standIn.requestCount() + 1, 50);
        }
        return true;
    }

    QString TempFile() const {
        QDirIterator it(mirror, {QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        return it.hasNext() ? it.next() : QString();
    }

    QString target;
};

TEST_F(DownloadKillTest, ARestartTakesTheFetchedBlocksFromTheTemporaryFile) {
    const std::string before = BigBytes('p');
    const std::string after = BigBytes('q');
    api.downloads().setCompress(false);
    api.tree().addFileBytes("/big.bin", before);
    // Synced: the first comparison finds the content in place and records it.
    ASSERT_TRUE(QDir().mkpath(QFileInfo(target).absolutePath()));
    {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(before.data(), qint64(before.size()));
    }
    ASSERT_TRUE(MyChangeFileTime(target, kStandInTime, kStandInTime));
    {
        CoreDriverProcess first;
        LogIn(first);
        first.Send(QStringLiteral("Uninit 0"));
        ASSERT_TRUE(first.WaitForExit(kLongMs)) << qPrintable(first.Output());
    }

    // The cloud changes; four blocks are served, the rest held until the core is killed.
    ASSERT_TRUE(api.tree().editFileBytes("/big.bin", after, kStandInTime + 500));
    standIn.addFault(FaultRule{"/intf.php", StandInDownloads::kBlockMethod, true, Listener::Primary, 5, -1,
                               Fault{FaultKind::Hold}});
    {
        CoreDriverProcess second;
        LogIn(second);
        ASSERT_TRUE(WaitWhole(before, after, [&] {
            const QString temp = TempFile();
            return !temp.isEmpty() && BlocksHeld(temp, after) == 4;
        })) << qPrintable(second.Output());
        second.Kill();
    }
    EXPECT_TRUE(ReadAll(target) == QByteArray::fromStdString(before));
    standIn.clearFaults();
    standIn.releaseHeld();
    const size_t fetched = api.calls(StandInDownloads::kBlockMethod).size();

    CoreDriverProcess third;
    LogIn(third);
    ASSERT_TRUE(WaitWhole(before, after, [&] { return ReadAll(target) == QByteArray::fromStdString(after); }))
        << qPrintable(third.Output());
    EXPECT_EQ(api.calls(StandInDownloads::kBlockMethod).size() - fetched, kBlocks - 4);
    third.Send(QStringLiteral("Uninit 0"));
    EXPECT_TRUE(third.WaitForExit(kLongMs)) << qPrintable(third.Output());
}

} // namespace
