// The block upload at scale, against the stand-in of the service in a process of its own
// (cloud_standin_run --bench, connections kept alive): 10,000 files of 4 KiB with at most 100 uploads at
// once, and a file of 1 GiB, compressible and not. Figures: files/s and MiB/s, each beside a baseline of the
// same bytes in the same run: one core's SHA-1 plus zlib (the task's own work per block, without the network)
// and plain libcurl multipart posts to the same stand-in: for the small files both posts to its "/echo",
// which does nothing with them, and the uploads themselves, the same two requests per file that the client
// sends, one file after another.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   build/bench/bench_upload   (NIMBO_BENCH_UPLOAD_BIG=0: the small files only)
#include "StandInProcessBench.h"

#include "Database/QCGlobalConfig.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "network/NetworkClient.h"
#include "network/RequestRecords.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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

class UploadBench : public StandInProcessBench {
protected:
    void SetUp() override {
        // Connections kept for many requests, as a service keeps them: the client's pool and the
        // plain posts may both reuse theirs.
        StartStandIn({QStringLiteral("--bench"), QStringLiteral("--keep-alive"), QStringLiteral("1000")});
        folder = g_LocalStoreMgr.GetRootPath();
        ASSERT_FALSE(folder.isEmpty());
    }

    // The uploads of small files as a plain client makes them, one file after another over one
    // connection: the two requests the client sends for such a file (the upload address, then the
    // one-request upload of its compressed bytes), signed as the client signs them, to the same
    // stand-in. The files are new to the service; compression is done before the clock starts.
    // Files per second, 0 when an upload failed.
    double ReplayPerSecond(const QString& dir, int files) {
        struct File {
            std::string path;
            std::string hash;
            QByteArray zipped;
        };
        std::vector<File> prepared;
        for (int i = 0; i < files; ++i) {
            const QByteArray bytes = Bytes(kSmallSize, true, unsigned(1000000 + i));
            File file;
            file.path = (dir + QStringLiteral("/r%1.txt").arg(i)).toStdString();
            const QByteArray block = HashBuffer(bytes.constData(), bytes.size(), HASH_SHA1);
            file.hash = HashBuffer(block.constData(), block.size(), HASH_SHA1).toStdString();
            uLongf length = compressBound(uLong(bytes.size()));
            file.zipped.resize(int(length));
            compress2(reinterpret_cast<Bytef*>(file.zipped.data()), &length,
                      reinterpret_cast<const Bytef*>(bytes.constData()), uLong(bytes.size()),
                      std::clamp(g_Config.zip_lv, 0, 9));
            file.zipped.resize(int(length));
            prepared.push_back(std::move(file));
        }
        QCRequestCommon& requests = *QCRequestCommon::GetInstance();
        CURL* curl = curl_easy_init();
        std::string answer;
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Keep);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        // The reply's "data" object, when the exchange and the service succeeded.
        const auto exchange = [&](const std::string& url, const std::string& cookie) {
            answer.clear();
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_COOKIE, cookie.c_str());
            long status = 0;
            if (curl_easy_perform(curl) != CURLE_OK ||
                curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
                return QJsonObject();
            const QJsonObject reply = QJsonDocument::fromJson(QByteArray::fromStdString(answer)).object();
            return reply.value(QLatin1String("errno")).toInt(-1) == 0
                       ? reply.value(QLatin1String("data")).toObject()
                       : QJsonObject();
        };
        const std::string size = std::to_string(kSmallSize);
        const std::string stamp = std::to_string(std::time(nullptr));
        QElapsedTimer timer;
        timer.start();
        int done = 0;
        for (const File& file : prepared) {
            const QString path = QString::fromStdString(file.path);
            const QString hash = QString::fromStdString(file.hash);
            QCSignRequest info;
            info.Add(QStringLiteral("fname"), path);
            info.Add(QStringLiteral("fhash"), hash);
            info.Add(QStringLiteral("fsize"), QString::fromStdString(size));
            info.Add(QStringLiteral("fctime"), QString::fromStdString(stamp));
            info.Add(QStringLiteral("fmtime"), QString::fromStdString(stamp));
            info.Add(QStringLiteral("fattr"), QStringLiteral("128"));
            QCSignRequest check;
            check.Add(QStringLiteral("qid"), requests.ParamQid());
            check.Add(QStringLiteral("eid"), requests.ParamEid());
            check.Add(QStringLiteral("fhash"), hash);
            check.Add(QStringLiteral("fname"), path);
            check.Add(QStringLiteral("fsize"), QString::fromStdString(size));
            info.Add(QStringLiteral("fsum"), check.GetSign(QString()));
            std::string url;
            std::string cookie;
            Sign(QStringLiteral("Sync.getAddr"), info, url, cookie);
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
            const QJsonObject address = exchange(url, cookie);
            const std::string tk = address.value(QLatin1String("tk")).toString().toStdString();
            if (tk.empty()) {
                std::printf("  the plain upload's address request failed: %s\n", answer.c_str());
                break;
            }
            Sign(QStringLiteral("Upload.uploadFile"), QCSignRequest(), url, cookie,
                 address.value(QLatin1String("http")).toString().toStdString());
            curl_mime* mime = curl_mime_init(curl);
            const auto field = [mime](const char* name, const std::string& value) {
                curl_mimepart* part = curl_mime_addpart(mime);
                curl_mime_name(part, name);
                curl_mime_data(part, value.c_str(), value.size());
            };
            field("fname", file.path);
            field("fsize", size);
            field("fhash", file.hash);
            field("fctime", stamp);
            field("fmtime", stamp);
            field("fattr", "128");
            field("tk", tk);
            field("compress", "1");
            field("compress_size", std::to_string(file.zipped.size()));
            curl_mimepart* part = curl_mime_addpart(mime);
            curl_mime_name(part, "file");
            curl_mime_filename(part, "file.dat");
            curl_mime_data(part, file.zipped.constData(), size_t(file.zipped.size()));
            curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
            const bool placed = !exchange(url, cookie).isEmpty();
            curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
            curl_mime_free(mime);
            if (!placed) {
                std::printf("  the plain upload failed: %s\n", answer.c_str());
                break;
            }
            ++done;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        curl_easy_cleanup(curl);
        return done == files ? files / seconds : 0;
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

    QString folder;
};

TEST_F(UploadBench, SmallFilesAndOneGiB) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure shows as soon as it is measured
    std::printf("stand-in %s in its own process; zip_lv %d, min_upload_block_queue %d; load average %s (%d "
                "cores)\n",
                host.c_str(), g_Config.zip_lv, g_Config.min_upload_block_queue, LoadAverage().c_str(),
                QThread::idealThreadCount());
    const std::string echo = "http://" + host + "/echo";

