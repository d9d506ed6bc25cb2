#include "network/NetworkClient.h"

#include "common/CoreLog.h"
#include "common/IuCoreUtils.h"
#include "common/QCClock.h"
#include "network/CurlGlobal.h"
#include "network/LogRedaction.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

// Later attempts get longer time-outs, but never more than this many times the first one's.
constexpr int kMaxTimeoutFactor = 4;
// Memory bodies stay well below what a QByteArray can hold.
constexpr qint64 kMaxReplyLimit = qint64(1) << 30;
// A walk with a deadline looks at the core's clock at least this often while it waits (a test
// that moves the clock by hand is seen that soon).
constexpr qint64 kClockLookMs = 250;

int SockOptCallback(void*, curl_socket_t, curlsocktype) noexcept {
    return CURL_SOCKOPT_OK;
}

// An address of the fallback list as the host and port of a CURLOPT_CONNECT_TO entry: "ip",
// "ip:port", "[v6]", "[v6]:port" or a bare IPv6 address. The port is empty when none is given.
void SplitAddress(const QString& address, QString& host, QString& port) {
    host = address.trimmed();
    port.clear();
    if (host.startsWith(QLatin1Char('['))) {
        const int close = host.indexOf(QLatin1Char(']'));
        if (close > 0 && host.mid(close + 1).startsWith(QLatin1Char(':')))
            port = host.mid(close + 2);
        if (close > 0)
            host = host.left(close + 1);
        return;
    }
    if (host.count(QLatin1Char(':')) == 1) {
        const int colon = host.indexOf(QLatin1Char(':'));
        port = host.mid(colon + 1);
        host = host.left(colon);
    } else if (host.contains(QLatin1Char(':'))) {
        host = QLatin1Char('[') + host + QLatin1Char(']');
    }
}

