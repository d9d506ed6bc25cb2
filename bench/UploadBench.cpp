// The block upload at scale, against the stand-in of the service in a process of its own
// (cloud_standin_run --bench, connections kept alive): 10,000 files of 4 KiB with at most 100 uploads at
// once, and a file of 1 GiB, compressible and not. Figures: files/s and MiB/s, each beside a baseline of the
// same bytes in the same run: one core's SHA-1 plus zlib (the task's own work per block, without the network)
// and plain libcurl multipart posts to the same stand-in.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   build/bench/bench_upload   (NIMBO_BENCH_UPLOAD_BIG=0: the small files only)
#include "support/EngineTestSupport.h"

#include "Database/ConfigRecords.h"
#include "Database/QCGlobalConfig.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

#include <unistd.h>

namespace {

constexpr int kSmallFiles = 10000;
constexpr int kSmallSize = 4096;
constexpr int kMaxRunning = 100; // the upload budget of 10 over the smallest weight of 0.1
constexpr qint64 kBigSize = 1LL << 30;
constexpr int kBlock = 524288;

// `size` bytes: text that zlib shrinks to about a third, or noise it cannot shrink.
QByteArray Bytes(qint64 size, bool compressible, unsigned seed) {
    QByteArray out(int(size), Qt::Uninitialized);
    std::mt19937 random(seed);
    if (!compressible) {
        for (char& c : out)
            c = char(random());
        return out;
    }
    static const char kWords[][8] = {"block ", "upload ", "hash ", "zlib ",
                                     "file ",  "cloud ",  "sync ", "row\n"};
    for (int i = 0; i < out.size();) {
        const char* word = kWords[random() % 8];
        for (; *word && i < out.size(); ++word)
            out[i++] = *word;
    }
    return out;
}

std::string LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed().toStdString() : std::string("?");
}

bool WriteFile(const QString& path, const QByteArray& bytes, int times = 1) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (int i = 0; i < times; ++i)
        if (file.write(bytes) != bytes.size())
            return false;
    return true;
}

// One core's SHA-1 plus zlib at the configured level over `bytes`, block by block: MiB/s.
double HashZipMiBs(const QByteArray& bytes) {
    QByteArray zipped(int(compressBound(kBlock)), Qt::Uninitialized);
    QElapsedTimer timer;
    timer.start();
    for (int at = 0; at < bytes.size(); at += kBlock) {
        const int len = std::min(kBlock, bytes.size() - at);
        HashBuffer(bytes.constData() + at, len, HASH_SHA1);
        uLongf out = uLongf(zipped.size());
        compress2(reinterpret_cast<Bytef*>(zipped.data()), &out,
                  reinterpret_cast<const Bytef*>(bytes.constData() + at), uLong(len),
                  std::clamp(g_Config.zip_lv, 0, 9));
    }
    return double(bytes.size()) / (1 << 20) / (double(timer.nsecsElapsed()) / 1e9);
}

double CpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// CPU seconds (user and system) of another process so far.
double ProcessCpuSeconds(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = file.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK))
                              : 0;
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// `posts` plain libcurl multipart posts of `part` to `url`, one after another: posts/s.
double CurlPostsPerSecond(const std::string& url, const QByteArray& part, int posts) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    QElapsedTimer timer;
    timer.start();
    int ok = 0;
    for (int i = 0; i < posts; ++i) {
        curl_mime* mime = curl_mime_init(curl);
        curl_mimepart* field = curl_mime_addpart(mime);
        curl_mime_name(field, "file");
        curl_mime_filename(field, "file.dat");
        curl_mime_data(field, part.constData(), size_t(part.size()));
        curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
        if (curl_easy_perform(curl) == CURLE_OK)
            ++ok;
        curl_mime_free(mime);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    curl_easy_cleanup(curl);
    return ok == posts ? posts / seconds : 0;
}

class UploadBench : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        // The stand-in in a process of its own, so that its work is not the engine's.
        server.setProgram(QStringLiteral(NIMBO_STANDIN_RUN));
        // Connections kept for many requests, as a service keeps them: the client's pool and the
        // plain posts may both reuse theirs.
        server.setArguments(
            {QStringLiteral("--bench"), QStringLiteral("--keep-alive"), QStringLiteral("1000")});
        server.start();
        ASSERT_TRUE(server.waitForStarted(10000));
        QString banner;
        QRegularExpressionMatch primary;
        while (!(primary = QRegularExpression(QStringLiteral("primary +http://([0-9.:]+)/")).match(banner))
                    .hasMatch()) {
            ASSERT_TRUE(server.waitForReadyRead(10000)) << qPrintable(banner);
            banner += QString::fromUtf8(server.readAll());
        }
        host = primary.captured(1);
        {
            std::unique_lock<std::shared_mutex> lock(g_Config.hostLock);
            g_Config.api_host.host = host;
        }
        GET_CONFIG_ACK ack;
        ack.api.http = host;
        g_Config.SetConfigAck(ack);
        VUZeroz& core = *VUZeroz::GetInstance();
        core.SetUser(QStringLiteral("1001"), QStringLiteral("Q=demo; T=demo;"), false, QString());
        core.MapSyncPath(root, QStringLiteral("/")); // the folder is the user's setting
        LogIn();
        ASSERT_TRUE(WaitStatus(4, 60000));
        folder = g_LocalStoreMgr.GetRootPath();
        ASSERT_FALSE(folder.isEmpty());
    }
    void TearDown() override {
        EngineTest::TearDown();
        server.terminate();
        server.waitForFinished(10000);
    }

    // Uploads `names` of the mirror folder with at most `running` at once: the seconds it took.
    double Upload(const QStringList& names, int running) {
        QElapsedTimer timer;
        timer.start();
        int next = 0;
        while (next < names.size() || g_LocalStoreMgr.UploadCount() != 0) {
            if (timer.elapsed() > 30 * 60 * 1000)
                return -1;
            int started = 0;
            OnEngine([&] {
                while (next < names.size() && g_LocalStoreMgr.UploadCount() < size_t(running)) {
                    if (!g_LocalStoreMgr.UploadMirrorFile(folder + QLatin1Char('/') + names[next++]))
                        return;
                    ++started;
                }
            });
            if (started == 0) {
                QThread::msleep(2);          // a bench, not a test: polling costs nothing measured here
                QCClock::AdvanceForTests(2); // the core's clock, for retry pauses
            }
        }
        return double(timer.nsecsElapsed()) / 1e9;
    }

    QProcess server;
    QString host;
    QString folder;
};

