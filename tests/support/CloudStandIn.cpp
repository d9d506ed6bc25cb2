#include "support/CloudStandIn.h"

#include "support/ServiceSignature.h"
#include "support/TestCertificates.h"

#include <httplib.h>

#include <openssl/pem.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

const char* AddressOf(Listener listener) {
    return listener == Listener::Secondary ? "127.0.0.2" : "127.0.0.1";
}

NameValueList SplitPairs(const std::string& text, char separator, bool trim) {
    NameValueList pairs;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        if (trim) {
            const size_t first = item.find_first_not_of(" \t");
            const size_t last = item.find_last_not_of(" \t");
            item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
        }
        if (!item.empty()) {
            const size_t eq = item.find('=');
            if (eq == std::string::npos)
                pairs.emplace_back(PhpUrlDecode(item), std::string());
            else
                pairs.emplace_back(PhpUrlDecode(item.substr(0, eq)), PhpUrlDecode(item.substr(eq + 1)));
        }
        start = end + 1;
    }
    return pairs;
}

// The header lines of a raw request head, as sent.
NameValueList ParseHeadLines(const std::string& head) {
    NameValueList headers;
    size_t start = head.find("\r\n");
    while (start != std::string::npos && start + 2 < head.size()) {
        start += 2;
        const size_t end = head.find("\r\n", start);
        const std::string line =
            head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0) {
            const size_t valueStart = line.find_first_not_of(" \t", colon + 1);
            const size_t valueEnd = line.find_last_not_of(" \t");
            headers.emplace_back(line.substr(0, colon),
                                 valueStart == std::string::npos || valueEnd < valueStart
                                     ? std::string()
                                     : line.substr(valueStart, valueEnd - valueStart + 1));
        }
        start = end;
    }
    return headers;
}

void SetTarget(RecordedRequest& rec, const std::string& target) {
    const size_t mark = target.find('?');
    rec.path = target.substr(0, mark);
    if (mark != std::string::npos)
        rec.query = target.substr(mark + 1);
    rec.queryArgs = SplitPairs(rec.query, '&', false);
}

void SetHeaders(RecordedRequest& rec, const std::string& rawHead) {
    rec.headers = ParseHeadLines(rawHead);
    for (const auto& [name, value] : rec.headers) {
        if (strcasecmp(name.c_str(), "Cookie") == 0) {
            const NameValueList pairs = SplitPairs(value, ';', true);
            rec.cookies.insert(rec.cookies.end(), pairs.begin(), pairs.end());
        }
    }
}

RecordedRequest Record(Listener listener, const httplib::Request& req, const std::string& rawHead) {
    RecordedRequest rec;
    rec.listener = listener;
    rec.remotePort = req.remote_port;
    rec.method = req.method;
    SetTarget(rec, req.target);
    SetHeaders(rec, rawHead);
    if (req.is_multipart_form_data()) {
        for (const auto& [name, file] : req.files)
            rec.parts.push_back({file.name, file.filename, file.content_type, file.content});
    } else {
        rec.body = req.body;
    }
    return rec;
}

// The log's copy of `rec` with its body and parts cut to `limit` bytes; what is cut is not copied.
RecordedRequest LogCopy(RecordedRequest& rec, size_t limit) {
    std::string body;
    body.swap(rec.body);
    std::vector<std::string> contents(rec.parts.size());
    for (size_t i = 0; i < rec.parts.size(); ++i)
        contents[i].swap(rec.parts[i].content);
    RecordedRequest kept = rec;
    kept.body = body.substr(0, limit);
    rec.body.swap(body);
    for (size_t i = 0; i < rec.parts.size(); ++i) {
        kept.parts[i].content = contents[i].substr(0, limit);
        rec.parts[i].content.swap(contents[i]);
    }
    return kept;
}

// A request that httplib answered itself (malformed, too large, unknown method): only its head.
bool RecordHead(Listener listener, const std::string& rawHead, int remotePort, RecordedRequest& rec) {
    const size_t lineEnd = rawHead.find("\r\n");
    const std::string line = rawHead.substr(0, lineEnd);
    const size_t firstBlank = line.find(' ');
    const size_t lastBlank = line.rfind(' ');
    if (firstBlank == std::string::npos || lastBlank <= firstBlank ||
        line.compare(lastBlank + 1, 5, "HTTP/") != 0)
        return false;
    rec.listener = listener;
    rec.remotePort = remotePort;
    rec.method = line.substr(0, firstBlank);
    SetTarget(rec, line.substr(firstBlank + 1, lastBlank - firstBlank - 1));
    SetHeaders(rec, rawHead);
    return true;
}

