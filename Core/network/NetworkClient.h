#pragma once
// One blocking HTTP exchange at a time over one libcurl easy handle, with the retry walk of the
// cloud API.
//
// Retry walk (cap = number of address steps, -1 unbounded):
//   attempt 1       the URL as given
//   scheme step     a request that the caller began on http alternates between http and https;
//                   one begun on https never falls back to http: its scheme steps are skipped
//   address step    retries done + 1; an "/intf.php" URL connects to fallback address
//                   min(retries done, count) - 1 while its host name stays in the URL, so TLS
//                   verification and the Host header still name the service
//   ... scheme and address steps alternate until success, the cap, a status 514, a local fault
//   (write error, reply too large, progress abort) or a stop.
// Before each retry the verb waits: 250-500 ms before the first, doubling at each failure up to
// 15-30 s (a random part of each wait, so that clients that failed together spread out). Cancel()
// (QCRequestCommon::Clear cancels the clients it made) and Uninitialize() end a wait or a transfer
// at once. The time-outs of
// an attempt grow with the address steps, to at most 4 times the first attempt's.
//
// Time-outs: 30 s for an attempt, 10 s to connect. A block transfer (setBlockTransfer) has no
// total time-out: however long it takes, it fails only when it stays below a low speed (1 KiB/s
// for 60 s unless set).
//
// Deadline: the walk of any other verb takes no retry, and waits out no back-off, once 2 minutes
// (unless set) have passed since it began on the core's clock (QCClock): the verb fails with the
// last attempt's result, the caller's own back-off takes over, and errorString() says that the
// deadline passed. An attempt's time-outs never reach past the deadline as it stands when the
// attempt starts; an exchange under way is not cut short by the core's clock (a test that moves
// the clock on fast cannot fail a reply that is on its way). A block transfer has no deadline: its
// low-speed rule ends a stalled one.
//
// Bounds: a body kept in memory stops at the reply limit (64 MiB unless set; the download of a
// block sets its block size plus slack), the header text of an attempt at 256 KiB, a body written
// to a file at the size announced with the file. Past a bound the transfer ends as a local write
// error and is not retried: the verb returns false with CURLE_WRITE_ERROR and errorString() says
// that the reply was too large. No exception leaves a libcurl callback.
//
// Sharing: every handle carries the process-wide share of DNS entries and TLS sessions. Connections
// are not in the share (libcurl does not support sharing them between threads): a verb borrows a
// multi handle from a process-wide pool and gives it back at its end, and the handle keeps its
// live connections, so the next verb, of this client or a fresh one, reuses the connection to the
// same host instead of a new TCP and TLS handshake (see CurlGlobal).
//
// Threads: one thread runs the verbs; any thread may read the response, queue parameters or
// headers, read the URL, and call Cancel() or the class-wide Uninitialize().

#include "network/QCSignRequest.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

struct sockaddr;

class NetworkClient {
public:
    // One request parameter or form part.
    struct QueryParam {
        bool isFile = false;
        std::string name;
        std::string value; // file part: the file name announced in the part
        std::string contentType;
        std::vector<char> data; // file part: its bytes
    };

    struct CustomHeaderItem {
        QString name;
        QString value;
    };

    // Cookie handed to libcurl's writer: which stream the bytes belong to and whose they are.
    struct CallbackParam {
        int direction; // 0 body, 1 header
        NetworkClient* client;
    };

    // Called during transfers with libcurl's byte counts; a non-zero result aborts the transfer.
    using ProgressFunction = int (*)(void* userData, qint64 dlTotal, qint64 dlNow, qint64 ulTotal,
                                     qint64 ulNow);
    // Decides whether a connection to `address` may be opened; false refuses it.
    using ConnectGuard = bool (*)(const struct sockaddr* address);

    static constexpr qint64 kDefaultReplyLimit = 64 * 1024 * 1024;
    static constexpr qint64 kHeaderLimit = 256 * 1024;
    // A block reply may exceed its block by compression and cipher overhead; never by more.
    static constexpr qint64 kBlockReplySlack = 64 * 1024;
    static constexpr long kBlockLowSpeedBytes = 1024; // per second ...
    static constexpr long kBlockLowSpeedSeconds = 60; // ... for this long ends a block transfer
    static constexpr qint64 kDefaultDeadlineMs = 2 * 60 * 1000;

    // `retryCap`: the number of address steps of the retry walk, -1 unbounded.
    explicit NetworkClient(int retryCap);
    ~NetworkClient();
    NetworkClient(const NetworkClient&) = delete;
    NetworkClient& operator=(const NetworkClient&) = delete;

    // Ends every verb and retry loop of the clients that exist now, at once, and makes their later
    // verbs fail; clients constructed afterwards work normally. libcurl's global state stays
    // until process exit.
    static void Uninitialize();
    // Installs a process-wide check of every address a client connects to (null: allow all).
    static void SetConnectGuard(ConnectGuard guard);
    // The back-off between attempts of every client: the first wait and the ceiling (500 ms and
    // 30 s unless set), each used at between half and all of its length. For tests.
    static void SetRetryBackoff(long firstMs, long ceilingMs);

