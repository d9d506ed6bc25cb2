// The local change pipeline at scale, against the stand-in of the service: 10,000 files of 1 KiB in
// 1,000 folders dropped into the mirror at once (each folder moved in from outside). Figures: the
// seconds until the stand-in holds every folder and file and the engine is in status 7, beside the
// same number of files sent through the engine's direct upload of a mirror file (UploadMirrorFile,
// at most 100 at once as the budget allows small files) in the same run; the watches used; the
// thread CPU time of the scheduler's choices (RefreshTodo); the machine's load.
//
// The core's clock is manual in the engine tests' fixture: the bench moves it on with real time.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   build/bench/bench_pipeline
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CoreLog.h"
#include "common/QCClock.h"
#include "common/QCEventBase.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <ctime>

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 10;
constexpr int kFileSize = 1024;
constexpr int kMaxRunning = 100; // the upload budget of 10 over the smallest weight of 0.1
constexpr qint64 kGiveUpMs = 30 * 60 * 1000;

std::string LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed().toStdString() : std::string("?");
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Writes kFolders folders of kFilesPerFolder files named `prefix`N.txt below `dir`; the file names,
// relative to `dir`.
QStringList MakeTree(const QString& dir, unsigned seed, const QString& prefix) {
    QStringList names;
    for (int folder = 0; folder < kFolders; ++folder) {
        const QString sub = QStringLiteral("d%1").arg(folder, 4, 10, QLatin1Char('0'));
        QDir().mkpath(dir + QLatin1Char('/') + sub);
        for (int i = 0; i < kFilesPerFolder; ++i) {
            names << sub + QLatin1Char('/') + prefix + QStringLiteral("%1.txt").arg(i);
            QByteArray bytes(kFileSize, char('a' + i));
            bytes.replace(0, 16,
                          QByteArray::number(seed * 100000u + unsigned(folder * kFilesPerFolder + i))
                              .leftJustified(16, ' '));
            QFile file(dir + QLatin1Char('/') + names.back());
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return {};
        }
    }
    return names;
}

class PipelineBench : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        LogInAndSettle();
        // The login's capture turned the debug lines off again: NIMBO_DEBUG=1 shows the run's.
        CoreLog::SetEnabled(qEnvironmentVariableIntValue("NIMBO_DEBUG") != 0);
        folder = g_LocalStoreMgr.GetRootPath();
        ASSERT_FALSE(folder.isEmpty());
    }

    // Moves the core's clock on with real time and lets the engine work until the stand-in holds
    // `nodes` and nothing waits or runs in status 7, `each` run before every look: the seconds it
    // took, -1 when it did not end.
    double RunUntilHeld(size_t nodes, const std::function<void()>& each = {}) {
        QElapsedTimer timer;
        timer.start();
        qint64 clocked = 0;
        for (;;) {
            const qint64 now = timer.elapsed();
            if (now > kGiveUpMs)
                return -1;
            QCClock::AdvanceForTests(now - clocked);
            clocked = now;
            if (each)
                each();
            Pass();
            if (api->tree().nodeCount() >= nodes && g_LocalStoreMgr.UploadCount() == 0 &&
                g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK) {
                size_t pending = 1;
                g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
                if (pending == 0)
                    return double(timer.nsecsElapsed()) / 1e9;
            }
            QThread::msleep(20); // a bench, not a test: the looks cost little beside the work
        }
    }

    QString folder;
};

TEST_F(PipelineBench, TenThousandFilesInAThousandFolders) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure shows as soon as it is measured
    const int files = kFolders * kFilesPerFolder;
    std::printf("load average before: %s (%d cores)\n", LoadAverage().c_str(), QThread::idealThreadCount());

    // Through the watcher and the change pipeline: the folders are moved in at once.
    const QString outside = QDir(sandbox.home.path()).filePath(QStringLiteral("outside"));
    ASSERT_EQ(MakeTree(outside, 1, QStringLiteral("f")).size(), files);
    g_LocalStoreMgr.ClockTodoForTests();
    const size_t before = api->tree().nodeCount();
    const double cpuBefore = ProcessCpuSeconds();
    QElapsedTimer moving;
    moving.start();
    for (int i = 0; i < kFolders; ++i) {
        const QString sub = QStringLiteral("/d%1").arg(i, 4, 10, QLatin1Char('0'));
        ASSERT_TRUE(QDir().rename(outside + sub, folder + sub));
    }
    const qint64 movingMs = moving.elapsed();
    const double pipelineSeconds = RunUntilHeld(before + size_t(kFolders + files));
    ASSERT_GT(pipelineSeconds, 0);
    const double pipelineCpu = ProcessCpuSeconds() - cpuBefore;
    const double todoMs = double(g_LocalStoreMgr.TodoCpuNsForTests()) / 1e6;
    std::printf("%d files of %d B in %d folders, moved in within %lld ms:\n", files, kFileSize, kFolders,
                static_cast<long long>(movingMs));
    std::printf(
        "  change pipeline: %.2f s until the stand-in holds all and the engine is in 7 (%.0f files/s),"
        " process CPU %.2f s; the settling delay of a burst (%d ms) included\n",
        pipelineSeconds, files / pipelineSeconds, pipelineCpu, g_Config.change_execute_delay);
    std::printf("  watches used: %d (%d folders and the mirror's own)\n",
                g_LocalStoreMgr.Watcher().WatchCount(), kFolders);
    std::printf("  RefreshTodo thread CPU: %.1f ms in all, %.1f us per file\n", todoMs,
                todoMs * 1000 / files);
    std::printf("load average after the pipeline: %s\n", LoadAverage().c_str());

    // As many new files through the direct upload, into the same folders (which the service holds
    // now), the watcher stopped so that it reports none of them.
    g_LocalStoreMgr.Watcher().clearAll();
    const QStringList names = MakeTree(folder, 2, QStringLiteral("g"));
    ASSERT_EQ(names.size(), files);
    const double directCpuBefore = ProcessCpuSeconds();
    int next = 0;
    // Refilled before each look, the uploads end together only once every file has been sent.
    const size_t held = api->tree().nodeCount();
    const double directSeconds = RunUntilHeld(held + size_t(files), [&] {
        OnEngine([&] {
            while (next < names.size() && g_LocalStoreMgr.UploadCount() < size_t(kMaxRunning)) {
                if (!g_LocalStoreMgr.UploadMirrorFile(folder + QLatin1Char('/') + names[next++]))
                    return;
            }
        });
    });
    ASSERT_GT(directSeconds, 0);
    ASSERT_EQ(next, files);
    const double directCpu = ProcessCpuSeconds() - directCpuBefore;
    std::printf("  direct upload (UploadMirrorFile, %d at once): %.2f s (%.0f files/s), process CPU %.2f s\n",
                kMaxRunning, directSeconds, files / directSeconds, directCpu);
    std::printf("  ratio pipeline / direct (files/s): %.2f (goal at least 0.8)\n",
                directSeconds / pipelineSeconds);
    std::printf("load average after the direct uploads: %s\n", LoadAverage().c_str());
}

} // namespace