// One connection as the stand-in's worker thread sees it. It hands httplib the bytes and keeps
// the raw request head: httplib percent-decodes header values, which would hide from the stand-in
// what the client really sent (a "%2B" and a "+" in a cookie look alike afterwards).
class TapStream : public httplib::Stream {
public:
    TapStream(int fd, SSL* ssl) : m_fd(fd), m_ssl(ssl) {}

    bool is_readable() const override {
        if (m_reset)
            return false;
        if (m_bufferStart < m_bufferEnd || (m_ssl && SSL_pending(m_ssl) > 0))
            return true;
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, kTimeoutMs) > 0;
    }
    bool is_writable() const override {
        if (m_reset)
            return false;
        pollfd p{m_fd, POLLOUT, 0};
        return poll(&p, 1, kTimeoutMs) > 0;
    }
    // httplib reads the request head a byte at a time: those reads come from a buffer, not one
    // system call each.
    ssize_t read(char* ptr, size_t size) override {
        ssize_t n = 0;
        if (m_bufferStart < m_bufferEnd) {
            n = ssize_t(std::min(size, m_bufferEnd - m_bufferStart));
            memcpy(ptr, m_buffer + m_bufferStart, size_t(n));
            m_bufferStart += size_t(n);
        } else {
            if (!is_readable())
                return -1;
            const bool buffered = size < sizeof m_buffer;
            char* into = buffered ? m_buffer : ptr;
            const size_t length = buffered ? sizeof m_buffer : size;
            n = m_ssl ? SSL_read(m_ssl, into, int(std::min<size_t>(length, INT_MAX)))
                      : recv(m_fd, into, length, 0);
            if (n <= 0)
                return m_ssl ? -1 : n;
            if (buffered) {
                m_bufferStart = std::min(size, size_t(n));
                m_bufferEnd = size_t(n);
                memcpy(ptr, m_buffer, m_bufferStart);
                n = ssize_t(m_bufferStart);
            }
        }
        if (!m_headComplete && m_head.size() < 65536) {
            m_head.append(ptr, size_t(n));
            m_headComplete = m_head.find("\r\n\r\n") != std::string::npos;
        }
        return n;
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (m_reset)
            return -1;
        if (m_ssl)
            return SSL_write(m_ssl, ptr, int(std::min<size_t>(size, INT_MAX)));
        return send(m_fd, ptr, size, MSG_NOSIGNAL);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
    socket_t socket() const override { return m_fd; }

    void startRequest() {
        m_head.clear();
        m_headComplete = false;
    }
    // The request line and headers of the current request, up to the blank line.
    std::string rawHead() const {
        const size_t end = m_head.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : m_head.substr(0, end + 2);
    }
    // From now on nothing is written; the connection ends with a TCP reset.
    void requestReset() { m_reset = true; }
    bool resetRequested() const { return m_reset; }

private:
    static constexpr int kTimeoutMs = 2000;

    void Address(bool remote, std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int rc = remote ? getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length)
                              : getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        char text[INET6_ADDRSTRLEN] = {};
        if (rc == 0 && address.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            port = ntohs(v4->sin_port);
        } else if (rc == 0 && address.ss_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            port = ntohs(v6->sin6_port);
        }
        ip = text;
    }

    int m_fd;
    SSL* m_ssl;
    bool m_reset = false;
    char m_buffer[4096];
    size_t m_bufferStart = 0; // unread bytes of m_buffer: [m_bufferStart, m_bufferEnd)
    size_t m_bufferEnd = 0;
    std::string m_head;
    bool m_headComplete = false;
};

// The connection the current worker thread serves, for the request handler and the logger.
thread_local TapStream* t_stream = nullptr;
thread_local bool t_handled = false;

// The connections the listeners serve: counted as they are accepted, and shut down by Stop() so
// that a worker waiting for the next request of a kept-alive connection ends at once.
class Connections {
public:
    void opened(int fd) {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_accepted;
        m_open.insert(fd);
    }
    // Before close(fd): shutDownAll() must never reach a number the system has handed out again.
    void closing(int fd) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_open.erase(fd);
    }
    void shutDownAll() {
        std::lock_guard<std::mutex> guard(m_lock);
        for (int fd : m_open)
            shutdown(fd, SHUT_RDWR);
    }
    int accepted() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_accepted;
    }
    void reset() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepted = 0;
    }