QByteArray TrimHeaderPart(const QByteArray& text) {
    int begin = 0;
    int end = text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

NetworkClient::NetworkClient(int retryCap)
    : m_retryCap(retryCap), m_bodyCookie{0, this}, m_headerCookie{1, this} {
    CurlGlobal::Init();
    m_generation = CurlGlobal::Generation();
    m_curl = curl_easy_init();
    if (!m_curl)
        return;
    CurlGlobal::AttachShare(m_curl);
    curl_easy_setopt(m_curl, CURLOPT_COOKIELIST, "");
    // No header function: libcurl hands header bytes to the same writer with the header cookie.
    curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &NetworkClient::WriteCallback);
    curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_bodyCookie);
    curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, &m_headerCookie);
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(m_curl, CURLOPT_XFERINFOFUNCTION, &NetworkClient::ProgressCallback);
    curl_easy_setopt(m_curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(m_curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(m_curl, CURLOPT_SOCKOPTFUNCTION, &SockOptCallback);
    curl_easy_setopt(m_curl, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(m_curl, CURLOPT_OPENSOCKETFUNCTION, &CurlGlobal::OpenSocket);
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    // Peers are verified against the system's CA store (CURLOPT_CAINFO may name another).
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(m_curl, CURLOPT_AUTOREFERER, 1L);
    curl_easy_setopt(m_curl, CURLOPT_BUFFERSIZE, 32768L);
    curl_easy_setopt(m_curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(m_curl, CURLOPT_MAXREDIRS, 3L);
    applyTimeouts();
}

NetworkClient::~NetworkClient() {
    // A verb gives its multi handle back before it returns: there is none to release here.
    if (m_curl) {
        curl_easy_setopt(m_curl, CURLOPT_XFERINFOFUNCTION, nullptr);
        curl_easy_setopt(m_curl, CURLOPT_MIMEPOST, nullptr);
        curl_easy_cleanup(m_curl);
    }
    curl_mime_free(m_mime);
    curl_slist_free_all(m_headerList);
    curl_slist_free_all(m_connectTo);
    if (m_output)
        fclose(m_output);
    if (m_upload)
        fclose(m_upload);
}

void NetworkClient::Uninitialize() {
    CurlGlobal::StopAll();
    CoreDebug("curl_global_uninit");
}

void NetworkClient::SetConnectGuard(ConnectGuard guard) {
    CurlGlobal::SetConnectGuard(guard);
}

void NetworkClient::SetRetryBackoff(long firstMs, long ceilingMs) {
    CurlGlobal::SetBackoff(firstMs, ceilingMs);
}

void NetworkClient::Cancel() {
    m_cancelled.store(true);
    std::lock_guard<std::mutex> lock(m_multiLock);
    if (m_multi)
        curl_multi_wakeup(m_multi);
}

bool NetworkClient::IsCancelled() const {
    return m_cancelled.load();
}

bool NetworkClient::stopped() const {
    return !m_curl || m_cancelled.load() || m_generation != CurlGlobal::Generation();
}

// ---- setting up a request

void NetworkClient::setUrl(const QString& url) {
    m_beganOnHttp = url.startsWith(QLatin1String("http://"));
    setCurrentUrl(url);
}

void NetworkClient::setCurrentUrl(const QString& url) {
    {
        WriteLock lock(m_urlLock);
        m_url = url;
    }
    if (m_curl)
        curl_easy_setopt(m_curl, CURLOPT_URL, url.toUtf8().constData());
}

QString NetworkClient::currentUrl() const {
    ReadLock lock(m_urlLock);
    return m_url;
}

void NetworkClient::addQueryParam(const std::string& name, const std::string& value) {
    QueryParam param;
    param.name = name;
    param.value = value;
    WriteLock lock(m_paramLock);
    m_params.push_back(std::move(param));
}

void NetworkClient::addQueryParamFile(const std::string& name, const std::string& fileName, const char* data,
                                      int length, const std::string& contentType) {
    QueryParam param;
    param.isFile = true;
    param.name = name;
    param.value = fileName;
    param.contentType = contentType;
    if (data && length > 0)
        param.data.assign(data, data + length);
    WriteLock lock(m_paramLock);
    m_params.push_back(std::move(param));
}

void NetworkClient::addQueryHeader(const QString& name, const QString& value) {
    WriteLock lock(m_requestHeaderLock);
    m_requestHeaders.push_back({name, value});
}

void NetworkClient::setUserAgent(const QString& agent) {
    m_userAgent = agent;
    CoreDebug("[UserAgent] %s", agent.toUtf8().constData());
}

void NetworkClient::setIpList(const QStringList& addresses, int retryCap) {
    m_ipList = addresses;
    m_retryCap = retryCap;
    m_retries = 0;
}

void NetworkClient::setRetryCap(int retryCap) {
    m_retryCap = retryCap;
}

void NetworkClient::setUserParam(const QCSignRequest& params) {
    m_userParam = params;
}

void NetworkClient::setOutputFile(const QString& path, qint64 announcedSize) {
    m_outputFileName = path;
    m_outputLimit = announcedSize;
}

void NetworkClient::setBodyBuffer(QByteArray buffer, qint64 capacity) {
    if (capacity > buffer.capacity())
        buffer.reserve(int(std::min(capacity, kMaxReplyLimit)));
    else
        buffer.reserve(buffer.capacity()); // kept by resize(0) from now on
    buffer.resize(0);
    WriteLock lock(m_bodyLock);
    m_body = std::move(buffer);
}

void NetworkClient::setReplyLimit(qint64 bytes) {
    m_replyLimit = bytes > 0 ? std::min(bytes, kMaxReplyLimit) : kDefaultReplyLimit;
}

void NetworkClient::setMethod(const QString& method) {
    m_method = method;
}

void NetworkClient::setChunkOffset(double offset) {
    m_chunkOffset = qint64(offset);
}

void NetworkClient::setChunkSize(double size) {
    m_chunkSize = qint64(size);
}

void NetworkClient::setReferer(const QString& referer) {
    if (m_curl)
        curl_easy_setopt(m_curl, CURLOPT_REFERER, referer.toUtf8().constData());
}

void NetworkClient::setProxy(const QString& host, int port, int type) {
    if (!m_curl)
        return;
    curl_easy_setopt(m_curl, CURLOPT_PROXY, host.toUtf8().constData());
    curl_easy_setopt(m_curl, CURLOPT_PROXYPORT, long(port));
    curl_easy_setopt(m_curl, CURLOPT_PROXYTYPE, long(type));
    curl_easy_setopt(m_curl, CURLOPT_NOPROXY, "localhost,127.0.0.1");
}

void NetworkClient::setProxyUserPassword(const QString& user, const QString& password) {
    if (!m_curl || user.isEmpty())
        return;
    const QByteArray text = (user + QLatin1Char(':') + password).toUtf8();
    curl_easy_setopt(m_curl, CURLOPT_PROXYUSERPWD, text.constData());
}

void NetworkClient::setCurlOption(int option, const QString& value) {
    if (m_curl)
        curl_easy_setopt(m_curl, CURLoption(option), value.toUtf8().constData());
}

void NetworkClient::setCurlOptionInt(int option, long value) {
    if (m_curl)
        curl_easy_setopt(m_curl, CURLoption(option), value);
}

void NetworkClient::setProgressCallback(ProgressFunction function, void* userData) {
    m_progress = function;
    m_progressUser = userData;
}

void NetworkClient::setTimeouts(long totalMs, long connectMs) {
    m_timeoutMs = totalMs;
    m_connectTimeoutMs = connectMs;
    applyTimeouts();
}

void NetworkClient::setBlockTransfer(long bytesPerSecond, long seconds) {
    m_blockTransfer = true;
    m_lowSpeedBytes = std::max(1L, bytesPerSecond);
    m_lowSpeedSeconds = std::max(1L, seconds);
    applyTimeouts();
}

void NetworkClient::setDeadline(qint64 ms) {
    m_deadlineMs = std::max<qint64>(0, ms);
}

qint64 NetworkClient::deadlineLeftMs() const {
    if (m_blockTransfer || m_deadlineMs <= 0)
        return -1;
    return std::max<qint64>(0, m_walkStartMs + m_deadlineMs - QCClock::NowMs());
}

void NetworkClient::applyTimeouts(qint64 capMs) {
    if (!m_curl)
        return;
    const long factor = std::min(m_retries + 1, kMaxTimeoutFactor);
    // A block may take long on a slow link; only a transfer that stalls is cut off.
    long total = m_blockTransfer ? 0L : factor * m_timeoutMs;
    long connect = factor * m_connectTimeoutMs;
    if (capMs > 0) {
        const long cap = long(std::min<qint64>(capMs, LONG_MAX));
        total = total > 0 ? std::min(total, cap) : cap;
        connect = std::min(connect, cap);
    }
    curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, total);
    curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT_MS, connect);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, m_blockTransfer ? m_lowSpeedBytes : 0L);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, m_blockTransfer ? m_lowSpeedSeconds : 0L);
}

