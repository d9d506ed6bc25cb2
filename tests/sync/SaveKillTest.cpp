// The lists the core keeps in files of their own ("history.dat", "cpsrc.dat", "out.dat" with its
// pages), saved while the core is killed: a driver saves again and again, each save different; at
// seeded moments it is stopped (SIGSTOP: its files are then exactly what a SIGKILL there would
// leave) and the files must load as one whole save, none older than the last one it reported. The
// last point of each run is a real SIGKILL. Then the lists survive a restart of the driver.

#include "support/DriverTestSupport.h"

#include "support/CoreDriverProcess.h"
#include "support/SaveFixtures.h"

#include "cache/QCCopySourceCache.h"
#include "sync/QCOutUploadList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <chrono>
#include <random>
#include <thread>

namespace {

constexpr int kRuns = 4;
constexpr int kPointsPerRun = 8;
constexpr int kLongMs = 120000;

// The number of the save whose content `file` holds, or -1 with `why` when it holds no save whole.
using SaveReader = int (*)(const QString& file, const QString& source, std::string* why);

// History save i: entries 0..i in any order, each a whole line.
int ReadHistory(const QString& file, const QString&, std::string* why) {
    const QByteArray text = ReadFileBytes(file);
    if (!text.endsWith('\n')) {
        *why = "no whole last line";
        return -1;
    }
    const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
    static const QRegularExpression whole(QStringLiteral(R"(^/h/(\d+)\\\|x\|\1\\\|x\|\1\|\d+\|\|0$)"));
    std::vector<bool> seen(size_t(lines.size()), false);
    for (const QByteArray& line : lines) {
        const QRegularExpressionMatch match = whole.match(QString::fromUtf8(line));
        const int number = match.hasMatch() ? match.captured(1).toInt() : -1;
        if (number < 0 || number >= lines.size() || seen[size_t(number)]) {
            *why = "line " + line.toStdString();
            return -1;
        }
        seen[size_t(number)] = true;
    }
    return lines.size() - 1;
}

// Copy-source save i: sources of /c/0../c/i, all naming `source`.
int ReadCopySources(const QString& file, const QString& source, std::string* why) {
    QCCopySourceCache sources;
    sources.Load(file);
    const int count = sources.Size();
    const QFileInfo info(source);
    const auto match = [&](int i) {
        return sources.MatchSource(QStringLiteral("/c/%1").arg(i),
                                   unsigned(info.lastModified().toSecsSinceEpoch()), 0, quint64(info.size()));
    };
    if (count == 0 || match(0) != source || match(count - 1) != source || !match(count).isEmpty()) {
        *why = std::to_string(count) + " entries, not a run from /c/0";
        return -1;
    }
    return count - 1;
}

// Out-upload save i: exactly OutListEntries(i) entries OutListEntry(i, j), over all its pages.
int ReadOutList(const QString& file, const QString&, std::string* why) {
    QCOutUploadList list;
    list.Load(file);
    const std::vector<OUT_UPLOAD_FILE> items = list.Pending();
    const int save = items.empty() ? -1 : int(items.front().size);
    if (save < 0 || int(items.size()) != OutListEntries(save)) {
        *why = std::to_string(items.size()) + " entries, the first of save " + std::to_string(save);
        return -1;
    }
    for (int j = 0; j < int(items.size()); ++j) {
        const OUT_UPLOAD_FILE expected = OutListEntry(save, j);
        if (items[size_t(j)].source != expected.source ||
            items[size_t(j)].cloud_path != expected.cloud_path || items[size_t(j)].size != expected.size ||
            items[size_t(j)].mtime != expected.mtime) {
            *why = "entry " + std::to_string(j) + " is not that of save " + std::to_string(save);
            return -1;
        }
    }
    return save;
}

struct SaveKillRow {
    const char* name;
    const char* file;
    const char* command; // %1 the file, %2 the source file
    SaveReader read;
    bool freshFile; // removed before each run: its saves only ever add to what it loaded
};

const SaveKillRow kSaveKillRows[] = {
    {"History", "history.dat", "SaveHistory %1 100000", ReadHistory, true},
    {"CopySources", "cpsrc.dat", "SaveCopySources %1 100000 %2", ReadCopySources, true},
    {"OutUploadPages", "out.dat", "SaveOutList %1 100000", ReadOutList, false},
};

void PrintTo(const SaveKillRow& row, std::ostream* out) {
    *out << row.name;
}

class SaveKillTest : public ::testing::TestWithParam<SaveKillRow> {};

TEST_P(SaveKillTest, AStopOrKillMidSaveLeavesOneWholeSave) {
    const SaveKillRow& row = GetParam();
    QTemporaryDir home;
    QTemporaryDir work;
    ASSERT_TRUE(home.isValid() && work.isValid());
    const QString file = QDir(home.path()).filePath(QLatin1String(row.file));
    const QString source = QDir(home.path()).filePath(QStringLiteral("source.bin"));
    WriteFileBytes(source, "the outside file");
    const unsigned seed = 20261209u + unsigned(qHash(QLatin1String(row.name)) % 1000);
    std::mt19937 random(seed);
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const QString name = QString::fromLatin1(row.command).section(QLatin1Char(' '), 0, 0);
    for (int run = 0; run < kRuns; ++run) {
        if (row.freshFile)
            QFile::remove(file);
        CoreDriverProcess driver;
        ASSERT_TRUE(driver.Start(home.path(), work.path()));
        driver.Send(QStringLiteral("Init"));
        driver.Send(QString::fromLatin1(row.command)
                        .replace(QStringLiteral("%1"), file)
                        .replace(QStringLiteral("%2"), source));
        int reported = -1; // the last save the driver said it finished
        int held = -1;     // the save the files held at the last point
        for (int point = 0; point < kPointsPerRun; ++point) {
            // At least one more save finished, then a seeded moment later, likely within a save.
            ASSERT_TRUE(driver.WaitForLine(
                [&](const QJsonObject& line) {
                    if (line.value(QStringLiteral("cmd")).toString() != name)
                        return false;
                    const int result = line.value(QStringLiteral("result")).toInt(-1);
                    EXPECT_GE(result, 0) << "a save failed";
                    reported = std::max(reported, result);
                    return result > held;
                },
                kLongMs))
                << qPrintable(driver.Output());
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            const bool last = point == kPointsPerRun - 1;
            if (last) {
                driver.Kill();
            } else {
                ASSERT_TRUE(driver.Pause());
            }
            std::string why;
            const int save = row.read(file, source, &why);
            ASSERT_GE(save, reported) << "run " << run << ", point " << point << ": " << why;
            held = save;
            ASSERT_TRUE(last || driver.Resume());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lists, SaveKillTest, ::testing::ValuesIn(kSaveKillRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The engine's copy sources and an out-upload list, written by one driver, read by the next.
using SaveRestartTest = DriverTest;

TEST_F(SaveRestartTest, CopySourcesSurviveARestart) {
    const QString source = QDir(home.path()).filePath(QStringLiteral("far.bin"));
    WriteFileBytes(source, "far away");
    const QFileInfo info(source);
    {
        CoreDriverProcess first;
        ASSERT_NO_FATAL_FAILURE(LogInDriver(first, home.path(), work.path(), mirror, 4));
        first.Send(QStringLiteral("SetCopySource /far.bin ") + source);
        first.Send(QStringLiteral("Uninit 0"));
        ASSERT_TRUE(first.WaitForExit(kLongMs)) << qPrintable(first.Output());
    }
    CoreDriverProcess second;
    ASSERT_NO_FATAL_FAILURE(LogInDriver(second, home.path(), work.path(), mirror, 4));
    second.Send(QStringLiteral("MatchCopySource /FAR.bin %1 %2")
                    .arg(info.lastModified().toSecsSinceEpoch())
                    .arg(info.size()));
    EXPECT_EQ(WaitForResult(second, "MatchCopySource").value(QStringLiteral("result")).toString(), source)
        << qPrintable(second.Output());
}

TEST_F(SaveRestartTest, AnOutUploadListOfSeveralPagesSurvivesARestart) {
    const QString file = QDir(home.path()).filePath(QStringLiteral("out.dat"));
    {
        CoreDriverProcess first;
        ASSERT_TRUE(first.Start(home.path(), work.path()));
        first.Send(QStringLiteral("SaveOutList %1 2").arg(file)); // save 1: 60 entries, 2 pages
        first.Send(QStringLiteral("Uninit 0"));
        ASSERT_TRUE(first.WaitForExit(kLongMs)) << qPrintable(first.Output());
    }
    ASSERT_EQ(QDir(home.path()).entryList({QStringLiteral("out.dat.*")}, QDir::Files).size(), 1);
    CoreDriverProcess second;
    ASSERT_TRUE(second.Start(home.path(), work.path()));
    second.Send(QStringLiteral("LoadOutList ") + file);
    const QJsonArray items = WaitForResult(second, "LoadOutList").value(QStringLiteral("result")).toArray();
    ASSERT_EQ(items.size(), OutListEntries(1));
    for (int j = 0; j < items.size(); ++j) {
        const OUT_UPLOAD_FILE expected = OutListEntry(1, j);
        EXPECT_EQ(items[j].toArray(), QJsonArray({expected.source, expected.cloud_path, 1, j})) << j;
    }
}

} // namespace
