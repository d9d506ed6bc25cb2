// The offline comparison: what the user changed in the mirror folder while the core was not
// running reaches the service after a restart, and nothing else does; then its cases one by one
// against the journal and the index, in process.
#include "support/DriverTestSupport.h"
#include "support/EngineTestSupport.h"

#include "support/CoreDriverProcess.h"
#include "support/DebugCapture.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/PathUtils.h"
#include "common/QCEventBase.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <set>

namespace {

constexpr int kLongMs = 120000;

bool WriteFile(const QString& path, const std::string& bytes,
               QIODevice::OpenMode mode = QIODevice::WriteOnly) {
    QFile file(path);
    return file.open(mode) && file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

// --- After a restart, through coredrv ---------------------------------------------------------

class OfflineRestartTest : public DriverTest {
protected:

    // The result of the next output line of the command `name`; "" when none came in time.
    static QString Result(CoreDriverProcess& driver, const char* name) {
        return WaitForResult(driver, name).value(QStringLiteral("result")).toVariant().toString();
    }

    // Logs in with the mirror and waits until the engine has nothing left to do (status 7, shown
    // as 6). As the login window does, the enterprise's folder is mapped once the core knows the
    // enterprise (the first login appends it by itself).
    void RunToIdle(CoreDriverProcess& driver) {
        LogInDriver(driver, home.path(), work.path(), mirror, 6);
    }

};

TEST_F(OfflineRestartTest, OnlyWhatChangedWhileStoppedIsSent) {
    const std::string a = "alpha\n", b = "bravo\n", c = "charlie\n";
    const QString local = QDir(mirror).filePath(QStringLiteral("E1"));
    ASSERT_TRUE(QDir().mkpath(local));
    for (const auto& [name, bytes] : {std::pair{"a.txt", a}, {"b.txt", b}, {"c.txt", c}}) {
        api.tree().addFileBytes(std::string("/") + name, bytes);
        const QString path = QDir(local).filePath(QLatin1String(name));
        ASSERT_TRUE(WriteFile(path, bytes));
        ASSERT_TRUE(MyChangeFileTime(path, kStandInTime, kStandInTime));
    }
    {
        CoreDriverProcess first;
        RunToIdle(first);
        first.Send(QStringLiteral("Uninit 0"));
        ASSERT_TRUE(first.WaitForExit(kLongMs)) << qPrintable(first.Output());
    }
    ASSERT_EQ(api.calls("Sync.getAddr").size(), 0u);
    const unsigned bVersion = api.tree().node("/b.txt")->version;

    // While the core is not running.
    ASSERT_TRUE(WriteFile(local + QStringLiteral("/new.txt"), "new\n"));
    ASSERT_TRUE(WriteFile(local + QStringLiteral("/a.txt"), "more\n", QIODevice::Append));
    ASSERT_TRUE(MyChangeFileTime(local + QStringLiteral("/b.txt"), kStandInTime + 60, kStandInTime + 60));
    ASSERT_TRUE(QDir(local).mkdir(QStringLiteral("e")));
    ASSERT_TRUE(QFile::remove(local + QStringLiteral("/c.txt")));
    api.uploads().seedContent(b); // the service holds b.txt's content: its address request places it

    CoreDriverProcess second;
    RunToIdle(second);
    std::multiset<std::string> addressed;
    for (const RecordedRequest& request : api.calls("Sync.getAddr"))
        addressed.insert(request.cookie("fname"));
    EXPECT_EQ(addressed, (std::multiset<std::string>{"/a.txt", "/b.txt", "/new.txt"}));
    EXPECT_EQ(api.calls("Upload.request").size() + api.calls("Upload.uploadFile").size(), 2u);
    EXPECT_EQ(api.tree().node("/new.txt")->bytes, "new\n");
    EXPECT_EQ(api.tree().node("/a.txt")->bytes, a + "more\n");
    EXPECT_EQ(api.tree().node("/b.txt")->version, bVersion + 1);
    EXPECT_EQ(api.calls("File.createDir").size(), 1u);
    ASSERT_TRUE(api.tree().node("/e").has_value());
    for (const char* method : {"File.recycle", "File.rename", "File.move", "File.copyFile", "Sync.addFile"})
        EXPECT_EQ(api.calls(method).size(), 0u) << method;
    EXPECT_TRUE(api.tree().node("/c.txt").has_value());
    second.Send(QStringLiteral("FileStatus ") + local + QStringLiteral("/c.txt"));
    EXPECT_EQ(Result(second, "FileStatus"), QString::number(FILE_STATUS_NOT_DOWN));
    second.Send(QStringLiteral("Uninit 0"));
    EXPECT_TRUE(second.WaitForExit(kLongMs)) << qPrintable(second.Output());
}

// --- The cases, in process ----------------------------------------------------------------------

constexpr quint32 kTime = 1600000000;

// Lists of entries split by "|": "path size [seconds after kTime]" (a folder ends in "/") for the
// journal, the disk and the index entries shown synced; the items' local paths (a conflict tag
// as "(冲突)"); "path status" of the index afterwards (-1: no entry).
struct OfflineRow {
    const char* name;
    const char* journal;
    const char* disk;
    const char* synced;
    const char* queued;
    const char* statuses;
};

void PrintTo(const OfflineRow& row, std::ostream* out) {
    *out << row.name;
}

QStringList Split(const char* list) {
    return QString::fromUtf8(list).split(QLatin1Char('|'), Qt::SkipEmptyParts);
}

FILE_INFO Parse(const QString& text) {
    const QStringList words = text.split(QLatin1Char(' '));
    FILE_INFO info;
    info.is_dir = words[0].endsWith(QLatin1Char('/'));
    info.path = info.is_dir ? words[0].chopped(1) : words[0];
    info.name = GetOnlyFilename(info.path);
    info.size = words.size() > 1 ? words[1].toULongLong() : 0;
    info.mtime = kTime + (words.size() > 2 ? words[2].toUInt() : 0);
    info.version = 1;
    return info;
}

class OfflineCaseTest : public EngineTest, public ::testing::WithParamInterface<OfflineRow> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        MakeReady("{\"max_file_size\":1000}");
        g_LocalStoreMgr.Watcher().clearAll(); // the comparison alone
    }
    void Arrange(const OfflineRow& row) {
        for (const QString& text : Split(row.journal))
            ASSERT_TRUE(QCSyncDB::UpdateFileInfo(Parse(text)));
        for (const QString& text : Split(row.disk)) {
            const FILE_INFO info = Parse(text);
            const QString path = root + info.path;
            ASSERT_TRUE(info.is_dir ? QDir().mkpath(path) : WriteFile(path, std::string(info.size, 'x')));
            ASSERT_TRUE(MyChangeFileTime(path, info.mtime, info.mtime));
        }
        for (const QString& text : Split(row.synced))
            g_LocalStoreMgr.Cache().Update(root + Parse(text).path, Parse(text), FILE_STATUS_SYNCED, false,
                                           false, true);
    }
};

