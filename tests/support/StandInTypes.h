#pragma once
// The records the stand-in of the cloud service speaks in: what it saw of a request, the reply
// a route gives, and the faults a test can inject. Plain values; no httplib types, so test code
// that includes this stays light.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using NameValueList = std::vector<std::pair<std::string, std::string>>;

// The stand-in's listeners. All of them are on loopback addresses only.
enum class Listener {
    Primary,   // http on 127.0.0.1
    Secondary, // http on 127.0.0.2, the fallback address of retry tests
    Tls,       // https on 127.0.0.1, certificate for "localhost"
};

// One part of a multipart/form-data body.
struct FormPart {
    std::string name;
    std::string filename; // empty for a plain field
    std::string contentType;
    std::string content;
};

// A request as the stand-in received it.
struct RecordedRequest {
    Listener listener = Listener::Primary;
    int remotePort = 0; // the client's port: distinct ports are distinct connections
    std::string method;
    std::string path;
    std::string query;       // raw text after "?"
    NameValueList queryArgs; // decoded, in order
    NameValueList headers;   // as received (names in their case)
    NameValueList cookies;   // the "Cookie" header's pairs, values url-decoded as PHP does
    std::string body;        // raw body unless it was multipart
    std::vector<FormPart> parts;

    // First value of the header, the name compared without case; "" when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    std::string cookie(const std::string& name) const;
    std::string queryArg(const std::string& name) const;
    // The first part of that name, or null.
    const FormPart* part(const std::string& name) const;
};

// What a route answers.
struct StandInReply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    NameValueList headers;
    // Sent instead of `body` when set, without a copy (block data the stand-in keeps).
    std::shared_ptr<const std::string> sharedBody;
    // No reply: the connection ends with a TCP reset.
    bool reset = false;
    // Above 0: the body goes out `pieceBytes` at a time, `pieceDelayMs` apart (a slow link).
    int pieceBytes = 0;
    int pieceDelayMs = 0;
};

using StandInRoute = std::function<StandInReply(const RecordedRequest&)>;

enum class FaultKind {
    Status,    // answer with `status` and a short text body
    Reset,     // close the connection with a TCP reset, no reply
    Truncated, // announce the full reply (with `status`) and send only half of it
    NotJson,   // 200 with an HTML page where JSON was expected
    Delay,     // wait `delayMs`, then answer normally
    Trickle,   // answer normally, but send the body `pieceBytes` at a time, `delayMs` apart
    Hold,      // keep the request until releaseHeld() or Stop(), then answer normally
    HoldReply, // answer (the state changes), but keep the reply until releaseHeld() or Stop()
};

struct Fault {
    FaultKind kind = FaultKind::Status;
    int status = 500;
    int delayMs = 0;
    int pieceBytes = 1024;
};

// Applies `fault` to requests whose path equals `path` (any path when empty) and whose "method" URL
// argument equals `apiMethod` (any when empty) on `listener` (any when `anyListener`): from the
// `first`-th such request (1-based) on, `times` of them (-1: all). A kill point is such a rule
// with Hold or HoldReply, `times` 1: waitForHeld(1) tells the test that the request arrived (or
// was carried out), and the client can be killed before it sees the reply.
struct FaultRule {
    std::string path;
    std::string apiMethod;
    bool anyListener = true;
    Listener listener = Listener::Primary;
    int first = 1;
    int times = -1;
    Fault fault;
};

// Lower-case hex of `length` bytes, and of their SHA-1: the stand-in's block and content hashes.
std::string StandInHex(const unsigned char* bytes, size_t length);
std::string StandInSha1Hex(const char* data, size_t length);
