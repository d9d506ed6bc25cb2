// The block download of one large file against the stand-in of the service in a process of its
// own (cloud_standin_run --bench --pre-encode --keep-alive): plain, and encrypted (AES-256-CBC)
// and compressed (zlib). The stand-in encodes every block once, ahead, and serves it from memory,
// so that the figures measure the client. Two baselines in the same run, for each mode:
// - throughput: a plain libcurl client (one multi handle) fetching the same block requests from
//   the same stand-in with the same number in flight as the download keeps, bodies kept in memory
//   and nothing else done with them; goal: the download at least 0.7 of its MiB/s;
// - CPU: the blocks that client fetched, decoded (AES where encrypted, inflating), hashed (SHA-1)
//   and written at their offsets into a file in one loop; goal: the download's CPU seconds per MiB
//   (of this whole process) at most twice the loop's.
// Every figure line carries the load average of the machine at its end.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   NIMBO_BENCH_DOWNLOAD_MIB=1024 build/bench/bench_download   (default 1024)
#include "StandInProcessBench.h"

#include "Database/QCGlobalConfig.h"
#include "Transfer/QCDownloadFile.h"
#include "common/Hash.h"
#include "network/AesKey.h"
#include "network/QCRequestCommon.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// CPU seconds of the whole process (the download runs on several threads), or of the calling
// thread alone (the baselines run on it, while the engine may still tidy up after its download).
double CpuSeconds(bool thread = false) {
    rusage usage{};
    getrusage(thread ? RUSAGE_THREAD : RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Load() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

struct Figure {
    double seconds = 0;
    double cpu = 0;
};

// One block of the file as the service lists it, with the signed request that fetches it.
struct Block {
    std::string hash;
    quint64 offset = 0;
    quint32 size = 0;
    std::string url;
    std::string cookie;
    std::string body; // as it came
};

class DownloadBench : public StandInProcessBench {
protected:
    void SetUp() override {
        // Connections stay open for many requests, as the service's do.
        StartStandIn({QStringLiteral("--bench"), QStringLiteral("--pre-encode"),
                      QStringLiteral("--keep-alive"), QStringLiteral("100000")});
    }
    void Encrypt(bool on) {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.trans_encrypt = on ? 1 : 0;
    }
    // A request to the stand-in's own bench routes; true when it answered 200.
    bool Post(const std::string& pathAndQuery, std::string* answer = nullptr) {
        return Fetch("http://" + host + pathAndQuery, std::string(), true, answer) == 200;
    }
    // One exchange with plain libcurl; the HTTP status, 0 when none came.
    static long Fetch(const std::string& url, const std::string& cookie, bool post, std::string* answer) {
        std::string body;
        CURL* handle = curl_easy_init();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        if (post)
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
        if (!cookie.empty())
            curl_easy_setopt(handle, CURLOPT_COOKIE, cookie.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Keep);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
        long status = 0;
        if (curl_easy_perform(handle) == CURLE_OK)
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(handle);
        if (answer)
            *answer = body;
        return status;
    }
    QJsonObject Api(const QString& method, const QCSignRequest& params) {
        std::string url;
        std::string cookie;
        Sign(method, params, url, cookie);
        std::string answer;
        if (Fetch(url, cookie, false, &answer) != 200)
            return QJsonObject();
        return QJsonDocument::fromJson(QByteArray::fromStdString(answer))
            .object()
            .value(QLatin1String("data"))
            .toObject();
    }
    // The file's blocks as the service lists them, each with its signed block request.
    std::vector<Block> Blocks(const FILE_INFO& cloud, bool encrypt, bool compress) {
        QCSignRequest info;
        info.Add(QStringLiteral("fpath"), cloud.path);
        info.Add(QStringLiteral("nid"), QString());
        info.Add(QStringLiteral("owner_qid"), QString());
        const QJsonObject files =
            Api(QStringLiteral("Sync.getDownloadInfo"), info).value(QLatin1String("file_info")).toObject();
        if (files.isEmpty())
            return {};
        const QString dt = files.begin().value().toObject().value(QLatin1String("dt")).toString();
        QCSignRequest meta;
        meta.Add(QStringLiteral("fhash"), cloud.file_hash);
        meta.Add(QStringLiteral("nid"), QString());
        meta.Add(QStringLiteral("dt"), dt);
        std::vector<Block> blocks;
        for (const QJsonValue& value :
             Api(QStringLiteral("Download.getMetaInfo"), meta).value(QLatin1String("block_info")).toArray()) {
            const QJsonObject item = value.toObject();
            Block block;
            block.hash = item.value(QLatin1String("bhash")).toString().toStdString();
            block.offset = item.value(QLatin1String("boffset")).toString().toULongLong();
            block.size = item.value(QLatin1String("bsize")).toString().toUInt();
            QCSignRequest params;
            params.Add(QStringLiteral("bhash"), QString::fromStdString(block.hash));
            params.Add(QStringLiteral("dt"), dt);
            params.Add(QStringLiteral("open_app_id"), QStringLiteral("cloud"));
            if (encrypt)
                params.Add(QStringLiteral("encrypt"), QStringLiteral("2"));
            if (compress && block.size > 1024)
                params.Add(QStringLiteral("compress"), QStringLiteral("1"));
            Sign(QStringLiteral("Download.downloadBlock"), params, block.url, block.cookie);
            blocks.push_back(std::move(block));
        }
        return blocks;
    }

    // Downloads the file into `localPath` through the engine's queue and times it.
    Figure Download(const FILE_INFO& cloud, const QString& localPath) {
        FILE_INFO record = cloud;
        record.local_path = localPath;
        const double cpu = CpuSeconds();
        QElapsedTimer timer;
        timer.start();
        OnEngine([&] {
            g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, false);
            g_LocalStoreMgr.AddDownloadTask(record);
        });
        Pass(); // starts it
        // Looked at now and then, so that the waiting costs next to nothing of the CPU measured.
        const QDeadlineTimer deadline(600000);
        while (g_LocalStoreMgr.DownloadCount() != 0 && !deadline.hasExpired())
            QThread::msleep(2);
        return Figure{timer.elapsed() / 1000.0, CpuSeconds() - cpu};
    }

    // The baseline client: `blocks` fetched with `inFlight` transfers at a time over one multi
    // handle, which keeps its connections. With `keep` each body is kept in its block (for the
    // loop); without, each transfer's memory is used again by the next (what is timed).
    static Figure FetchBlocks(std::vector<Block>& blocks, int inFlight, bool keep) {
        CURLM* multi = curl_multi_init();
        std::vector<CURL*> handles;
        std::vector<CURL*> idle;
        std::vector<std::string> reused(static_cast<size_t>(inFlight));
        for (int i = 0; i < inFlight; ++i) {
            handles.push_back(curl_easy_init());
            idle.push_back(handles.back());
            curl_easy_setopt(handles.back(), CURLOPT_PRIVATE, &reused[size_t(i)]);
        }
        const double cpu = CpuSeconds(true);
        QElapsedTimer timer;
        timer.start();
        size_t next = 0;
        int running = 0;
        bool failed = false;
        do {
            while (!idle.empty() && next < blocks.size()) {
                CURL* handle = idle.back();
                idle.pop_back();
                Block& block = blocks[next++];
                std::string* body = &block.body;
                if (!keep)
                    curl_easy_getinfo(handle, CURLINFO_PRIVATE, &body);
                body->clear();
                body->reserve(block.size + 64 * 1024);
                curl_easy_setopt(handle, CURLOPT_URL, block.url.c_str());
                curl_easy_setopt(handle, CURLOPT_COOKIE, block.cookie.c_str());
                curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Keep);
                curl_easy_setopt(handle, CURLOPT_WRITEDATA, body);
                curl_multi_add_handle(multi, handle);
            }
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg != CURLMSG_DONE)
                    continue;
                long status = 0;
                curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
                failed = failed || message->data.result != CURLE_OK || status != 200;
                curl_multi_remove_handle(multi, message->easy_handle);
                idle.push_back(message->easy_handle);
            }
            if (running > 0)
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        } while (!failed && (running > 0 || next < blocks.size() || idle.size() != handles.size()));
        const Figure figure{timer.elapsed() / 1000.0, CpuSeconds(true) - cpu};
        for (CURL* handle : handles)
            curl_easy_cleanup(handle);
        curl_multi_cleanup(multi);
        return failed ? Figure() : figure;
    }

    // The CPU baseline: every fetched block decoded as the request asked, hashed and written at
    // its offset, in one loop. False when a block does not decode to its hash.
    static bool DecodeBlocks(const std::vector<Block>& blocks, bool encrypt, bool compress,
                             const QString& path, Figure& figure) {
        const AES_KEY_PAIR key = GetAesKey();
        const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
        std::vector<unsigned char> clear(CLOUD_BLOCK_SIZE + 64 * 1024);
        std::vector<unsigned char> inflated(CLOUD_BLOCK_SIZE + 128);
        bool ok = context != nullptr;
        const double cpu = CpuSeconds(true);
        QElapsedTimer timer;
        timer.start();
        for (const Block& block : blocks) {
            if (!ok)
                break;
            const auto* data = reinterpret_cast<const unsigned char*>(block.body.data());
            size_t length = block.body.size();
            if (encrypt) {
                int part = 0;
                int last = 0;
                ok = length <= clear.size() &&
                     EVP_DecryptInit_ex(context, EVP_aes_256_cbc(), nullptr,
                                        reinterpret_cast<const unsigned char*>(key.key.constData()),
                                        reinterpret_cast<const unsigned char*>(key.iv.constData())) == 1 &&
                     EVP_DecryptUpdate(context, clear.data(), &part, data, int(length)) == 1 &&
                     EVP_DecryptFinal_ex(context, clear.data() + part, &last) == 1;
                data = clear.data();
                length = size_t(part + last);
            }
            if (ok && compress && block.size > 1024) {
                uLongf out = uLongf(inflated.size());
                ok = uncompress(inflated.data(), &out, data, uLong(length)) == Z_OK;
                data = inflated.data();
                length = out;
            }
            unsigned char digest[SHA_DIGEST_LENGTH];
            SHA1(data, length, digest);
            ok = ok && length == block.size &&
                 QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex().toStdString() ==
                     block.hash &&
                 pwrite(fd, data, length, off_t(block.offset)) == ssize_t(length);
        }
        ok = ok && fsync(fd) == 0;
        figure = Figure{timer.elapsed() / 1000.0, CpuSeconds(true) - cpu};
        EVP_CIPHER_CTX_free(context);
        close(fd);
        return ok;
    }
};

