// The memory of the demo service (cloud_standin_run --demo --block-dir, as scripts/run.sh starts
// it) while files go up and down through the real core: one file of 1 GiB at a time is written
// into the mirror, uploaded, removed, downloaded again and checked, until NIMBO_BENCH_STANDIN_GIB
// GiB (default 5) went each way. After every file it prints the stand-in's resident memory beside
// its resident memory right after its start (the baseline) and the bytes its block folder holds.
// Goal: under 300 MB resident after 5 GiB up and down.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   NIMBO_BENCH_STANDIN_GIB=5 build/bench/bench_standin_memory
#include "StandInProcessBench.h"

#include "common/Hash.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 kFileBytes = qint64(1) << 30;

// Resident memory of process `pid` in MB, from /proc.
double ResidentMb(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
    }
    return -1;
}

double FolderMb(const QString& folder) {
    qint64 bytes = 0;
    QDirIterator it(folder, QDir::Files);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
    }
    return double(bytes) / 1048576.0;
}

// 1 GiB that no compression shrinks, different for every seed.
bool WriteNoise(const QString& path, unsigned seed) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, '\0');
    quint64 state = 0x9E3779B97F4A7C15ULL * (seed + 1);
    for (qint64 written = 0; written < kFileBytes; written += chunk.size()) {
        auto* words = reinterpret_cast<quint64*>(chunk.data());
        for (int i = 0; i < chunk.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return file.flush();
}

class StandInMemoryBench : public StandInProcessBench {
protected:
    void SetUp() override {
        ASSERT_TRUE(blocks.isValid());
        StartStandIn({QStringLiteral("--demo"), QStringLiteral("--block-dir"), blocks.path(),
                      QStringLiteral("--keep-alive"), QStringLiteral("1000")});
        folder = g_LocalStoreMgr.GetRootPath();
        ASSERT_FALSE(folder.isEmpty());
    }
    // Waits until `count()` is 0; false after ten minutes.
    template <typename Count>
    bool WaitIdle(Count count) {
        Pass();
        const QDeadlineTimer deadline(600000);
        while (count() != 0 && !deadline.hasExpired()) {
            QThread::msleep(2);          // a bench, not a test: polling costs nothing measured here
            QCClock::AdvanceForTests(2); // the core's clock, for retry pauses
            // The demo stand-in prints every request: a full pipe would stop it.
            server.waitForReadyRead(0);
            server.readAll();
        }
        return count() == 0;
    }

    QTemporaryDir blocks;
    QString folder;
};

TEST_F(StandInMemoryBench, GigabytesUpAndDown) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* text = std::getenv("NIMBO_BENCH_STANDIN_GIB");
    const int files = text ? std::atoi(text) : 5;
    ASSERT_GT(files, 0);
    // The files are written with the watcher stopped: each goes up once, by the direct upload.
    g_LocalStoreMgr.Watcher().clearAll();
    const double start = ResidentMb(server.processId());
    std::printf("bench_standin_memory: the demo stand-in's resident memory, %.1f MB after its start\n", start);
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("big%1.bin").arg(i);
        const QString path = folder + QLatin1Char('/') + name;
        ASSERT_TRUE(WriteNoise(path, unsigned(i)));
        FILE_INFO cloud;
        cloud.path = QLatin1Char('/') + name;
        cloud.size = quint64(kFileBytes);
        cloud.file_hash = QString::fromLatin1(CloudHashFile(path));
        cloud.mtime = QFileInfo(path).lastModified().toSecsSinceEpoch();
        OnEngine([&] { ASSERT_TRUE(g_LocalStoreMgr.UploadMirrorFile(path)); });
        ASSERT_TRUE(WaitIdle([] { return g_LocalStoreMgr.UploadCount(); })) << "upload " << i;
        // Gone before the download, or the download would copy it instead of fetching it.
        ASSERT_TRUE(QFile::remove(path));
        cloud.local_path = path;
        OnEngine([&] {
            g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, false);
            g_LocalStoreMgr.AddDownloadTask(cloud);
        });
        ASSERT_TRUE(WaitIdle([] { return g_LocalStoreMgr.DownloadCount(); })) << "download " << i;
        ASSERT_EQ(QString::fromLatin1(CloudHashFile(path)), cloud.file_hash) << "download " << i;
        ASSERT_TRUE(QFile::remove(path));
        std::printf("%d GiB up and down: resident %.1f MB (%.1f MB at start, goal < 300 MB); blocks on "
                    "disk %.0f MB\n",
                    i + 1, ResidentMb(server.processId()), start, FolderMb(blocks.path()));
    }
}

} // namespace