    // Ends this client's running verb and retry loop at once; its later verbs fail. Any thread.
    void Cancel();
    bool IsCancelled() const;

    void setUrl(const QString& url);
    QString currentUrl() const;
    void addQueryParam(const std::string& name, const std::string& value);
    // Copies the bytes when `data` is not null and `length` is above 0; else the part is empty.
    void addQueryParamFile(const std::string& name, const std::string& fileName, const char* data, int length,
                           const std::string& contentType);
    void addQueryHeader(const QString& name, const QString& value);
    void setUserAgent(const QString& agent);
    // Replaces the fallback addresses ("ip" or "ip:port") and the retry cap; resets the retries.
    void setIpList(const QStringList& addresses, int retryCap);
    // Bounds the retry walk of the next verbs (-1 unbounded) without touching the addresses.
    void setRetryCap(int retryCap);
    void setUserParam(const QCSignRequest& params);
    // The next verb writes the body to this file instead of memory; a body longer than
    // `announcedSize` (when not negative) fails as too large.
    void setOutputFile(const QString& path, qint64 announcedSize = -1);
    // The memory that the bodies of the next verbs are collected in: `buffer`'s, grown to hold
    // `capacity` bytes, kept while the bodies fit. A caller that moves many large bodies hands the
    // same memory back each time (takeBody) instead of having fresh pages touched for each one.
    void setBodyBuffer(QByteArray buffer, qint64 capacity);
    // The most body bytes kept in memory (kDefaultReplyLimit when `bytes` is not above 0; at most
    // 1 GiB); a longer body fails as too large. Stays for later verbs.
    void setReplyLimit(qint64 bytes);
    // "POST", "GET", "PUT", or any other word sent as a custom method; consumed by the next verb.
    void setMethod(const QString& method);
    // The part of the file that the next doUpload sends.
    void setChunkOffset(double offset);
    void setChunkSize(double size);
    void setReferer(const QString& referer);
    void setProxy(const QString& host, int port, int type);
    void setProxyUserPassword(const QString& user, const QString& password);
    void setCurlOption(int option, const QString& value);
    void setCurlOptionInt(int option, long value);
    void setProgressCallback(ProgressFunction function, void* userData);
    // Time-outs of the first attempt in milliseconds (30 s and 10 s by default); the attempt after
    // n address steps gets min(n + 1, 4) times as much.
    void setTimeouts(long totalMs, long connectMs);
    // Marks the client as moving a file block: no total time-out, but a transfer that stays below
    // `bytesPerSecond` for `seconds` fails as timed out (and is retried). Stays for later verbs.
    void setBlockTransfer(long bytesPerSecond = kBlockLowSpeedBytes, long seconds = kBlockLowSpeedSeconds);
    // The most time the walk of one verb may take on the core's clock (kDefaultDeadlineMs unless
    // set; 0 or less: none). Not for block transfers. Stays for later verbs.
    void setDeadline(qint64 ms);

    // Verbs: true when the last transfer ended without a libcurl error (the HTTP status does not
    // count; read it with responseCode()). They block until the retry walk ends.
    bool doGet(const QString& url);
    // Body: `body` as UTF-8, or when it is empty the queued plain parameters as form text.
    bool doPost(const QString& body);
    bool doUploadMultipartData();
    // Sends the file (or its chunk) when `fileName` is not empty, else `text` as UTF-8.
    bool doUpload(const QString& fileName, const QString& text);

    QByteArray responseBody() const;
    // Moves the body out (for a caller that works on it in place); the client's is empty after.
    QByteArray takeBody();
    std::string responseBodyString() const;
    // Raw header bytes of the last attempt (every header block of its redirects).
    QByteArray responseHeaderText() const;
    // Status of the last transfer; 0 when no answer came, -1 when libcurl cannot tell.
    long responseCode() const;
    // Headers of the final response: the first one of that exact name, "" when there is none.
    QString responseHeaderByName(const QString& name) const;
    int responseHeaderCount() const;
    // Value of the header at `index` (below responseHeaderCount()), its name into `name`.
    QString responseHeaderByIndex(int index, QString& name) const;
    // What went wrong in the last transfer: libcurl's error text, or the bound that a reply passed.
    QString errorString() const;
    int getCurlResult() const;
    QString getCurlResultString() const;
    CURL* getCurlHandle() const;
    int curRetry() const;
    QString GetParam(const QString& name) const;
    int GetParamInt(const QString& name) const;

private:
    // Static entry points handed to libcurl.
    static size_t WriteCallback(char* data, size_t size, size_t count, void* cookie) noexcept;
    static size_t ReadCallback(char* buffer, size_t size, size_t count, void* client) noexcept;
    static int SeekCallback(void* client, curl_off_t offset, int origin) noexcept;
    static int ProgressCallback(void* client, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                                curl_off_t ulNow) noexcept;