// ---- verbs

void NetworkClient::prepareRequest() {
    bool hasExpect = false;
    {
        ReadLock lock(m_requestHeaderLock);
        for (const CustomHeaderItem& header : m_requestHeaders)
            hasExpect = hasExpect || header.name == QLatin1String("Expect");
    }
    // An empty "Expect" keeps libcurl from sending "Expect: 100-continue" and waiting for it.
    if (!hasExpect)
        addQueryHeader(QStringLiteral("Expect"), QString());
    m_tooLarge.store(0);
    {
        WriteLock lock(m_responseHeaderLock);
        m_responseHeaders.clear();
    }
    {
        WriteLock lock(m_bodyLock);
        m_body.resize(0); // keeps the memory of a buffer handed over with setBodyBuffer
    }
    {
        WriteLock lock(m_headerTextLock);
        m_headerText.clear();
    }
    curl_easy_setopt(m_curl, CURLOPT_USERAGENT, m_userAgent.toUtf8().constData());

    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    // The lines are made under the lock and written (and logged) after it: no lock of the client
    // is held while the log's handler takes its own.
    std::vector<QByteArray> lines;
    {
        ReadLock lock(m_requestHeaderLock);
        lines.reserve(m_requestHeaders.size());
        for (const CustomHeaderItem& header : m_requestHeaders) {
            const QString line = header.value == QLatin1String("\n")
                                     ? header.name + QLatin1Char(';') + header.value
                                     : header.name + QLatin1String(": ") + header.value;
            lines.push_back(line.toUtf8());
        }
    }
    for (const QByteArray& bytes : lines) {
        if (CoreLog::Enabled())
            CoreDebug("[header] %s", RedactForLog(bytes).constData());
        if (curl_slist* list = curl_slist_append(m_headerList, bytes.constData()))
            m_headerList = list;
    }
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headerList);
    curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(m_curl, CURLOPT_UPLOAD, 0L);
}