    // The files are written with the watcher stopped: the direct upload is measured, not the
    // change pipeline taking the same files in.
    g_LocalStoreMgr.Watcher().clearAll();
    QStringList small;
    QByteArray smallBytes;
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/small")));
    {
        // The service holds the folder first: the direct upload sends the files alone.
        CREATEDIR_REQ request;
        request.path = QStringLiteral("/small");
        request.attrs = 16;
        QCRequestCommon& requests = *QCRequestCommon::GetInstance();
        const unsigned id = requests.DoCreateDir(request);
        const QSharedPointer<NetworkClient> client = id ? requests.GetRequestByID(id) : nullptr;
        ASSERT_TRUE(client && client->responseCode() == 200);
        requests.CancelTask(id);
    }
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
    int synced = 0;
    for (const QString& name : small) {
        FileInfo entry;
        synced += g_LocalStoreMgr.Cache().GetBaseInfo(folder + QLatin1Char('/') + name, entry) &&
                  entry.status == quint32(FILE_STATUS_SYNCED);
    }
    ASSERT_EQ(synced, kSmallFiles) << "uploads that did not reach the service";
    std::printf("  CPU per file: engine thread %.0f us, whole client %.0f us, stand-in %.0f us\n",
                engineCpu * 1e6 / kSmallFiles,
                (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpu) * 1e6 / kSmallFiles,
                (ProcessCpuSeconds(server.processId()) - serverCpu) * 1e6 / kSmallFiles);
    const double smallRate = kSmallFiles / smallSeconds;
    const double smallHash = HashZipMiBs(smallBytes) * (1 << 20) / kSmallSize;
    const double smallCurl = CurlPostsPerSecond(echo, smallBytes.left(kSmallSize), 2000);
    const double replay = ReplayPerSecond(QStringLiteral("/small"), 2000);
    std::printf("%d files of 4 KiB: %.0f files/s (%.2f s); one core's SHA-1 + zlib %.0f files/s; "
                "plain libcurl, one at a time: posts to /echo %.0f/s (ratio %.2f), "
                "the same uploads %.0f files/s (ratio %.2f, goal at least 1.0)\n",
                kSmallFiles, smallRate, smallSeconds, smallHash, smallCurl,
                smallCurl > 0 ? smallRate / smallCurl : 0, replay, replay > 0 ? smallRate / replay : 0);
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