    size_t writeBody(const char* data, size_t length);
    size_t writeHeader(const char* data, size_t length);
    size_t readUpload(char* buffer, size_t length);
    bool rewindUpload(curl_off_t offset);
    int reportProgress(curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow);

    bool stopped() const;
    // A bound was passed: remembers which for errorString() and returns libcurl's failure value.
    size_t replyTooLarge(int which, qint64 limit);
    void prepareRequest();
    // Sets the explicit method; false when none is set and the verb's own default applies.
    bool applyMethod();
    void resetAttempt();
    CURLcode performAttempt();
    // Borrows a multi handle for the walk and gives it back afterwards.
    bool performLoop();
    bool walk();
    bool retryStep();
    // Waits out the back-off before the retry after `failures` failed attempts, or until a stop
    // or the deadline.
    void waitBeforeRetry(int failures);
    // Milliseconds left of the running walk's deadline on the core's clock; -1 when it has none.
    qint64 deadlineLeftMs() const;
    // Sets the time-outs of the next attempt, none of them above `capMs` when that is above 0.
    void applyTimeouts(qint64 capMs = -1);
    void setCurrentUrl(const QString& url);
    bool finishRequest();
    void parseFinalHeaders();
    void setConnectTo(const QString& urlHost, const QString& address);

    // Driven by the verb's thread only.
    int m_retryCap;
    int m_retries = 0;
    bool m_addressStepNext = false;
    QStringList m_ipList;
    CURL* m_curl = nullptr;
    FILE* m_output = nullptr;
    QString m_outputFileName;
    qint64 m_outputLimit = -1; // the announced size of the output file; -1 none
    qint64 m_replyLimit = kDefaultReplyLimit;
    qint64 m_bodyBytes = 0;     // body bytes of the current attempt
    qint64 m_headerBytes = 0;   // header bytes of the current attempt
    bool m_beganOnHttp = false; // the caller's URL was http: the walk may alternate the scheme
    FILE* m_upload = nullptr;
    QByteArray m_uploadText;
    int m_kind = 0;             // 1 form POST or text upload, 2 multipart POST or file upload, 3 GET
    qint64 m_uploadTextPos = 0; // bytes of the text or file chunk handed to libcurl in this attempt
    CallbackParam m_bodyCookie;
    ProgressFunction m_progress = nullptr;
    CallbackParam m_headerCookie;
    void* m_progressUser = nullptr;
    int m_lastResult = CURLE_OK;
    qint64 m_totalSize = -1;
    qint64 m_uploadLength = 0;
    QCSignRequest m_userParam;
    QString m_userAgent = QStringLiteral("Mozilla/5.0");
    char m_errorBuffer[512] = {};
    QString m_method;
    curl_slist* m_headerList = nullptr;
    curl_slist* m_connectTo = nullptr;
    QString m_connectAddress; // the fallback address connections go to; empty: the URL's host
    curl_mime* m_mime = nullptr;
    QByteArray m_postBody; // stays valid while libcurl sends it
    qint64 m_chunkOffset = -1;
    qint64 m_chunkSize = -1;
    long m_timeoutMs = 30000;
    long m_connectTimeoutMs = 10000;
    bool m_blockTransfer = false;
    long m_lowSpeedBytes = 0;
    long m_lowSpeedSeconds = 0;
    qint64 m_deadlineMs = kDefaultDeadlineMs;
    qint64 m_walkStartMs = 0; // on the core's clock
    quint64 m_generation; // Uninitialize() generation this client belongs to; set once

    // Any thread.
    std::atomic<bool> m_cancelled{false};
    std::atomic<int> m_tooLarge{0}; // 0 no bound passed in the last attempt, 1 the body, 2 the headers
    std::atomic<bool> m_deadlinePassed{false}; // the last verb's walk ended at its deadline
    std::atomic<qint64> m_tooLargeLimit{0};

    // The multi handle borrowed for the running walk, null between verbs. Written by the verb's
    // thread under m_multiLock; Cancel() reads it under the lock to wake the walk.
    std::mutex m_multiLock;
    CURLM* m_multi = nullptr;

    // Each guarded by its own lock; no operation holds two of these locks at once.
    mutable std::shared_mutex m_bodyLock;
    QByteArray m_body;
    mutable std::shared_mutex m_headerTextLock;
    QByteArray m_headerText;
    mutable std::shared_mutex m_paramLock;
    std::vector<QueryParam> m_params;
    mutable std::shared_mutex m_requestHeaderLock;
    std::vector<CustomHeaderItem> m_requestHeaders;
    mutable std::shared_mutex m_responseHeaderLock;
    std::vector<CustomHeaderItem> m_responseHeaders;
    mutable std::shared_mutex m_urlLock;
    QString m_url;
};