private:
    mutable std::mutex m_lock;
    int m_accepted = 0;   // guarded by m_lock
    std::set<int> m_open; // guarded by m_lock
};

// Serves up to `requests` requests of one connection through httplib's request processing, then
// closes it (with a reset when the handler asked for one).
template <typename Process>
void ServeConnection(int fd, SSL* ssl, int requests, Connections& connections, Process process) {
    TapStream stream(fd, ssl);
    t_stream = &stream;
    bool closed = false;
    for (int i = 0; i < requests && !closed; ++i) {
        if (i > 0 && !stream.is_readable())
            break;
        stream.startRequest();
        t_handled = false;
        const bool ok = process(stream, i + 1 == requests, closed);
        if (!ok || stream.resetRequested())
            break;
    }
    t_stream = nullptr;
    if (stream.resetRequested()) {
        const linger abortive{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
        if (ssl)
            SSL_shutdown(ssl);
        shutdown(fd, SHUT_RDWR);
    }
    connections.closing(fd);
    close(fd);
}

// httplib fills static tables the first time it parses a request, behind a guard that
// ThreadSanitizer cannot see inside the compiled library: two workers parsing their first requests
// at once look like a race. Parsing one request here, before any worker exists, orders them.
template <typename Server>
void ParseOneRequestNow(Server& server) {
    httplib::detail::BufferStream stream;
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    stream.write(request.data(), request.size());
    bool closed = false;
    server.ProcessRequest(stream, closed);
}

class TapServer : public httplib::Server {
public:
    TapServer(int requests, Connections& connections) : m_requests(requests), m_connections(connections) {
        ParseOneRequestNow(*this);
    }
    bool ProcessRequest(httplib::Stream& stream, bool& closed) {
        return process_request(stream, true, closed, nullptr);
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        m_connections.opened(sock);
        ServeConnection(sock, nullptr, m_requests, m_connections,
                        [this](httplib::Stream& stream, bool last, bool& closed) {
                            return process_request(stream, last, closed, nullptr);
                        });
        return true;
    }
    int m_requests;
    Connections& m_connections;
};

class TapTlsServer : public httplib::SSLServer {
public:
    TapTlsServer(X509* cert, EVP_PKEY* key, int requests, Connections& connections)
        : httplib::SSLServer(cert, key), m_requests(requests), m_connections(connections) {
        ParseOneRequestNow(*this);
    }
    bool ProcessRequest(httplib::Stream& stream, bool& closed) {
        return process_request(stream, true, closed, nullptr);
    }

private:
    bool process_and_close_socket(socket_t sock) override {
        m_connections.opened(sock);
        const timeval timeout{2, 0};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        SSL* ssl = SSL_new(ssl_context());
        if (!ssl || SSL_set_fd(ssl, sock) != 1 || SSL_accept(ssl) != 1) {
            // A client that refused the certificate: no request was made.
            SSL_free(ssl);
            m_connections.closing(sock);
            close(sock);
            return false;
        }
        ServeConnection(sock, ssl, m_requests, m_connections,
                        [this](httplib::Stream& stream, bool last, bool& closed) {
                            return process_request(stream, last, closed, nullptr);
                        });
        SSL_free(ssl);
        return true;
    }
    int m_requests;
    Connections& m_connections;
};

} // namespace

struct CloudStandIn::Impl {
    struct Running {
        Listener listener;
        std::unique_ptr<httplib::Server> server;
        std::thread thread;
        int port = 0;
    };

    // Set by Start and Stop on the test's thread.
    std::vector<Running> servers; // under serversLock: handlers read the ports while listeners start
    mutable std::mutex serversLock;
    int refusedFd = -1;
    int refusedPort = 0;
    std::string tempDir;
    std::string caFile;
    std::string error;
    Connections connections;
    int workers = 16;
    size_t logContentLimit = size_t(-1);
    bool keepLog = true;

    // Guarded by `lock`; `wake` ends delayed replies when Stop() sets `stopping`.
    mutable std::mutex lock;
    std::condition_variable wake;
    mutable std::condition_variable logged; // signalled when the log grows or a request is held
    bool stopping = false;
    int held = 0;                     // requests waiting in a Hold fault
    unsigned long long holdRound = 0; // raised by releaseHeld()
    std::vector<RecordedRequest> log;
    struct RuleState {
        FaultRule rule;
        int seen = 0;
    };
    std::vector<RuleState> faults;
    std::map<std::pair<std::string, std::string>, StandInRoute> routes;
    std::function<void(const RecordedRequest&)> observer;

