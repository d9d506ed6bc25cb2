// The block download of one large file against the stand-in of the service in a process of its
// own (cloud_standin_run --bench --pre-encode): plain, and encrypted (AES-256-CBC) and compressed
// (zlib) with blocks the stand-in encoded ahead, so that its own zlib and AES stay out of the
// figure. Beside them, in the same run, one plain libcurl GET of the same bytes from the same
// server. Figures: MiB/s (the whole-file check and the move into place included), the ratio to
// libcurl, and CPU seconds per MiB of this process (the stand-in's CPU time is not in it).
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   NIMBO_BENCH_DOWNLOAD_MIB=1024 build/bench/bench_download   (default 1024)
#include "support/EngineTestSupport.h"

#include "Database/ConfigRecords.h"
#include "Database/QCGlobalConfig.h"
#include "common/Hash.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <curl/curl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

size_t Discard(char*, size_t size, size_t count, void* total) {
    *static_cast<size_t*>(total) += size * count;
    return size * count;
}

size_t Keep(char* data, size_t size, size_t count, void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
}

struct Figure {
    double seconds = 0;
    double cpu = 0;
};

class DownloadBench : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        server.setProgram(QStringLiteral(NIMBO_STANDIN_RUN));
        server.setArguments({QStringLiteral("--bench"), QStringLiteral("--pre-encode")});
        server.start();
        ASSERT_TRUE(server.waitForStarted(10000));
        QString banner;
        QRegularExpressionMatch primary;
        while (!(primary = QRegularExpression(QStringLiteral("primary +http://([0-9.:]+)/")).match(banner))
                    .hasMatch()) {
            ASSERT_TRUE(server.waitForReadyRead(10000)) << qPrintable(banner);
            banner += QString::fromUtf8(server.readAll());
        }
        host = primary.captured(1).toStdString();
        {
            std::unique_lock<std::shared_mutex> lock(g_Config.hostLock);
            g_Config.api_host.host = QString::fromStdString(host);
        }
        GET_CONFIG_ACK ack;
        ack.api.http = QString::fromStdString(host);
        g_Config.SetConfigAck(ack);
        VUZeroz& core = *VUZeroz::GetInstance();
        core.SetUser(QStringLiteral("1001"), QStringLiteral("Q=demo; T=demo;"), false, QString());
        core.MapSyncPath(root, QStringLiteral("/"));
        LogIn();
        ASSERT_TRUE(WaitStatus(4, 60000));
    }
    void TearDown() override {
        EngineTest::TearDown();
        server.terminate();
        server.waitForFinished(10000);
    }
    void Encrypt(bool on) {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.trans_encrypt = on ? 1 : 0;
    }
    // A request to the stand-in's own bench routes; true when it answered 200.
    bool Post(const std::string& pathAndQuery, std::string* answer = nullptr) {
        std::string body;
        CURL* handle = curl_easy_init();
        const std::string url = "http://" + host + pathAndQuery;
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Keep);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
        long status = 0;
        if (curl_easy_perform(handle) == CURLE_OK)
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(handle);
        if (answer)
            *answer = body;
        return status == 200;
    }
    // Downloads /big.bin into `localPath` through the engine's queue and times it.
    Figure Fetch(const FILE_INFO& cloud, const QString& localPath) {
        FILE_INFO record = cloud;
        record.local_path = localPath;
        const double cpu = CpuSeconds();
        QElapsedTimer timer;
        timer.start();
        OnEngine([&] {
            g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, false);
            g_LocalStoreMgr.AddDownloadTask(record);
        });
        const QDeadlineTimer deadline(600000);
        while (g_LocalStoreMgr.DownloadCount() != 0 && !deadline.hasExpired())
            Pass();
        return Figure{timer.elapsed() / 1000.0, CpuSeconds() - cpu};
    }

    QProcess server;
    std::string host;
};

TEST_F(DownloadBench, BlocksBesideLibcurl) {
    const char* sizeText = std::getenv("NIMBO_BENCH_DOWNLOAD_MIB");
    const size_t mib = sizeText ? std::strtoul(sizeText, nullptr, 10) : 1024;
    ASSERT_GT(mib, 0u);
    FILE_INFO cloud;
    cloud.path = QStringLiteral("/big.bin");
    cloud.size = quint64(mib) << 20;
    std::string hash;
    ASSERT_TRUE(Post("/bench/file?path=/big.bin&size=" + std::to_string(cloud.size), &hash));
    cloud.file_hash = QString::fromStdString(hash);
    cloud.mtime = kStandInTime;
    ASSERT_FALSE(hash.empty());
    const QString target = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/big.bin");

    // The baseline: the whole file in one plain GET.
    Figure curl;
    {
        CURL* handle = curl_easy_init();
        ASSERT_NE(handle, nullptr);
        size_t total = 0;
        const std::string url = "http://" + host + "/bench/raw?path=/big.bin";
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &total);
        const double cpu = CpuSeconds();
        QElapsedTimer timer;
        timer.start();
        ASSERT_EQ(curl_easy_perform(handle), CURLE_OK);
        curl = Figure{timer.elapsed() / 1000.0, CpuSeconds() - cpu};
        curl_easy_cleanup(handle);
        ASSERT_EQ(total, size_t(cloud.size));
    }

    Encrypt(false);
    ASSERT_TRUE(Post("/bench/encode?compress=0&encrypt=0"));
    const Figure plain = Fetch(cloud, target);
    ASSERT_EQ(quint64(QFileInfo(target).size()), cloud.size);
    ASSERT_EQ(QString::fromLatin1(CloudHashFile(target)), cloud.file_hash);
    ASSERT_TRUE(QFile::remove(target)); // else the next download copies it locally

    Encrypt(true);
    ASSERT_TRUE(Post("/bench/encode?compress=1&encrypt=1"));
    const Figure encoded = Fetch(cloud, target);
    ASSERT_EQ(QString::fromLatin1(CloudHashFile(target)), cloud.file_hash);
    Encrypt(false);

    const double size = double(mib);
    const auto print = [&](const char* name, const Figure& figure) {
        std::printf("%-22s %8.1f MiB/s  ratio %5.2f  CPU %.4f s/MiB\n", name, size / figure.seconds,
                    curl.seconds / figure.seconds, figure.cpu / size);
    };
    std::printf("bench_download: %zu MiB over loopback, the stand-in in its own process\n", mib);
    print("libcurl GET (baseline)", curl);
    print("download plain", plain);
    print("download AES+zlib", encoded);
}

} // namespace
