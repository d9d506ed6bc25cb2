#pragma once
// A stand-in of the cloud service for tests: HTTP servers on loopback addresses only (127.0.0.1,
// 127.0.0.2, and https on 127.0.0.1), on ephemeral ports, each on its own thread. It records every
// request, answers through routes that tests (and later the service model) register, and injects
// faults by path or by request count. It checks what the real service would check and nothing
// more: it never bends to make a client pass. Headers are recorded as sent (httplib would
// percent-decode them). httplib itself answers malformed requests and form-encoded bodies over
// 8 KiB (413); those are logged without a body and reach no route.
//
// Threads: Start/Stop and the set-up calls from the test's thread; requests are served on the
// servers' own threads; the log and the fault rules are guarded by one mutex.

#include "support/StandInTypes.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class TlsMode {
    None,
    TestCa,     // certificate signed by the test CA (caFile())
    SelfSigned, // certificate signed by its own key
};

struct StandInOptions {
    TlsMode tls = TlsMode::None;
    // How many requests a connection serves before the stand-in closes it.
    int keepAliveRequests = 1;
    // Requests each listener serves at once; more wait for a free worker.
    int workers = 16;
    // Bytes of each body and form part that the log keeps (a benchmark's gigabyte need not stay);
    // the route always sees them whole.
    size_t logContentLimit = size_t(-1);
    // Whether requests are kept in the log at all (the observer sees them either way): a service
    // run for hours by hand would otherwise grow with every request.
    bool keepLog = true;
};

class CloudStandIn {
public:
    CloudStandIn();
    ~CloudStandIn(); // stops
    CloudStandIn(const CloudStandIn&) = delete;
    CloudStandIn& operator=(const CloudStandIn&) = delete;

    // Binds and starts the listeners; false (with errorText()) when that failed.
    bool Start(const StandInOptions& options = StandInOptions());
    // Ends delayed replies at once and stops every listener; the log stays readable.
    void Stop();
    std::string errorText() const;

    int port(Listener listener) const;
    // "http://127.0.0.1:<port><path>", "http://127.0.0.2:<port><path>", "https://localhost:<port><path>".
    std::string url(Listener listener, const std::string& path) const;
    // A port on 127.0.0.1 that refuses every connection while the stand-in lives.
    int refusedPort() const;
    // The PEM file of the test CA; empty unless started with TlsMode::TestCa or SelfSigned.
    std::string caFile() const;

    // Answers `method` ("*": any) on exactly `path`; a later route for the same pair wins.
    // Unrouted requests get 404.
    void route(const std::string& method, const std::string& path, StandInRoute handler);
    void addFault(const FaultRule& rule);
    void clearFaults();
    // Lets every request held by a FaultKind::Hold rule go on; later ones are held again.
    void releaseHeld();
    // Requests held now; waits until at least `count` are held, false when `timeoutMs` passed first.
    int heldCount() const;
    bool waitForHeld(int count, int timeoutMs) const;

    // Called on a server thread with every request as it is recorded (the runner prints them).
    void setObserver(std::function<void(const RecordedRequest&)> observer);

    std::vector<RecordedRequest> requests() const;
    int requestCount() const;
    // TCP connections the listeners accepted since Start(), TLS handshake or not.
    int connectionCount() const;
    // Waits until at least `count` requests are in the log; false when `timeoutMs` passed first.
    bool waitForRequests(int count, int timeoutMs) const;
    void clearLog();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