    bool startServer(Listener listener, std::unique_ptr<httplib::Server> server);
    void append(const RecordedRequest& rec);
    void handle(Listener listener, const httplib::Request& req, httplib::Response& res);
    StandInReply answer(const StandInRoute& route, const RecordedRequest& rec);
    void send(StandInReply reply, httplib::Response& res);
    // Counts the calling request as held until releaseHeld() or Stop().
    void holdUntilReleased();
};

void CloudStandIn::Impl::holdUntilReleased() {
    std::unique_lock<std::mutex> guard(lock);
    const unsigned long long round = holdRound;
    ++held;
    logged.notify_all();
    wake.wait(guard, [this, round] { return stopping || holdRound != round; });
    --held;
}

void CloudStandIn::Impl::append(const RecordedRequest& rec) {
    std::function<void(const RecordedRequest&)> notify;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (keepLog)
            log.push_back(rec);
        logged.notify_all();
        notify = observer;
    }
    if (notify)
        notify(rec);
}

bool CloudStandIn::Impl::startServer(Listener listener, std::unique_ptr<httplib::Server> server) {
    if (!server || !server->is_valid()) {
        error = "cannot create the server";
        return false;
    }
    server->new_task_queue = [count = size_t(std::max(1, workers))] {
        return new httplib::ThreadPool(count);
    };
    // A reply goes out in several writes; without this, each one after the first on a kept-alive
    // connection would wait for the client's delayed acknowledgement.
    server->set_tcp_nodelay(true);
    // Requests that httplib answers itself (malformed, too large) never reach the handler.
    server->set_logger([this, listener](const httplib::Request&, const httplib::Response&) {
        if (t_handled || !t_stream)
            return;
        std::string ip;
        int remotePort = 0;
        t_stream->get_remote_ip_and_port(ip, remotePort);
        RecordedRequest rec;
        if (RecordHead(listener, t_stream->rawHead(), remotePort, rec))
            append(rec);
    });
    auto handler = [this, listener](const httplib::Request& req, httplib::Response& res) {
        handle(listener, req, res);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Patch(".*", handler);
    server->Delete(".*", handler);
    server->Options(".*", handler);
    const int port = server->bind_to_any_port(AddressOf(listener));
    if (port <= 0) {
        error = std::string("cannot bind ") + AddressOf(listener);
        return false;
    }
    Running running;
    running.listener = listener;
    running.port = port;
    httplib::Server* raw = server.get();
    running.server = std::move(server);
    // The socket already listens: connections wait in its backlog until the thread accepts them.
    running.thread = std::thread([raw] { raw->listen_after_bind(); });
    {
        std::lock_guard<std::mutex> guard(serversLock);
        servers.push_back(std::move(running));
    }
    // stop() only reaches a server that runs: wait for the thread to get there (microseconds).
    while (!raw->is_running())
        std::this_thread::yield();
    return true;
}

StandInReply CloudStandIn::Impl::answer(const StandInRoute& route, const RecordedRequest& rec) {
    if (route)
        return route(rec);
    StandInReply reply;
    reply.status = 404;
    reply.contentType = "text/plain";
    reply.body = "not found";
    return reply;
}

void CloudStandIn::Impl::handle(Listener listener, const httplib::Request& req, httplib::Response& res) {
    t_handled = true;
    RecordedRequest rec = Record(listener, req, t_stream ? t_stream->rawHead() : std::string());
    const std::string apiMethod = rec.queryArg("method");
    bool faulted = false;
    Fault fault;
    StandInRoute route;
    std::function<void(const RecordedRequest&)> notify;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (keepLog && logContentLimit == size_t(-1))
            log.push_back(rec);
        else if (keepLog)
            log.push_back(LogCopy(rec, logContentLimit));
        logged.notify_all();
        for (RuleState& state : faults) {
            const FaultRule& rule = state.rule;
            if ((!rule.path.empty() && rule.path != rec.path) ||
                (!rule.apiMethod.empty() && rule.apiMethod != apiMethod) ||
                (!rule.anyListener && rule.listener != listener))
                continue;
            ++state.seen;
            if (!faulted && state.seen >= rule.first &&
                (rule.times < 0 || state.seen < rule.first + rule.times)) {
                faulted = true;
                fault = rule.fault;
            }
        }
        auto found = routes.find({rec.method, rec.path});
        if (found == routes.end())
            found = routes.find({"*", rec.path});
        if (found != routes.end())
            route = found->second;
        notify = observer;
    }
    if (notify)
        notify(rec);

    if (faulted) {
        switch (fault.kind) {
        case FaultKind::Reset:
            if (t_stream)
                t_stream->requestReset();
            return;
        case FaultKind::Status:
            res.status = fault.status;
            res.set_content("stand-in fault " + std::to_string(fault.status), "text/plain");
            return;
        case FaultKind::NotJson:
            res.status = 200;
            res.set_content("<html><body><h1>502 Bad Gateway</h1></body></html>", "text/html");
            return;
        case FaultKind::Truncated: {
            StandInReply reply = answer(route, rec);
            if (reply.sharedBody)
                reply.body = *reply.sharedBody;
            if (reply.body.size() < 64)
                reply.body.append(64 - reply.body.size(), ' ');
            auto body = std::make_shared<std::string>(reply.body);
            res.status = fault.status;
            for (const auto& [name, value] : reply.headers)
                res.set_header(name, value);
            res.set_content_provider(body->size(), reply.contentType,
                                     [body](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset == 0)
                                             sink.write(body->data(), body->size() / 2);
                                         return false; // closes the connection mid-body
                                     });
            return;
        }
        case FaultKind::Delay: {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait_for(guard, std::chrono::milliseconds(fault.delayMs), [this] { return stopping; });
            break;
        }
        case FaultKind::Hold:
            holdUntilReleased();
            break;
        case FaultKind::HoldReply: {
            StandInReply reply = answer(route, rec);
            holdUntilReleased();
            send(std::move(reply), res);
            return;
        }
        case FaultKind::Trickle: {
            StandInReply reply = answer(route, rec);
            reply.pieceBytes = std::max(1, fault.pieceBytes);
            reply.pieceDelayMs = fault.delayMs;
            send(std::move(reply), res);
            return;
        }
        }
    }
    StandInReply reply = answer(route, rec);
    if (reply.reset) {
        if (t_stream)
            t_stream->requestReset();
        return;
    }
    send(std::move(reply), res);
}

