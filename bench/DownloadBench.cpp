// The block download of one large file against the stand-in of the service: plain, and encrypted
// (AES-256-CBC) and compressed (zlib) with blocks the stand-in encoded ahead, so that its own
// zlib and AES stay out of the figure. Beside them, in the same run, plain libcurl GETs of the
// same blocks from the same server on one connection. Figures: MiB/s (the whole-file check and
// the move into place included), the ratio to libcurl, and CPU seconds per MiB of this process.
// The stand-in runs in this process, so its CPU time is in the figure too.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   NIMBO_BENCH_DOWNLOAD_MIB=1024 build/bench/bench_download   (default 1024)
#include "sync/EngineTestSupport.h"

#include "support/StandInDownloads.h"

#include "Database/QCGlobalConfig.h"
#include "common/Hash.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <curl/curl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Letters in short runs: compressible, but not to nothing, and different in every block.
std::string Pattern(size_t size) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string bytes(size, '\0');
    unsigned state = 12345;
    for (size_t i = 0; i < size;) {
        state = state * 1103515245u + 12345u;
        const size_t run = std::min<size_t>(1 + ((state >> 8) & 3), size - i);
        bytes.replace(i, run, run, kAlphabet[(state >> 16) % (sizeof kAlphabet - 1)]);
        i += run;
    }
    return bytes;
}

size_t Discard(char*, size_t size, size_t count, void* total) {
    *static_cast<size_t*>(total) += size * count;
    return size * count;
}

struct Figure {
    double seconds = 0;
    double cpu = 0;
};

class DownloadBench : public EngineTest {
protected:
    void Encrypt(bool on) {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.trans_encrypt = on ? 1 : 0;
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
};

TEST_F(DownloadBench, BlocksBesideLibcurl) {
    const char* sizeText = std::getenv("NIMBO_BENCH_DOWNLOAD_MIB");
    const size_t mib = sizeText ? std::strtoul(sizeText, nullptr, 10) : 1024;
    ASSERT_GT(mib, 0u);
    AddAccount();
    ServeTree();
    std::vector<std::shared_ptr<const std::string>> blocks;
    FILE_INFO cloud;
    {
        const std::string bytes = Pattern(mib << 20);
        api->tree().addFileBytes("/big.bin", bytes);
        for (size_t at = 0; at < bytes.size(); at += CLOUD_BLOCK_SIZE)
            blocks.push_back(std::make_shared<const std::string>(bytes.substr(at, CLOUD_BLOCK_SIZE)));
        cloud.path = QStringLiteral("/big.bin");
        cloud.size = bytes.size();
        cloud.file_hash = QString::fromStdString(StandInTree::ContentHash(bytes));
        cloud.mtime = kStandInTime;
    }
    standIn.route("GET", "/raw", [&blocks](const RecordedRequest& request) {
        StandInReply reply;
        reply.contentType = "application/octet-stream";
        reply.sharedBody = blocks.at(std::stoul(request.queryArg("n")));
        return reply;
    });
    api->downloads().setPreEncoded(true);
    LogIn();
    ASSERT_TRUE(WaitStatus(4, 600000));
    ASSERT_TRUE(api->downloads().preEncode("u1", true, true));
    const QString target = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/big.bin");

    // The baseline: every block once, in order, on one connection.
    Figure curl;
    {
        CURL* handle = curl_easy_init();
        ASSERT_NE(handle, nullptr);
        size_t total = 0;
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &total);
        const double cpu = CpuSeconds();
        QElapsedTimer timer;
        timer.start();
        for (size_t n = 0; n < blocks.size(); ++n) {
            const std::string url = standIn.url(Listener::Primary, "/raw?n=" + std::to_string(n));
            curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
            ASSERT_EQ(curl_easy_perform(handle), CURLE_OK);
        }
        curl = Figure{timer.elapsed() / 1000.0, CpuSeconds() - cpu};
        curl_easy_cleanup(handle);
        ASSERT_EQ(total, size_t(cloud.size));
    }

    Encrypt(false);
    api->downloads().setCompress(false);
    const Figure plain = Fetch(cloud, target);
    ASSERT_EQ(quint64(QFileInfo(target).size()), cloud.size);
    ASSERT_EQ(QString::fromLatin1(CloudHashFile(target)), cloud.file_hash);
    ASSERT_TRUE(QFile::remove(target)); // else the next download copies it locally

    Encrypt(true);
    api->downloads().setCompress(true);
    const Figure encoded = Fetch(cloud, target);
    ASSERT_EQ(QString::fromLatin1(CloudHashFile(target)), cloud.file_hash);
    Encrypt(false);

    const double size = double(mib);
    const auto print = [&](const char* name, const Figure& figure) {
        std::printf("%-22s %8.1f MiB/s  ratio %5.2f  CPU %.4f s/MiB\n", name, size / figure.seconds,
                    curl.seconds / figure.seconds, figure.cpu / size);
    };
    std::printf("bench_download: %zu MiB over loopback\n", mib);
    print("libcurl GET (baseline)", curl);
    print("download plain", plain);
    print("download AES+zlib", encoded);
}

} // namespace
