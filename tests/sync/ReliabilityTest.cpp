// The reliability run: a seeded script of edits in the mirror folder (write, append, rename,
// delete) and on the stand-in (add, edit, delete, rename) while coredrv runs, and coredrv killed
// with SIGKILL at seeded points — the nth request of a method, held before or after the stand-in
// carries it out, or a seeded delay — and started again each time. After every kill:
// - nothing written is lost: every version the test wrote and did not overwrite or delete itself
//   is in the mirror (at its path, renamed, as a conflict copy), in the private trash or on the
//   stand-in (any version of any node, recycled ones too);
// - nothing is torn: every file of the mirror holds a version the test wrote.
// At the end, after a run to the end of a synchronisation: every mirror file equals the
// stand-in's at its path, every stand-in node is in the index as synchronised (2) or not
// downloaded (11), and no temporary file lies beside the user's files.
//
// The kills are split into runs of their own, each a test of its own with the seed after the one
// before, so that CTest runs them side by side and none takes the whole time of a loaded machine.
// NIMBO_RELIABILITY_SEED sets the seed of the first run; the seed in use is printed first.

#include "support/DriverTestSupport.h"

#include "support/CoreDriverProcess.h"
#include "support/StandInApi.h"
#include "support/StandInDownloads.h"

#include "common/PathUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace {

constexpr int kKills = 10; // per run
constexpr int kLongMs = 120000;

// Local edits the killed core did not carry out yet, and those made while it is down, are left to
// the offline comparison of the next start. False: local edits are made only from the end of a
// synchronisation on and carried to the stand-in before a kill point is set (a run that does not
// lean on the offline comparison).
constexpr bool kLocalEditsMayWaitAtKill = true;

// Requests a kill point may hold, by what leads to them: the login and the first comparison, the
// edits on the stand-in (the version check after them, downloads), the local edits (uploads and
// folder operations). Null-terminated.
const char* const kLoginMethods[] = {"User.getUserDetail", "Incr.getBgsp",         "Incr.getGlobalNodes",
                                     "Incr.getIncrGlobal", "Sync.getDownloadInfo", nullptr};
const char* const kCloudMethods[] = {"User.getUserDetail", "Incr.getIncrGlobal", "Sync.getDownloadInfo",
                                     StandInDownloads::kBlockMethod, nullptr};
const char* const kLocalMethods[] = {"Sync.getAddr", "Upload.block",   "Upload.commit", "File.recycle",
                                     "File.rename",  "File.createDir", nullptr};

unsigned SeedFromEnvironment() {
    const QByteArray text = qgetenv("NIMBO_RELIABILITY_SEED");
    bool ok = false;
    const unsigned seed = text.toUInt(&ok);
    return ok ? seed : 20261209u;
}

std::string Str(const QString& text) {
    return text.toStdString();
}

// The tag a content starts with, for messages.
std::string Tag(const QByteArray& content) {
    return content.left(content.indexOf('|', content.indexOf('|') + 1) + 1).toStdString();
}

class ReliabilityTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        root = QDir(mirror).filePath(QStringLiteral("E1"));
    }

    // --- The script -----------------------------------------------------------------------------

    // A new content, small or of a few blocks, tagged with its number and where it was written.
    QByteArray NewContent(const QString& where) {
        QByteArray content = QStringLiteral("v%1|%2|").arg(++serial).arg(where).toUtf8();
        const int size = random() % 5 == 0 ? 300000 + int(random() % 900000) : int(random() % 3000);
        const int start = content.size();
        content.resize(start + size);
        for (int i = start; i < content.size(); ++i)
            content[i] = char('a' + (random() >> 8) % 26);
        written.insert(content);
        required.insert(content);
        return content;
    }

    // Files of the mirror the user sees, relative to its folder ("sub/x.txt").
    QStringList UserFiles() const {
        QStringList files;
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString relative = QDir(root).relativeFilePath(it.next());
            if (!relative.startsWith(QLatin1String(".Nimbocache/")) && !IsTemporary(relative) &&
                relative.compare(QLatin1String("desktop.ini"), Qt::CaseInsensitive) != 0)
                files << relative;
        }
        return files;
    }
    static bool IsTemporary(const QString& name) {
        return name.endsWith(QLatin1String(".tmp")) || name.endsWith(QLatin1String(".draveltmp"));
    }
    QString Pick(const QStringList& from) {
        return from.isEmpty() ? QString() : from[int(random() % from.size())];
    }

    void LocalStep() {
        ++localEdits;
        const QStringList files = UserFiles();
        const QString victim = Pick(files);
        const unsigned kind = random() % 10;
        if (kind < 4 || victim.isEmpty()) {
            const QString path =
                (random() % 2 ? QStringLiteral("sub/l%1.txt") : QStringLiteral("l%1.txt")).arg(serial + 1);
            WriteFileBytes(QDir(root).filePath(path), NewContent(path));
            removed.erase(path);
            return;
        }
        const QString full = QDir(root).filePath(victim);
        const QByteArray old = ReadFileBytes(full);
        if (kind < 6) {
            QFile file(full);
            ASSERT_TRUE(file.open(QIODevice::Append)) << Str(victim);
            const QByteArray added = NewContent(victim);
            written.erase(added);
            required.erase(added);
            written.insert(old + added);
            required.insert(old + added);
            ASSERT_EQ(file.write(added), added.size());
        } else if (kind < 8) {
            const QString target =
                QFileInfo(victim).path() == QLatin1String(".")
                    ? QStringLiteral("r%1.txt").arg(++serial)
                    : QStringLiteral("%1/r%2.txt").arg(QFileInfo(victim).path()).arg(++serial);
            ASSERT_TRUE(QFile::rename(full, QDir(root).filePath(target))) << Str(victim);
            removed.insert(victim);
            return;
        } else {
            ASSERT_TRUE(QFile::remove(full)) << Str(victim);
            removed.insert(victim);
        }
        required.erase(old); // the test itself overwrote or deleted it
    }

    void CloudStep() {
        ++cloudEdits;
        QStringList files;
        for (const auto& [path, node] : api.tree().byPath()) {
            if (!node.isDir)
                files << QString::fromStdString(path);
        }
        const std::string victim = Str(Pick(files));
        const unsigned kind = random() % 10;
        if (kind < 4 || victim.empty()) {
            const QString path =
                (random() % 2 ? QStringLiteral("/sub/s%1.txt") : QStringLiteral("/s%1.txt")).arg(serial + 1);
            ASSERT_FALSE(api.tree().addFileBytes(Str(path), NewContent(path).toStdString()).empty());
        } else if (kind < 7) {
            const QByteArray content = NewContent(QString::fromStdString(victim));
            ASSERT_TRUE(api.tree().editFileBytes(victim, content.toStdString(), kStandInTime + serial));
        } else if (kind < 9) {
            ASSERT_TRUE(api.tree().remove(victim));
        } else {
            ASSERT_TRUE(api.tree().rename(victim, "t" + std::to_string(++serial) + ".txt"));
        }
    }

    // --- The driver -----------------------------------------------------------------------------

    // Starts a driver and logs it in; waits for the user interface status `uiStatus` (4: the cloud
    // compared, 6: synchronised), none when 0.
    void StartDriver(int uiStatus) {
        driver = std::make_unique<CoreDriverProcess>();
        ASSERT_NO_FATAL_FAILURE(LogInDriver(*driver, home.path(), work.path(), mirror, uiStatus));
    }

    // Sets a kill point on one of `methods` (a seeded delay when null or by chance) and waits for
    // it, kills the driver and lets held requests go.
    void Kill(const char* const* methods) {
        const bool onRequest =
            methods && !(!kLocalEditsMayWaitAtKill && methods == kLocalMethods) && random() % 4 != 0;
        if (onRequest) {
            int count = 0;
            while (methods[count])
                ++count;
            const std::string method = methods[random() % unsigned(count)];
            const int nth = 1 + int(random() % 2);
            const FaultKind when = random() % 2 ? FaultKind::Hold : FaultKind::HoldReply;
            standIn.addFault(FaultRule{"/intf.php", method, true, Listener::Primary, nth, 1, Fault{when}});
            // Not every edit leads to the method: then the kill comes after this wait, as a delay.
            if (standIn.waitForHeld(1, 700))
                ++killsAtRequests;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 800));
        }
        driver->Kill();
        standIn.clearFaults();
        standIn.releaseHeld();
    }

    // Waits until every mirror file is on the stand-in at its path with its content and, with
    // `removals`, nothing the script removed in the mirror is left there (a removal the core did
    // not see before it died is not sent later: the cloud's file stays, not downloaded); false
    // after `timeoutMs`.
    bool WaitSettled(int timeoutMs, bool removals, std::string* why) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            why->clear();
            for (const QString& file : UserFiles()) {
                const auto node = api.tree().node(Str(QLatin1Char('/') + file));
                if (!node || node->bytes != ReadFileBytes(QDir(root).filePath(file)).toStdString())
                    *why += " " + Str(file);
            }
            for (const QString& gone : removals ? removed : std::set<QString>()) {
                if (api.tree().node(Str(QLatin1Char('/') + gone), false) &&
                    !QFile::exists(QDir(root).filePath(gone)))
                    *why += " removed:" + Str(gone);
            }
            if (why->empty())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            standIn.waitForRequests(standIn.requestCount() + 1, 200);
        }
    }

    // What the driver wrote so far, for failure messages.
    std::string DriverOutput() {
        driver->WaitForLine([](const QJsonObject&) { return false; }, 500); // reads what came since
        return Str(driver->Output());
    }

    // The API methods the stand-in was asked for lately, for failure messages.
    std::string RecentRequests() const {
        const std::vector<RecordedRequest> requests = standIn.requests();
        std::string text;
        for (size_t i = requests.size() > 40 ? requests.size() - 40 : 0; i < requests.size(); ++i)
            text += " " + requests[i].queryArg("method");
        return text;
    }

    // --- The invariants -------------------------------------------------------------------------

    void CheckNothingLostOrTorn(const std::string& when) {
        std::set<QByteArray> present;
        for (const QString& file : UserFiles()) {
            const QByteArray content = ReadFileBytes(QDir(root).filePath(file));
            EXPECT_TRUE(written.count(content)) << when << ": " << Str(file) << " holds no version written ("
                                                << content.size() << " bytes, " << Tag(content) << ")";
            present.insert(content);
        }
        QDirIterator trash(QDir(root).filePath(QStringLiteral(".Nimbocache/trash")),
                           QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (trash.hasNext())
            present.insert(ReadFileBytes(trash.next()));
        for (const StandInFileVersions& file : api.tree().fileVersions()) {
            for (const std::string& content : file.contents)
                present.insert(QByteArray::fromStdString(content));
        }
        for (const QByteArray& content : required)
            EXPECT_TRUE(present.count(content)) << when << ": lost " << Tag(content);
    }

    // One run: the kills, then a run to the end of a synchronisation and the checks of the end.
    void Run(unsigned run);

    std::unique_ptr<CoreDriverProcess> driver; // goes before the stand-in stops
    QString root; // the enterprise's folder in the mirror: the cloud root
    unsigned seed = SeedFromEnvironment();
    std::mt19937 random{seed};
    int serial = 0;
    std::set<QByteArray> written;  // every content the test wrote, in the mirror or on the stand-in
    std::set<QByteArray> required; // of those, the ones the test did not overwrite or delete itself
    std::set<QString> removed;     // mirror paths the script renamed or deleted
    int killsAtRequests = 0;       // kills while the stand-in held a request
    int localEdits = 0;
    int cloudEdits = 0;
};