TEST_F(DownloadBench, BlocksBesideLibcurl) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure shows as soon as it is measured
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
    const QString loopFile = QDir(sandbox.home.path()).filePath(QStringLiteral("decoded.bin"));
    const double size = double(mib);
    std::printf(
        "bench_download: %zu MiB over loopback, the stand-in in its own process, %d blocks in flight\n", mib,
        QCDownloadFile::kBlocksInFlight);

    for (const bool encoded : {false, true}) {
        const char* mode = encoded ? "AES+zlib" : "plain";
        Encrypt(encoded);
        ASSERT_TRUE(
            Post(encoded ? "/bench/encode?compress=1&encrypt=1" : "/bench/encode?compress=0&encrypt=0"));
        std::printf("%-8s downloading\n", mode); // (a profiler started now sees the download)
        const Figure download = Download(cloud, target);
        ASSERT_EQ(quint64(QFileInfo(target).size()), cloud.size) << mode;
        ASSERT_EQ(QString::fromLatin1(CloudHashFile(target)), cloud.file_hash) << mode;
        ASSERT_TRUE(QFile::remove(target)); // else the next download copies it locally

        std::vector<Block> blocks = Blocks(cloud, encoded, encoded);
        ASSERT_EQ(blocks.size(), (cloud.size + CLOUD_BLOCK_SIZE - 1) / CLOUD_BLOCK_SIZE) << mode;
        const Figure curl = FetchBlocks(blocks, QCDownloadFile::kBlocksInFlight, false);
        ASSERT_GT(curl.seconds, 0) << mode << ": the plain client's fetch failed";
        ASSERT_GT(FetchBlocks(blocks, QCDownloadFile::kBlocksInFlight, true).seconds, 0) << mode;
        Figure loop;
        ASSERT_TRUE(DecodeBlocks(blocks, encoded, encoded, loopFile, loop)) << mode;
        QFile::remove(loopFile);
        blocks.clear();

        const double rate = size / download.seconds;
        const double curlRate = size / curl.seconds;
        const double cpu = download.cpu / size;
        const double loopCpu = loop.cpu / size;
        std::printf(
            "%-8s seconds and CPU seconds: download %.2f, %.2f; libcurl %.2f, %.2f; loop %.2f, %.2f\n", mode,
            download.seconds, download.cpu, curl.seconds, curl.cpu, loop.seconds, loop.cpu);
        std::printf("%-8s download %7.1f MiB/s  libcurl %7.1f MiB/s  ratio %5.2f (goal >= 0.70)   "
                    "CPU %.5f s/MiB  loop %.5f s/MiB  ratio %5.2f (goal <= 2.00)   load %.1f\n",
                    mode, rate, curlRate, rate / curlRate, cpu, loopCpu, cpu / loopCpu, Load());
    }
    Encrypt(false);
}

} // namespace