TEST_P(OfflineCaseTest, QueuesTheWork) {
    const OfflineRow& row = GetParam();
    Arrange(row);
    QStringList queued;
    OnEngine([&] {
        g_LocalStoreMgr.CompareOffline();
        for (const CHANGE_ITEM& item : g_LocalStoreMgr.PendingForTests())
            queued << item.local.path;
    });
    queued.replaceInStrings(QRegularExpression(QStringLiteral("\\(冲突-[^)]*\\)")), QStringLiteral("(冲突)"));
    EXPECT_EQ(queued.join(QLatin1Char('|')).toStdString(), row.queued);
    for (const QString& text : Split(row.statuses)) {
        FileInfo entry;
        const bool known =
            g_LocalStoreMgr.Cache().GetBaseInfo(root + text.section(QLatin1Char(' '), 0, 0), entry);
        EXPECT_EQ(known ? int(entry.status) : -1, text.section(QLatin1Char(' '), 1).toInt())
            << qPrintable(text);
    }
    if (!Split(row.statuses).filter(QRegularExpression(QStringLiteral(" 4$"))).isEmpty()) { // too big
        EXPECT_TRUE(receiver.WaitFor(
            QCEventBase::GlobalError,
            [](const RecordedEvent& e) { return e.kind == SYNC_ERROR::CloudBigFile; }, 60000));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OfflineCaseTest,
    ::testing::Values(
        OfflineRow{"AFileOfTheLimitIsTooBigOneByteLessIsNot", "", "/big.bin 1000|/fits.bin 999", "",
                   "/fits.bin", "/big.bin 4|/fits.bin 9"},
        OfflineRow{"SizeOrTimeChangedIsQueuedTheSameIsNot", "/size.txt 5|/time.txt 5|/same.txt 5|/d/",
                   "/size.txt 6|/time.txt 5 60|/same.txt 5|/d/", "", "/size.txt|/time.txt",
                   "/same.txt -1|/d -1"},
        OfflineRow{"AFolderWhereTheJournalHoldsAFileIsUploadedAsACopy", "/f 5", "/f/|/f/x.txt 3", "",
                   "/f(冲突)|/f(冲突)/x.txt", "/f -1"},
        OfflineRow{"ANeverSyncedNameIsIgnored", "", "/~$report.docx 4", "", "", "/~$report.docx 1"},
        OfflineRow{"ANewFolderTheIndexShowsSyncedIsNotQueued", "", "/k/|/n/", "/k/", "/n", "/k 2|/n 8"}),
    [](const ::testing::TestParamInfo<OfflineRow>& info) { return std::string(info.param.name); });

TEST_F(OfflineCaseTest, AStopEndsItAndQueuesNothing) {
    Arrange(OfflineRow{"", "", "/one.txt 1|/two/|/two/three.txt 3", "", "", ""});
    size_t queued = 1;
    OnEngine([&] {
        g_LocalStoreMgr.stop();
        g_LocalStoreMgr.CompareOffline();
        queued = g_LocalStoreMgr.PendingForTests().size();
    });
    EXPECT_EQ(queued, 0u);
    FileInfo entry;
    EXPECT_FALSE(g_LocalStoreMgr.Cache().GetBaseInfo(root + QStringLiteral("/one.txt"), entry));
}

// Pending work (kept over a stop of sync, or an upload just started) is not queued a second time.
TEST_F(OfflineCaseTest, WorkAlreadyPendingIsNotQueuedAgain) {
    Arrange(OfflineRow{"", "", "/one.txt 1|/two/", "", "", ""});
    size_t queued = 0;
    OnEngine([&] {
        g_LocalStoreMgr.CompareOffline();
        g_LocalStoreMgr.CompareOffline();
        queued = g_LocalStoreMgr.PendingForTests().size();
    });
    EXPECT_EQ(queued, 2u);
}

// Every cloud cycle passes status 5 on its way to 6: the comparison runs at the first only, again
// after a change seen while the cloud was checked, and again after a stop of sync.
TEST_F(OfflineCaseTest, RunsOncePerStartOfSync) {
    DebugCapture debug;
    const auto throughStatus5 = [&] {
        SetStatus(LOCAL_STATUS_CHECK_OFFLINE);
        Pass();
        EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_MONITOR);
    };
    throughStatus5();
    throughStatus5();
    EXPECT_EQ(debug.lines(QStringLiteral("[CompareOffline] start")).size(), 1);
    // A file written while the cloud is checked is not lost: the next step compares again.
    SetStatus(LOCAL_STATUS_CHECK_CLOUD);
    ASSERT_TRUE(WriteFile(root + QStringLiteral("/late.txt"), "late"));
    g_LocalStoreMgr.NotifyFileChange(root + QStringLiteral("/late.txt"), SYNC_CHANGE_ADD, QString(), false);
    Pass();
    throughStatus5();
    EXPECT_EQ(debug.lines(QStringLiteral("[CompareOffline] start")).size(), 2);
    size_t queued = 0;
    OnEngine([&] { queued = g_LocalStoreMgr.PendingForTests().size(); });
    EXPECT_EQ(queued, 1u);
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    ASSERT_TRUE(WaitUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_STOP; }, 0, 30000));
    throughStatus5();
    EXPECT_EQ(debug.lines(QStringLiteral("[CompareOffline] start")).size(), 3);
}

} // namespace