void ReliabilityTest::Run(unsigned run) {
    seed = SeedFromEnvironment() + run;
    random.seed(seed);
    std::cout << "NIMBO_RELIABILITY_SEED=" << seed << std::endl;
    SCOPED_TRACE(testing::Message() << "NIMBO_RELIABILITY_SEED=" << seed);
    // A cloud tree with a folder and files, two of them with synced copies in the mirror.
    ASSERT_FALSE(api.tree().addFolder("/sub").empty());
    for (const char* path : {"/a.txt", "/sub/b.txt", "/c.txt"}) {
        const QByteArray content = NewContent(QLatin1String(path));
        ASSERT_FALSE(api.tree().addFileBytes(path, content.toStdString()).empty());
        if (path[1] == 'c')
            continue;
        const QString local = root + QLatin1String(path);
        WriteFileBytes(local, content);
        ASSERT_TRUE(MyChangeFileTime(local, kStandInTime, kStandInTime));
    }
    for (int kill = 0; kill < kKills; ++kill) {
        const std::string when = "kill " + std::to_string(kill);
        SCOPED_TRACE(when);
        // Some kills fall in the login and the first comparison.
        const bool early = kill > 0 && random() % 3 == 0;
        const int localSteps = early ? 0 : int(random() % 2);
        const int cloudSteps = early ? 0 : int(random() % 2);
        // Edits race the login's fetch and comparisons. (Without the offline comparison, local
        // edits reach the engine only from the end of the first synchronisation on.)
        ASSERT_NO_FATAL_FAILURE(StartDriver(kLocalEditsMayWaitAtKill || localSteps == 0 ? 0 : 6));
        for (int step = 0; step < localSteps; ++step)
            ASSERT_NO_FATAL_FAILURE(LocalStep());
        std::string why;
        ASSERT_TRUE(kLocalEditsMayWaitAtKill || localSteps == 0 || WaitSettled(kLongMs, true, &why))
            << "not carried to the stand-in:" << why << "\nrequests:" << RecentRequests() << "\n"
            << DriverOutput();
        for (int step = 0; step < cloudSteps; ++step)
            ASSERT_NO_FATAL_FAILURE(CloudStep());
        if (cloudSteps > 0)
            driver->Send(QStringLiteral("Request 4"));
        Kill(early            ? kLoginMethods
             : cloudSteps > 0 ? kCloudMethods
             : localSteps > 0 ? kLocalMethods
                              : nullptr);
        CheckNothingLostOrTorn(when);
        // Edits while the core is down, for the offline comparison of the next start.
        if (kLocalEditsMayWaitAtKill && random() % 3 == 0) {
            ASSERT_NO_FATAL_FAILURE(LocalStep());
        }
    }

    // The last run goes to the end of a synchronisation.
    ASSERT_NO_FATAL_FAILURE(StartDriver(4));
    driver->Send(QStringLiteral("wait 2205 status=6 %1").arg(kLongMs));
    ASSERT_EQ(WaitForResult(*driver, "wait", kLongMs + 10000).value(QStringLiteral("result")).toString(),
              QStringLiteral("ok"))
        << DriverOutput();
    std::string why;
    EXPECT_TRUE(WaitSettled(kLongMs, false, &why)) << "the mirror differs from the stand-in:" << why;
    CheckNothingLostOrTorn("the end");
    driver->Send(QStringLiteral("Index"));
    const QJsonObject index = WaitForResult(*driver, "Index").value(QStringLiteral("result")).toObject();
    for (const auto& [path, node] : api.tree().byPath()) {
        const int status = index.value(root + QString::fromStdString(path)).toInt(-1);
        EXPECT_TRUE(status == 2 || status == 11)
            << path << " has status " << status
            << " in the index: " << QJsonDocument(index).toJson(QJsonDocument::Compact).toStdString();
    }
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        EXPECT_FALSE(IsTemporary(relative) && !relative.startsWith(QLatin1String(".Nimbocache/")))
            << "a temporary file beside the user's: " << Str(relative);
    }
    std::cout << kKills << " kills, " << killsAtRequests << " of them at a held request; " << localEdits
              << " edits in the mirror, " << cloudEdits << " on the stand-in; " << standIn.requestCount()
              << " requests" << std::endl;
    driver->Send(QStringLiteral("Uninit 0"));
    EXPECT_TRUE(driver->WaitForExit(kLongMs)) << DriverOutput();
}

TEST_F(ReliabilityTest, KillsAtSeededPointsLoseAndTearNothing) {
    Run(0);
}
TEST_F(ReliabilityTest, KillsAtSeededPointsLoseAndTearNothingRun2) {
    Run(1);
}
TEST_F(ReliabilityTest, KillsAtSeededPointsLoseAndTearNothingRun3) {
    Run(2);
}
TEST_F(ReliabilityTest, KillsAtSeededPointsLoseAndTearNothingRun4) {
    Run(3);
}
TEST_F(ReliabilityTest, KillsAtSeededPointsLoseAndTearNothingRun5) {
    Run(4);
}

} // namespace