bool NetworkClient::applyMethod() {
    if (m_method.isEmpty())
        return false;
    if (m_method == QLatin1String("POST"))
        curl_easy_setopt(m_curl, CURLOPT_POST, 1L);
    else if (m_method == QLatin1String("GET"))
        curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
    else if (m_method == QLatin1String("PUT"))
        curl_easy_setopt(m_curl, CURLOPT_UPLOAD, 1L);
    else
        curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, m_method.toUtf8().constData());
    return true;
}

bool NetworkClient::doGet(const QString& url) {
    if (!url.isEmpty())
        setUrl(url);
    if (stopped()) {
        m_lastResult = CURLE_ABORTED_BY_CALLBACK;
        return false;
    }
    prepareRequest();
    if (!applyMethod())
        curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
    m_kind = 3;
    performLoop();
    return finishRequest();
}

bool NetworkClient::doPost(const QString& body) {
    if (stopped()) {
        m_lastResult = CURLE_ABORTED_BY_CALLBACK;
        return false;
    }
    QByteArray text;
    if (body.isEmpty()) {
        ReadLock lock(m_paramLock);
        for (const QueryParam& param : m_params) {
            if (param.isFile)
                continue;
            char* name = curl_easy_escape(m_curl, param.name.data(), int(param.name.size()));
            char* value = curl_easy_escape(m_curl, param.value.data(), int(param.value.size()));
            text += name ? name : "";
            text += '=';
            text += value ? value : "";
            text += '&';
            curl_free(name);
            curl_free(value);
        }
    } else {
        text = body.toUtf8();
    }
    prepareRequest();
    m_postBody = text;
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_postBody.size()));
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, m_postBody.constData());
    if (!applyMethod())
        curl_easy_setopt(m_curl, CURLOPT_POST, 1L);
    m_kind = 1;
    performLoop();
    return finishRequest();
}

bool NetworkClient::doUploadMultipartData() {
    if (stopped()) {
        m_lastResult = CURLE_ABORTED_BY_CALLBACK;
        return false;
    }
    prepareRequest();
    curl_easy_setopt(m_curl, CURLOPT_MIMEPOST, nullptr);
    curl_mime_free(m_mime);
    m_mime = curl_mime_init(m_curl);
    {
        ReadLock lock(m_paramLock);
        for (const QueryParam& param : m_params) {
            curl_mimepart* part = curl_mime_addpart(m_mime);
            if (!part)
                continue;
            curl_mime_name(part, param.name.c_str());
            if (!param.isFile) {
                curl_mime_data(part, param.value.data(), param.value.size());
                continue;
            }
            curl_mime_data(part, param.data.empty() ? "" : param.data.data(), param.data.size());
            curl_mime_filename(part, param.value.c_str());
            if (!param.contentType.empty())
                curl_mime_type(part, param.contentType.c_str());
        }
    }
    curl_easy_setopt(m_curl, CURLOPT_MIMEPOST, m_mime);
    applyMethod();
    m_kind = 2;
    performLoop();
    return finishRequest();
}

bool NetworkClient::doUpload(const QString& fileName, const QString& text) {
    if (stopped()) {
        m_lastResult = CURLE_ABORTED_BY_CALLBACK;
        return false;
    }
    if (!fileName.isEmpty()) {
        const std::string path = fileName.toStdString();
        m_upload = IuCoreUtils::fopen_utf8(path.c_str(), "rb");
        if (!m_upload)
            return false;
        m_totalSize = IuCoreUtils::getFileSize(path);
        m_uploadLength = m_totalSize;
        const bool chunk = m_chunkSize > 0 && m_chunkOffset >= 0;
        // A chunk that reaches past the end could never be sent whole.
        if (m_totalSize < 0 || (chunk && m_chunkOffset + m_chunkSize > m_totalSize)) {
            fclose(m_upload);
            m_upload = nullptr;
            m_totalSize = -1;
            return false;
        }
        if (chunk)
            m_uploadLength = m_chunkSize;
        m_kind = 2;
    } else {
        // Sent as UTF-8; its length counts bytes, so the announced length matches what is sent.
        m_uploadText = text.toUtf8();
        m_uploadTextPos = 0;
        m_totalSize = m_uploadText.size();
        m_uploadLength = m_totalSize;
        m_kind = 1;
    }
    if (m_method != QLatin1String("PUT"))
        addQueryHeader(QStringLiteral("Content-Length"),
                       QString::fromLatin1(QByteArray::number(m_uploadLength)));
    prepareRequest();
    curl_easy_setopt(m_curl, CURLOPT_READFUNCTION, &NetworkClient::ReadCallback);
    curl_easy_setopt(m_curl, CURLOPT_READDATA, this);
    curl_easy_setopt(m_curl, CURLOPT_SEEKFUNCTION, &NetworkClient::SeekCallback);
    curl_easy_setopt(m_curl, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_uploadLength));
    if (!applyMethod())
        curl_easy_setopt(m_curl, CURLOPT_POST, 1L);
    curl_easy_setopt(m_curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(m_uploadLength));
    performLoop();
    return finishRequest();
}