TEST_F(UploadBench, SmallFilesAndOneGiB) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure shows as soon as it is measured
    std::printf("stand-in %s in its own process; zip_lv %d, min_upload_block_queue %d; load average %s (%d "
                "cores)\n",
                qPrintable(host), g_Config.zip_lv, g_Config.min_upload_block_queue, LoadAverage().c_str(),
                QThread::idealThreadCount());
    const std::string echo = "http://" + host.toStdString() + "/echo";

    // The files are written with the watcher stopped: the direct upload is measured, not the
    // change pipeline taking the same files in.
    g_LocalStoreMgr.Watcher().clearAll();
    QStringList small;
    QByteArray smallBytes;
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/small")));
    for (int i = 0; i < kSmallFiles; ++i) {
        const QByteArray bytes = Bytes(kSmallSize, true, unsigned(i + 1));
        small << QStringLiteral("small/f%1.txt").arg(i);
        ASSERT_TRUE(WriteFile(folder + QLatin1Char('/') + small.back(), bytes));
        smallBytes += bytes;
    }
    // Where the time goes: the engine thread's CPU, the whole process's and the stand-in's.
    double engineCpu = 0;
    OnEngine([&] { engineCpu = -CpuSeconds(CLOCK_THREAD_CPUTIME_ID); });
    const double processCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double serverCpu = ProcessCpuSeconds(server.processId());
    std::printf("uploading the small files\n"); // (a profiler started now sees only the uploads)
    const double smallSeconds = Upload(small, kMaxRunning);
    ASSERT_GT(smallSeconds, 0);
    OnEngine([&] { engineCpu += CpuSeconds(CLOCK_THREAD_CPUTIME_ID); });
    std::printf("  CPU per file: engine thread %.0f us, whole client %.0f us, stand-in %.0f us\n",
                engineCpu * 1e6 / kSmallFiles,
                (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpu) * 1e6 / kSmallFiles,
                (ProcessCpuSeconds(server.processId()) - serverCpu) * 1e6 / kSmallFiles);
    const double smallRate = kSmallFiles / smallSeconds;
    const double smallHash = HashZipMiBs(smallBytes) * (1 << 20) / kSmallSize;
    const double smallCurl = CurlPostsPerSecond(echo, smallBytes.left(kSmallSize), 2000);
    std::printf(
        "%d files of 4 KiB: %.0f files/s (%.2f s); one core's SHA-1 + zlib %.0f files/s; plain libcurl "
        "posts, one at a time %.0f/s (ratio %.2f, goal at least 1.0)\n",
        kSmallFiles, smallRate, smallSeconds, smallHash, smallCurl,
        smallCurl > 0 ? smallRate / smallCurl : 0);
    std::printf("load average: %s\n", LoadAverage().c_str());

    if (qEnvironmentVariable("NIMBO_BENCH_UPLOAD_BIG") == QLatin1String("0"))
        return; // the small files only, for a quicker look
    for (const bool compressible : {true, false}) {
        const QByteArray chunk = Bytes(64 << 20, compressible, 7); // the file repeats it
        const QString name = compressible ? QStringLiteral("big.txt") : QStringLiteral("big.bin");
        ASSERT_TRUE(WriteFile(folder + QLatin1Char('/') + name, chunk, int(kBigSize / chunk.size())));
        const double seconds = Upload({name}, 1);
        ASSERT_GT(seconds, 0);
        const double rate = double(kBigSize) / (1 << 20) / seconds;
        const double hashZip = HashZipMiBs(chunk);
        const double curl = CurlPostsPerSecond(echo, chunk.left(kBlock), 256) * kBlock / (1 << 20);
        std::printf("1 GiB %s: %.0f MiB/s (%.2f s); one core's SHA-1 + zlib %.0f MiB/s (ratio %.2f); plain "
                    "libcurl posts of 512 KiB, one at a time %.0f MiB/s (ratio %.2f)\n",
                    compressible ? "compressible" : "noise", rate, seconds, hashZip, rate / hashZip, curl,
                    curl > 0 ? rate / curl : 0);
        std::printf("load average: %s\n", LoadAverage().c_str());
        QFile::remove(folder + QLatin1Char('/') + name);
    }
}

} // namespace