void CloudStandIn::Impl::send(StandInReply reply, httplib::Response& res) {
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers)
        res.set_header(name, value);
    std::shared_ptr<const std::string> body = reply.sharedBody;
    if (!body && reply.pieceBytes <= 0 && reply.body.size() < 65536) {
        res.set_content(reply.body, reply.contentType);
        return;
    }
    // Large bodies (blocks) go out from one shared buffer rather than another copy in httplib.
    if (!body)
        body = std::make_shared<const std::string>(std::move(reply.body));
    const size_t piece = reply.pieceBytes > 0 ? size_t(reply.pieceBytes) : body->size();
    const int delayMs = reply.pieceDelayMs;
    res.set_content_provider(
        body->size(), reply.contentType,
        [this, body, piece, delayMs](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset > 0 && delayMs > 0) {
                std::unique_lock<std::mutex> guard(lock);
                if (wake.wait_for(guard, std::chrono::milliseconds(delayMs), [this] { return stopping; }))
                    return false;
            }
            return sink.write(body->data() + offset, std::min(piece, body->size() - offset));
        });
}

CloudStandIn::CloudStandIn() : d(std::make_unique<Impl>()) {}

CloudStandIn::~CloudStandIn() {
    Stop();
}

bool CloudStandIn::Start(const StandInOptions& options) {
    Stop();
    // A client that hangs up early must not kill the test process with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    {
        std::lock_guard<std::mutex> guard(d->lock);
        d->stopping = false;
    }
    d->error.clear();
    d->connections.reset();
    d->workers = options.workers;
    d->logContentLimit = options.logContentLimit;
    d->keepLog = options.keepLog;

    d->refusedFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // Bound but never listening: the port stays ours and every connection to it is refused.
    if (d->refusedFd < 0 || bind(d->refusedFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(d->refusedFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        d->error = "cannot reserve a refused port";
        Stop();
        return false;
    }
    d->refusedPort = ntohs(address.sin_port);

    const int requests = std::max(1, options.keepAliveRequests);
    if (!d->startServer(Listener::Primary, std::make_unique<TapServer>(requests, d->connections)) ||
        !d->startServer(Listener::Secondary, std::make_unique<TapServer>(requests, d->connections))) {
        Stop();
        return false;
    }
    if (options.tls == TlsMode::None)
        return true;

    const TestCertificates& certs = TestCertificates::Get();
    if (!certs.error.empty()) {
        d->error = certs.error;
        Stop();
        return false;
    }
    char pattern[] = "/tmp/standin-XXXXXX";
    if (!mkdtemp(pattern)) {
        d->error = "cannot make a temporary folder";
        Stop();
        return false;
    }
    d->tempDir = pattern;
    d->caFile = d->tempDir + "/ca.pem";
    std::ofstream(d->caFile) << certs.caPem;

    const bool selfSigned = options.tls == TlsMode::SelfSigned;
    const std::string& certPem = selfSigned ? certs.selfSignedPem : certs.serverCertPem;
    const std::string& keyPem = selfSigned ? certs.selfSignedKeyPem : certs.serverKeyPem;
    BIO* certBio = BIO_new_mem_buf(certPem.data(), int(certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(keyPem.data(), int(keyPem.size()));
    X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    std::unique_ptr<httplib::Server> tls;
    if (cert && key)
        tls = std::make_unique<TapTlsServer>(cert, key, requests, d->connections);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    if (!d->startServer(Listener::Tls, std::move(tls))) {
        Stop();
        return false;
    }
    return true;
}

void CloudStandIn::Stop() {
    {
        std::lock_guard<std::mutex> guard(d->lock);
        d->stopping = true;
    }
    d->wake.notify_all();
    d->connections.shutDownAll();
    std::vector<Impl::Running> servers;
    {
        std::lock_guard<std::mutex> guard(d->serversLock);
        servers.swap(d->servers);
    }
    for (Impl::Running& running : servers) {
        running.server->stop();
        if (running.thread.joinable())
            running.thread.join();
    }
    if (d->refusedFd >= 0)
        close(d->refusedFd);
    d->refusedFd = -1;
    d->refusedPort = 0;
    if (!d->tempDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(d->tempDir, ignored);
    }
    d->tempDir.clear();
    d->caFile.clear();
}

std::string CloudStandIn::errorText() const {
    return d->error;
}

int CloudStandIn::port(Listener listener) const {
    std::lock_guard<std::mutex> guard(d->serversLock);
    for (const Impl::Running& running : d->servers) {
        if (running.listener == listener)
            return running.port;
    }
    return 0;
}

std::string CloudStandIn::url(Listener listener, const std::string& path) const {
    const std::string host =
        listener == Listener::Tls ? "https://localhost:" : std::string("http://") + AddressOf(listener) + ":";
    return host + std::to_string(port(listener)) + path;
}

int CloudStandIn::refusedPort() const {
    return d->refusedPort;
}

std::string CloudStandIn::caFile() const {
    return d->caFile;
}

void CloudStandIn::route(const std::string& method, const std::string& path, StandInRoute handler) {
    std::lock_guard<std::mutex> guard(d->lock);
    d->routes[{method, path}] = std::move(handler);
}

void CloudStandIn::addFault(const FaultRule& rule) {
    std::lock_guard<std::mutex> guard(d->lock);
    d->faults.push_back({rule, 0});
}

void CloudStandIn::clearFaults() {
    std::lock_guard<std::mutex> guard(d->lock);
    d->faults.clear();
}

void CloudStandIn::releaseHeld() {
    {
        std::lock_guard<std::mutex> guard(d->lock);
        ++d->holdRound;
    }
    d->wake.notify_all();
}

int CloudStandIn::heldCount() const {
    std::lock_guard<std::mutex> guard(d->lock);
    return d->held;
}

bool CloudStandIn::waitForHeld(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(d->lock);
    return d->logged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [this, count] { return d->held >= count; });
}

void CloudStandIn::setObserver(std::function<void(const RecordedRequest&)> observer) {
    std::lock_guard<std::mutex> guard(d->lock);
    d->observer = std::move(observer);
}

std::vector<RecordedRequest> CloudStandIn::requests() const {
    std::lock_guard<std::mutex> guard(d->lock);
    return d->log;
}

int CloudStandIn::requestCount() const {
    std::lock_guard<std::mutex> guard(d->lock);
    return int(d->log.size());
}

int CloudStandIn::connectionCount() const {
    return d->connections.accepted();
}

bool CloudStandIn::waitForRequests(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(d->lock);
    return d->logged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [this, count] { return int(d->log.size()) >= count; });
}

void CloudStandIn::clearLog() {
    std::lock_guard<std::mutex> guard(d->lock);
    d->log.clear();
}
