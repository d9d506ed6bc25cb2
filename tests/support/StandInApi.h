#pragma once
// The API of the stand-in of the cloud service: "/intf.php" on every listener of a CloudStandIn.
// Like the service it checks the signature of the common URL arguments with the shared key (a bad
// one gets an error reply), reads the business parameters from the cookie, checks the "fsum" of an
// upload-address request, and answers each method with the envelope
// {"errno": .., "errmsg": .., "data": ..}. What a method answers is a script that tests set; the
// configuration reply has a default that names the stand-in itself as the API host (127.0.0.1) and
// its second listener (127.0.0.2) as a fallback address. Unknown methods get an error reply.
//
// Threads: scripts are set from the test's thread and run on the servers' threads; the script
// table is guarded by a mutex, and a script must be safe to run on any thread.

#include "support/CloudStandIn.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// Error numbers the stand-in gives for requests the service would refuse.
constexpr int kStandInBadSign = 1002;  // the signature of the URL arguments does not match
constexpr int kStandInBadFsum = 1003;  // the "fsum" of an upload-address request does not match
constexpr int kStandInNoMethod = 1007; // no such method (the service's "not supported")

// What a method answers.
struct ApiAnswer {
    int errnoValue = 0;
    std::string errmsg;
    std::string data = "{}"; // JSON text of the "data" member
    // When set, the body is sent as it stands instead of an envelope (for broken replies).
    bool rawBody = false;
    std::string body;
    int status = 200;

    // Success with `data` (JSON text).
    static ApiAnswer Data(const std::string& data) {
        ApiAnswer answer;
        answer.data = data;
        return answer;
    }
    // The service's error `errnoValue` with its text.
    static ApiAnswer Error(int errnoValue, const std::string& errmsg) {
        ApiAnswer answer;
        answer.errnoValue = errnoValue;
        answer.errmsg = errmsg;
        answer.data = "null";
        return answer;
    }
};

using ApiScript = std::function<ApiAnswer(const RecordedRequest&)>;

class StandInApi {
public:
    // Registers "/intf.php" on `server`, which must outlive this object and be started.
    explicit StandInApi(CloudStandIn& server);

    // Answers `method` (such as "User.getConfig") with `script`, or always with `answer`.
    void setScript(const std::string& method, ApiScript script);
    void setAnswer(const std::string& method, const ApiAnswer& answer);
    // The default "data" of "User.getConfig": API host 127.0.0.1:<primary port>, fallback address
    // 127.0.0.2:<secondary port>, plain http.
    std::string defaultConfigData() const;

    // The "/intf.php" requests of `method` received so far.
    std::vector<RecordedRequest> calls(const std::string& method) const;

    // Builds an envelope; `data` is JSON text.
    static std::string Envelope(int errnoValue, const std::string& errmsg, const std::string& data);
    // `text` as a JSON string literal, quotes included.
    static std::string JsonString(const std::string& text);

private:
    StandInReply Answer(const RecordedRequest& request);

    CloudStandIn& m_server;
    mutable std::mutex m_lock;
    std::map<std::string, ApiScript> m_scripts; // guarded by m_lock
};