// ---- the perform loop and the retry walk

void NetworkClient::resetAttempt() {
    // Each attempt starts from nothing: a failed one must not leave bytes in front of the next.
    {
        WriteLock lock(m_bodyLock);
        m_body.resize(0); // keeps the memory of a buffer handed over with setBodyBuffer
    }
    {
        WriteLock lock(m_headerTextLock);
        m_headerText.clear();
    }
    m_bodyBytes = 0;
    m_headerBytes = 0;
    m_tooLarge.store(0);
    if (m_output) {
        fclose(m_output);
        m_output = IuCoreUtils::fopen_utf8(m_outputFileName.toStdString().c_str(), "wb");
    }
    rewindUpload(0);
    m_errorBuffer[0] = '\0';
    // A request on https follows redirects only to https: its cookie never travels in clear.
    const bool secure = currentUrl().startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    curl_easy_setopt(m_curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
}

CURLcode NetworkClient::performAttempt() {
    if (curl_multi_add_handle(m_multi, m_curl) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    for (;;) {
        if (stopped()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int running = 0;
        if (curl_multi_perform(m_multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        bool done = false;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == m_curl) {
                result = message->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (running == 0) {
            result = CURLE_FAILED_INIT;
            break;
        }
        // Cancel() and Uninitialize() wake this wait.
        curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(m_multi, m_curl);
    return result;
}

bool NetworkClient::performLoop() {
    CURLM* multi = CurlGlobal::TakeMulti();
    if (!multi) {
        m_lastResult = CURLE_OUT_OF_MEMORY;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_multiLock);
        m_multi = multi;
    }
    // The walk looks at the stop flags only now: a stop from here on finds this handle to wake.
    const bool ok = walk();
    {
        std::lock_guard<std::mutex> lock(m_multiLock);
        m_multi = nullptr;
    }
    CurlGlobal::ReturnMulti(multi);
    return ok;
}

bool NetworkClient::walk() {
    m_walkStartMs = QCClock::NowMs();
    m_deadlinePassed = false;
    for (int failures = 0;;) {
        if (stopped()) {
            m_lastResult = CURLE_ABORTED_BY_CALLBACK;
            return false;
        }
        resetAttempt();
        applyTimeouts(deadlineLeftMs());
        m_lastResult = performAttempt();
        if (m_lastResult == CURLE_OK)
            return true;
        if (m_tooLarge.load() != 0) {
            WriteLock lock(m_bodyLock);
            m_body = QByteArray(); // nobody may read a cut-off reply; give the memory back now
        }
        if (responseCode() == 514)
            return false;
        // Another attempt cannot help when the caller aborted or the local side failed.
        if (m_lastResult == CURLE_ABORTED_BY_CALLBACK || m_lastResult == CURLE_WRITE_ERROR)
            return false;
        if (CoreLog::Enabled())
            CoreDebug("[url] %s", RedactForLog(currentUrl().toUtf8()).constData());
        if (deadlineLeftMs() == 0 || !retryStep())
            break;
        waitBeforeRetry(++failures);
        if (stopped() || deadlineLeftMs() == 0)
            break;
    }
    if (stopped()) {
        m_lastResult = CURLE_ABORTED_BY_CALLBACK;
    } else if (deadlineLeftMs() == 0) {
        // The failure goes to the caller with the last attempt's result; its back-off takes over.
        m_deadlinePassed = true;
        CoreDebug("[deadline] no answer within %lld ms", static_cast<long long>(m_deadlineMs));
    }
    return false;
}

void NetworkClient::waitBeforeRetry(int failures) {
    const long waitMs = CurlGlobal::BackoffMs(failures);
    CoreDebug("[backoff] %ld ms", waitMs);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    // Cancel() and Uninitialize() wake the poll; a wake-up left over from an earlier verb of this
    // multi handle only makes one more round. The walk's deadline ends the wait too.
    while (!stopped()) {
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        const qint64 deadlineLeft = deadlineLeftMs();
        if (left <= 0 || deadlineLeft == 0)
            break;
        if (deadlineLeft > 0)
            left = std::min<long long>(left, std::min(deadlineLeft, kClockLookMs));
        curl_multi_poll(m_multi, nullptr, 0, int(std::min<long long>(left, INT_MAX)), nullptr);
    }
}

bool NetworkClient::retryStep() {
    // A stop is seen at the top of the walk, which reports it as an abort.
    if (m_retryCap != -1 && m_retries >= m_retryCap)
        return false;
    QString url = currentUrl();
    const bool http = url.startsWith(QLatin1String("http://"));
    const bool https = url.startsWith(QLatin1String("https://"));
    // Only a request begun on http may go (back) to http: one begun on https keeps its cookie off
    // the wire in clear, so its scheme steps become address steps.
    if (!m_addressStepNext && m_beganOnHttp && (http || https)) {
        if (http)
            url.insert(4, QLatin1Char('s'));
        else
            url.remove(4, 1);
    } else {
        m_addressStepNext = true;
        if (m_retries < m_ipList.size()) {
            const QString address = m_ipList.at(std::min(int(m_ipList.size()) - 1, m_retries));
            ++m_retries;
            static const QRegularExpression intf(QStringLiteral("://(.*)/intf\\.php"));
            if (intf.match(url).hasMatch())
                setConnectTo(QUrl(url).host(), address);
        } else {
            ++m_retries;
        }
    }
    if (!url.isEmpty()) {
        setCurrentUrl(url);
        applyTimeouts();
    }
    if (CoreLog::Enabled())
        CoreDebug("[retry] %d %s%s%s", m_retries, RedactForLog(url.toUtf8()).constData(),
                  m_connectAddress.isEmpty() ? "" : " via ", m_connectAddress.toUtf8().constData());
    m_addressStepNext = !m_addressStepNext;
    return true;
}

void NetworkClient::setConnectTo(const QString& urlHost, const QString& address) {
    QString host;
    QString port;
    SplitAddress(address, host, port);
    const QString source =
        urlHost.contains(QLatin1Char(':')) ? QLatin1Char('[') + urlHost + QLatin1Char(']') : urlHost;
    // "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT"; empty ports mean any and the same.
    const QByteArray entry = (source + QLatin1String("::") + host + QLatin1Char(':') + port).toUtf8();
    curl_easy_setopt(m_curl, CURLOPT_CONNECT_TO, nullptr);
    curl_slist_free_all(m_connectTo);
    m_connectTo = curl_slist_append(nullptr, entry.constData());
    curl_easy_setopt(m_curl, CURLOPT_CONNECT_TO, m_connectTo);
    m_connectAddress = address;
}

bool NetworkClient::finishRequest() {
    m_kind = 0;
    {
        WriteLock lock(m_requestHeaderLock);
        m_requestHeaders.clear();
    }
    {
        WriteLock lock(m_paramLock);
        m_params.clear();
    }
    if (m_output)
        fclose(m_output);
    m_output = nullptr;
    m_outputFileName.clear();
    m_outputLimit = -1;
    m_method.clear();
    m_uploadText.clear();
    curl_easy_setopt(m_curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(-1));
    if (m_upload)
        fclose(m_upload);
    m_upload = nullptr;
    m_chunkOffset = -1;
    m_chunkSize = -1;
    m_uploadTextPos = 0;
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    curl_easy_setopt(m_curl, CURLOPT_MIMEPOST, nullptr);
    curl_mime_free(m_mime);
    m_mime = nullptr;
    parseFinalHeaders();
    return m_lastResult == CURLE_OK;
}

void NetworkClient::parseFinalHeaders() {
    const QByteArray text = responseHeaderText();
    const QList<QByteArray> lines = text.split('\n');
    // The header text holds one block per response of the attempt (redirects included); the
    // final response's block begins at the last status line.
    int first = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith("HTTP/"))
            first = i + 1;
    }
    std::vector<CustomHeaderItem> headers;
    for (int i = first; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const int colon = line.indexOf(':');
        if (line.isEmpty() || colon < 0)
            continue;
        int valueStart = colon;
        while (valueStart < line.size() && line.at(valueStart) == ':')
            ++valueStart;
        headers.push_back({QString::fromUtf8(TrimHeaderPart(line.left(colon))),
                           QString::fromUtf8(TrimHeaderPart(line.mid(valueStart)))});
    }
    WriteLock lock(m_responseHeaderLock);
    m_responseHeaders = std::move(headers);
}

// ---- callbacks

// Every entry point that libcurl calls catches what the code under it may throw (std::bad_alloc
// from a growing buffer, above all) and returns libcurl's failure value instead: an exception
// must never unwind through C code.

size_t NetworkClient::WriteCallback(char* data, size_t size, size_t count, void* cookie) noexcept {
    try {
        const CallbackParam* param = static_cast<const CallbackParam*>(cookie);
        if (!param || !param->client)
            return 0;
        if (param->direction == 1)
            return param->client->writeHeader(data, size * count);
        return param->client->writeBody(data, size * count);
    } catch (...) {
        return 0;
    }
}

size_t NetworkClient::replyTooLarge(int which, qint64 limit) {
    m_tooLargeLimit.store(limit);
    m_tooLarge.store(which);
    return 0; // a short count: libcurl ends the transfer with CURLE_WRITE_ERROR
}

size_t NetworkClient::writeBody(const char* data, size_t length) {
    const qint64 limit = m_outputFileName.isEmpty() ? m_replyLimit : m_outputLimit;
    if (limit >= 0 && qint64(length) > limit - m_bodyBytes)
        return replyTooLarge(1, limit);
    m_bodyBytes += qint64(length);
    if (!m_outputFileName.isEmpty()) {
        if (!m_output)
            m_output = IuCoreUtils::fopen_utf8(m_outputFileName.toStdString().c_str(), "wb");
        if (!m_output)
            return 0;
        // A short write (a full disk) is a local write error: libcurl ends the transfer.
        return fwrite(data, 1, length, m_output) == length ? length : 0;
    }
    WriteLock lock(m_bodyLock);
    m_body.append(data, int(length));
    return length;
}

size_t NetworkClient::writeHeader(const char* data, size_t length) {
    if (qint64(length) > kHeaderLimit - m_headerBytes)
        return replyTooLarge(2, kHeaderLimit);
    m_headerBytes += qint64(length);
    WriteLock lock(m_headerTextLock);
    m_headerText.append(data, int(length));
    return length;
}

size_t NetworkClient::ReadCallback(char* buffer, size_t size, size_t count, void* client) noexcept {
    try {
        return static_cast<NetworkClient*>(client)->readUpload(buffer, size * count);
    } catch (...) {
        return CURL_READFUNC_ABORT;
    }
}

size_t NetworkClient::readUpload(char* buffer, size_t length) {
    // Never more than announced: the position counts from the start of the chunk or text.
    const qint64 remaining = m_uploadLength - m_uploadTextPos;
    if (remaining <= 0)
        return 0;
    const size_t want = std::min<size_t>(length, size_t(remaining));
    size_t got = 0;
    if (m_upload) {
        got = fread(buffer, 1, want, m_upload);
    } else {
        got = want;
        memcpy(buffer, m_uploadText.constData() + m_uploadTextPos, got);
    }
    m_uploadTextPos += qint64(got);
    return got;
}

int NetworkClient::SeekCallback(void* client, curl_off_t offset, int origin) noexcept {
    if (origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    try {
        return static_cast<NetworkClient*>(client)->rewindUpload(offset) ? CURL_SEEKFUNC_OK
                                                                         : CURL_SEEKFUNC_FAIL;
    } catch (...) {
        return CURL_SEEKFUNC_FAIL;
    }
}

bool NetworkClient::rewindUpload(curl_off_t offset) {
    if (offset < 0 || offset > m_uploadLength)
        return false;
    if (m_upload) {
        const qint64 base = (m_chunkSize > 0 && m_chunkOffset >= 0) ? m_chunkOffset : 0;
        if (fseeko(m_upload, off_t(base + offset), SEEK_SET) != 0)
            return false;
    }
    m_uploadTextPos = qint64(offset);
    return true;
}

int NetworkClient::ProgressCallback(void* client, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                                    curl_off_t ulNow) noexcept {
    try {
        return static_cast<NetworkClient*>(client)->reportProgress(dlTotal, dlNow, ulTotal, ulNow);
    } catch (...) {
        return 1; // aborts the transfer
    }
}

int NetworkClient::reportProgress(curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                                  curl_off_t ulNow) {
    if (stopped())
        return 1;
    if (!m_progress)
        return 0;
    qint64 reportTotal = ulTotal;
    qint64 reportNow = ulNow;
    if (m_kind == 2 && m_chunkOffset >= 0 && m_chunkSize > 0) {
        reportTotal = m_totalSize;
        reportNow = m_chunkOffset + ulNow;
    } else if (ulTotal <= 0 && m_totalSize > 0 && m_kind == 2) {
        reportTotal = m_totalSize;
    }
    return m_progress(m_progressUser, dlTotal, dlNow, reportTotal, reportNow);
}

// ---- reading the response

QByteArray NetworkClient::responseBody() const {
    ReadLock lock(m_bodyLock);
    return m_body;
}

QByteArray NetworkClient::takeBody() {
    WriteLock lock(m_bodyLock);
    return std::exchange(m_body, QByteArray());
}

std::string NetworkClient::responseBodyString() const {
    ReadLock lock(m_bodyLock);
    return m_body.toStdString();
}

QByteArray NetworkClient::responseHeaderText() const {
    ReadLock lock(m_headerTextLock);
    return m_headerText;
}

long NetworkClient::responseCode() const {
    long code = 0;
    if (!m_curl || curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK)
        return -1;
    return code;
}

QString NetworkClient::responseHeaderByName(const QString& name) const {
    ReadLock lock(m_responseHeaderLock);
    for (const CustomHeaderItem& header : m_responseHeaders) {
        if (header.name == name)
            return header.value;
    }
    return QString();
}

int NetworkClient::responseHeaderCount() const {
    ReadLock lock(m_responseHeaderLock);
    return int(m_responseHeaders.size());
}

QString NetworkClient::responseHeaderByIndex(int index, QString& name) const {
    ReadLock lock(m_responseHeaderLock);
    if (index < 0 || index >= int(m_responseHeaders.size())) {
        name.clear();
        return QString();
    }
    name = m_responseHeaders[size_t(index)].name;
    return m_responseHeaders[size_t(index)].value;
}

QString NetworkClient::errorString() const {
    const int which = m_tooLarge.load();
    if (which != 0)
        return QStringLiteral("reply too large: %1 over %2 bytes")
            .arg(which == 1 ? QStringLiteral("body") : QStringLiteral("headers"))
            .arg(m_tooLargeLimit.load());
    if (m_deadlinePassed.load()) {
        const QString last = QString::fromUtf8(m_errorBuffer);
        return QStringLiteral("no answer within the deadline of %1 s").arg(m_deadlineMs / 1000) +
               (last.isEmpty() ? QString() : QStringLiteral("; last attempt: ") + last);
    }
    return QString::fromUtf8(m_errorBuffer);
}

int NetworkClient::getCurlResult() const {
    return m_lastResult;
}

QString NetworkClient::getCurlResultString() const {
    return QString::fromUtf8(curl_easy_strerror(CURLcode(m_lastResult)));
}

CURL* NetworkClient::getCurlHandle() const {
    return m_curl;
}

int NetworkClient::curRetry() const {
    return m_retries;
}

QString NetworkClient::GetParam(const QString& name) const {
    return m_userParam.Get(name);
}

int NetworkClient::GetParamInt(const QString& name) const {
    return m_userParam.GetInt(name);
}
