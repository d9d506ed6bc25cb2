#include "support/StandInApi.h"

#include "support/ServiceSignature.h"

#include <cstdio>

namespace {

// The common URL arguments the client signs, in the order it sends them.
const char* const kSignedArgs[] = {"method", "qid", "eid", "devtype", "v", "devid", "devname", "rtick"};

bool SignatureMatches(const RecordedRequest& request) {
    NameValueList signedArgs;
    for (const char* name : kSignedArgs) {
        bool found = false;
        for (const auto& [key, value] : request.queryArgs) {
            if (key == name) {
                signedArgs.emplace_back(key, value);
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    const std::string sign = request.queryArg("sign");
    return !sign.empty() && sign == ServiceSign(signedArgs);
}

// The service recomputes "fsum" over the account, the enterprise and the file it is asked about.
bool FsumMatches(const RecordedRequest& request) {
    const NameValueList values = {{"qid", request.queryArg("qid")},
                                  {"eid", request.queryArg("eid")},
                                  {"fhash", request.cookie("fhash")},
                                  {"fname", request.cookie("fname")},
                                  {"fsize", request.cookie("fsize")}};
    return request.cookie("fsum") == ServiceSign(values);
}

} // namespace

StandInApi::StandInApi(CloudStandIn& server)
    : m_server(server), m_accounts(m_tree), m_uploads(server, m_tree),
      m_downloads(server, m_tree, m_accounts), m_fileOps(server, m_tree) {
    m_server.route("*", "/intf.php", [this](const RecordedRequest& request) { return Answer(request); });
}

void StandInApi::setScript(const std::string& method, ApiScript script) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_scripts[method] = std::move(script);
}

void StandInApi::setAnswer(const std::string& method, const ApiAnswer& answer) {
    setScript(method, [answer](const RecordedRequest&) { return answer; });
}

void StandInApi::clearScript(const std::string& method) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_scripts.erase(method);
}

std::string StandInApi::defaultConfigData() const {
    const std::string primary = "127.0.0.1:" + std::to_string(m_server.port(Listener::Primary));
    const std::string secondary = "127.0.0.2:" + std::to_string(m_server.port(Listener::Secondary));
    return "{\"is_https\":0,\"cip\":\"127.0.0.1\",\"api\":{\"http\":" + JsonString(primary) +
           ",\"addr_1\":" + JsonString(secondary + ",0,d") +
           ",\"backup\":\"\"},\"q\":{\"http\":" + JsonString(primary) +
           "},\"p\":{\"http\":" + JsonString(primary) + "}}";
}

std::vector<RecordedRequest> StandInApi::calls(const std::string& method) const {
    std::vector<RecordedRequest> result;
    for (const RecordedRequest& request : m_server.requests()) {
        if (request.path == "/intf.php" && request.queryArg("method") == method)
            result.push_back(request);
    }
    return result;
}

std::string StandInApi::JsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string StandInApi::Envelope(int errnoValue, const std::string& errmsg, const std::string& data) {
    // One allocation: "data" may be a page of nodes, a megabyte.
    std::string envelope;
    envelope.reserve(data.size() + errmsg.size() + 64);
    envelope +=
        "{\"errno\":" + std::to_string(errnoValue) + ",\"errmsg\":" + JsonString(errmsg) + ",\"data\":";
    if (data.empty())
        envelope += "null";
    else
        envelope += data;
    envelope += '}';
    return envelope;
}

std::string StandInApi::SiteUrl() const {
    // The service's web pages are on https; so are the stand-in's when it has a TLS listener.
    const int tls = m_server.port(Listener::Tls);
    return tls != 0 ? "https://127.0.0.1:" + std::to_string(tls)
                    : "http://127.0.0.1:" + std::to_string(m_server.port(Listener::Primary));
}

StandInReply StandInApi::Answer(const RecordedRequest& request) {
    StandInReply reply;
    const std::string method = request.queryArg("method");
    if (!SignatureMatches(request)) {
        reply.body = Envelope(kStandInBadSign, "sign error", "null");
        return reply;
    }
    if (method == "Sync.getAddr" && !FsumMatches(request)) {
        reply.body = Envelope(kStandInBadFsum, "fsum error", "null");
        return reply;
    }
    ApiScript script;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_scripts.find(method);
        if (it != m_scripts.end())
            script = it->second;
    }
    if (!script && method == StandInDownloads::kBlockMethod)
        return m_downloads.BlockReply(request); // block data, not an envelope
    ApiAnswer answer;
    if (script)
        answer = script(request);
    else if (method == "User.getConfig")
        answer = ApiAnswer::Data(defaultConfigData());
    else if (StandInTree::Serves(method))
        answer = m_accounts.hasSession(request) ? m_tree.Answer(request)
                                                : ApiAnswer::Error(kStandInTokenExpired, "token expired");
    else if (StandInUploads::Serves(method))
        answer = m_accounts.hasSession(request) ? m_uploads.Answer(request)
                                                : ApiAnswer::Error(kStandInTokenExpired, "token expired");
    else if (StandInFileOps::Serves(method))
        answer = m_accounts.hasSession(request) ? m_fileOps.Answer(request)
                                                : ApiAnswer::Error(kStandInTokenExpired, "token expired");
    else if (StandInDownloads::Serves(method))
        answer = m_accounts.hasSession(request) ? m_downloads.Answer(request)
                                                : ApiAnswer::Error(kStandInTokenExpired, "token expired");
    else if (!m_accounts.Answer(request, SiteUrl(), answer))
        answer = ApiAnswer::Error(kStandInNoMethod, "method not supported");
    reply.status = answer.status;
    // With a charset httplib sends the body as it is; a bare "application/json" it compresses with
    // brotli at its slowest setting whenever the client offers "br", seconds for a page of nodes.
    reply.contentType = "application/json; charset=utf-8";
    reply.body = answer.rawBody ? answer.body : Envelope(answer.errnoValue, answer.errmsg, answer.data);
    return reply;
}
