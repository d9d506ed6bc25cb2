#include "support/StandInUploads.h"

#include "support/ServiceSignature.h"
#include "support/StandInApi.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

constexpr unsigned long long kBlockSize = 524288;  // the client's block
constexpr unsigned long long kMaxBlocks = 4194304; // 2 TiB: no file of the service has more

const char kGetAddr[] = "Sync.getAddr";
const char kRequest[] = "Upload.request";
const char kBlock[] = "Upload.block";
const char kCommit[] = "Upload.commit";
const char kAdd[] = "Sync.addFile";
const char kUploadFile[] = "Upload.uploadFile";

bool IsDigits(const std::string& text) {
    return !text.empty() && text.size() <= 19 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsSha1Hex(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// A file path as the client names files: absolute, not a folder.
bool IsFilePath(const std::string& path) {
    return path.size() > 1 && path.front() == '/' && path.back() != '/';
}

std::string JoinedHash(const std::vector<std::string>& blocks) {
    std::string joined;
    joined.reserve(blocks.size() * 40);
    for (const std::string& hash : blocks)
        joined += hash;
    return StandInSha1Hex(joined.data(), joined.size());
}

std::string RandomToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        std::abort(); // no randomness: tokens could be guessed
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

// The field of a multipart form, "" when absent.
std::string Field(const RecordedRequest& request, const char* name) {
    const FormPart* part = request.part(name);
    return part && part->filename.empty() ? part->content : std::string();
}

// A value of a form-encoded body.
std::string FormValue(const std::string& body, const std::string& name) {
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (PhpUrlDecode(pair.substr(0, eq)) == name)
            return eq == std::string::npos ? std::string() : PhpUrlDecode(pair.substr(eq + 1));
        start = end + 1;
    }
    return std::string();
}

// The bytes a request carries in its part "file": inflated when "compress" is "1" (the part then
// exactly "compress_size" long), else as they are. False when they are not `size` bytes.
bool Payload(const std::string& part, const std::string& compress, const std::string& compressSize,
             unsigned long long size, std::string& bytes) {
    if (compress.empty() && compressSize.empty()) {
        if (part.size() != size)
            return false;
        bytes = part;
        return true;
    }
    if (compress != "1" || !IsDigits(compressSize) || std::stoull(compressSize) != part.size() ||
        part.empty())
        return false;
    bytes.resize(size);
    uLongf length = uLongf(size);
    // A buffer of exactly `size` bytes: more inflated data fails as Z_BUF_ERROR.
    if (uncompress(reinterpret_cast<Bytef*>(&bytes[0]), &length, reinterpret_cast<const Bytef*>(part.data()),
                   uLong(part.size())) != Z_OK ||
        length != size)
        return false;
    return true;
}

ApiAnswer Bad(const std::string& what) {
    return ApiAnswer::Error(kStandInBadParam, "invalid " + what);
}

std::string Text(const std::string& text) {
    return StandInApi::JsonString(text);
}

} // namespace

StandInUploads::StandInUploads(CloudStandIn& server, StandInTree& tree) : m_server(server), m_tree(tree) {}

bool StandInUploads::Serves(const std::string& method) {
    return method == kGetAddr || method == kRequest || method == kBlock || method == kCommit ||
           method == kAdd || method == kUploadFile;
}

ApiAnswer StandInUploads::Answer(const RecordedRequest& request) {
    const std::string method = request.queryArg("method");
    if (std::optional<ApiAnswer> scripted = m_failures.take(method))
        return *scripted;
    if (method == kGetAddr)
        return GetAddr(request);
    if (method == kRequest)
        return Request(request);
    if (method == kBlock)
        return Block(request);
    if (method == kCommit)
        return Commit(request);
    if (method == kAdd)
        return Add(request);
    return UploadFile(request);
}

ApiAnswer StandInUploads::GetAddr(const RecordedRequest& request) {
    Pending upload;
    upload.qid = request.queryArg("qid");
    upload.path = request.cookie("fname");
    upload.fhash = request.cookie("fhash");
    const std::string size = request.cookie("fsize");
    const std::string ctime = request.cookie("fctime");
    const std::string mtime = request.cookie("fmtime");
    const std::string attrs = request.cookie("fattr");
    if (!IsFilePath(upload.path))
        return Bad("fname");
    if (!IsSha1Hex(upload.fhash))
        return Bad("fhash");
    if (!IsDigits(size) || !IsDigits(ctime) || !IsDigits(mtime) || !IsDigits(attrs))
        return Bad("file values");
    upload.size = std::stoull(size);
    upload.ctime = unsigned(std::stoul(ctime));
    upload.mtime = unsigned(std::stoul(mtime));
    upload.attrs = unsigned(std::stoul(attrs));

    std::optional<Content> known;
    std::string tk;
    bool compress = true;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        known = m_tree.blocks().content(upload.fhash);
        if (known && known->size != upload.size)
            known.reset();
        if (!known) {
            tk = RandomToken();
            m_pending.emplace(tk, upload);
            compress = m_compress;
        }
    }
    if (known) {
        const std::optional<StandInNode> node = Place(upload, *known);
        if (!node)
            return ApiAnswer::Error(kStandInCannotPlace, "cannot place " + upload.path);
        // "root_nid": the root of the tree the file is in; no shared folder lies above it here.
        return ApiAnswer::Data("{\"autoCommit\":true,\"ver\":" + std::to_string(node->version) +
                               ",\"nv\":" + Text(std::to_string(node->nv)) + ",\"root_nid\":\"0\"" +
                               ",\"node_info\":{\"nid\":" + Text(node->nid) + ",\"pid\":" + Text(node->pid) +
                               ",\"name\":" + Text(node->name) + ",\"file_hash\":" + Text(node->hash) +
                               ",\"count_size\":" + Text(std::to_string(node->size)) + "}}");
    }
    const std::string primary = "127.0.0.1:" + std::to_string(m_server.port(Listener::Primary));
    const std::string secondary = "127.0.0.2:" + std::to_string(m_server.port(Listener::Secondary));
    return ApiAnswer::Data("{\"autoCommit\":false,\"ver\":0,\"tk\":" + Text(tk) +
                           ",\"http\":" + Text(primary) + ",\"addr_1\":" + Text(secondary + ",0,d") +
                           ",\"addr_2\":\"\",\"backup\":\"\",\"is_https\":0,\"compress\":" +
                           (compress ? "true" : "false") + "}");
}

StandInUploads::Pending* StandInUploads::PendingLocked(const std::string& tk,
                                                       const RecordedRequest& request) {
    const auto it = m_pending.find(tk);
    if (tk.empty() || it == m_pending.end() || it->second.qid != request.queryArg("qid"))
        return nullptr;
    return &it->second;
}

ApiAnswer StandInUploads::Request(const RecordedRequest& request) {
    const std::string path = Field(request, "fname");
    const std::string fhash = Field(request, "fhash");
    const std::string size = Field(request, "fsize");
    const FormPart* file = request.part("file");
    if (!IsDigits(size) || !IsDigits(Field(request, "fctime")) || !IsDigits(Field(request, "fmtime")) ||
        !IsDigits(Field(request, "fattr")))
        return Bad("file values");
    if (!file || file->filename.empty())
        return Bad("block list");
    const unsigned long long fsize = std::stoull(size);

    // {"request": {"totalblock": n, "block_info": [{"bidx", "bsize", "boffset" (text), "bhash"}]}}
    const QJsonObject list = QJsonDocument::fromJson(QByteArray::fromStdString(file->content))
                                 .object()
                                 .value(QStringLiteral("request"))
                                 .toObject();
    const QJsonValue total = list.value(QStringLiteral("totalblock"));
    const QJsonArray items = list.value(QStringLiteral("block_info")).toArray();
    const unsigned long long expected = (fsize + kBlockSize - 1) / kBlockSize;
    if (!total.isDouble() || total.toDouble() != double(items.size()) || expected > kMaxBlocks ||
        static_cast<unsigned long long>(items.size()) != expected)
        return ApiAnswer::Error(kStandInBadBlock, "the blocks do not tile the file");
    std::vector<std::string> hashes;
    hashes.reserve(size_t(expected));
    for (int i = 0; i < items.size(); ++i) {
        const QJsonObject item = items.at(i).toObject();
        const unsigned long long offset = i * kBlockSize;
        const std::string boffset = item.value(QStringLiteral("boffset")).toString().toStdString();
        const std::string bhash = item.value(QStringLiteral("bhash")).toString().toStdString();
        if (!item.value(QStringLiteral("bidx")).isDouble() ||
            item.value(QStringLiteral("bidx")).toDouble() != double(i + 1) ||
            !item.value(QStringLiteral("bsize")).isDouble() ||
            item.value(QStringLiteral("bsize")).toDouble() != double(std::min(kBlockSize, fsize - offset)) ||
            boffset != std::to_string(offset) || !IsSha1Hex(bhash))
            return ApiAnswer::Error(kStandInBadBlock,
                                    "block " + std::to_string(i + 1) + " is not the file's");
        hashes.push_back(bhash);
    }
    if (JoinedHash(hashes) != fhash)
        return ApiAnswer::Error(kStandInBadBlock, "the block hashes do not make fhash");

    std::lock_guard<std::mutex> lock(m_lock);
    const Pending* upload = PendingLocked(Field(request, "tk"), request);
    if (!upload || upload->path != path || upload->fhash != fhash || upload->size != fsize)
        return ApiAnswer::Error(kStandInNoUpload, "no such upload");
    Session session;
    session.view.tid = RandomToken();
    session.view.tk = Field(request, "tk");
    session.view.path = path;
    session.view.fhash = fhash;
    session.view.size = fsize;
    session.view.blocks = int(hashes.size());
    std::string data = "{\"tid\":" + Text(session.view.tid) + ",\"btotal\":" + std::to_string(hashes.size()) +
                       ",\"block_info\":[";
    for (size_t i = 0; i < hashes.size(); ++i) {
        const bool found = m_tree.blocks().hasBlock(hashes[i]);
        session.view.found += found;
        data += (i ? ",{\"bidx\":" : "{\"bidx\":") + std::to_string(i + 1) + ",\"bhash\":" + Text(hashes[i]) +
                ",\"found\":" + (found ? "1}" : "0}");
    }
    data += "]}";
    session.hashes = std::move(hashes);
    m_sessionOrder.push_back(session.view.tid);
    m_sessions.emplace(session.view.tid, std::move(session));
    return ApiAnswer::Data(data);
}

ApiAnswer StandInUploads::Block(const RecordedRequest& request) {
    const std::string tid = request.cookie("tid");
    const std::string bhash = request.cookie("bhash");
    const std::string bidx = request.cookie("bidx");
    const std::string boffset = request.cookie("boffset");
    const std::string bsize = request.cookie("bsize");
    const FormPart* file = request.part("file");
    if (!IsDigits(bidx) || !IsDigits(boffset) || !IsDigits(bsize) || !file)
        return Bad("block values");
    const unsigned long long index = std::stoull(bidx);
    const unsigned long long size = std::stoull(bsize);
    int delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_sessions.find(tid);
        if (it == m_sessions.end() || !PendingLocked(it->second.view.tk, request))
            return ApiAnswer::Error(kStandInNoUpload, "no such upload session");
        Session& session = it->second;
        const unsigned long long offset = (index - 1) * kBlockSize;
        if (index < 1 || index > session.hashes.size() || std::stoull(boffset) != offset ||
            size != std::min(kBlockSize, session.view.size - offset) || bhash != session.hashes[index - 1])
            return ApiAnswer::Error(kStandInBadBlock, "block " + bidx + " is not the session's");
        session.view.maxInFlight = std::max(session.view.maxInFlight, ++session.inFlight);
        delayMs = m_blockDelayMs;
    }
    // Leaves the block's count in flight on every way out.
    struct Leave {
        StandInUploads* self;
        std::string tid;
        ~Leave() {
            std::lock_guard<std::mutex> lock(self->m_lock);
            --self->m_sessions.at(tid).inFlight;
        }
    } leave{this, tid};
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));

    auto bytes = std::make_shared<std::string>();
    if (!Payload(file->content, request.cookie("compress"), request.cookie("compress_size"), size, *bytes))
        return ApiAnswer::Error(kStandInBadBlock, "block " + bidx + " is not " + bsize + " bytes");
    if (StandInSha1Hex(bytes->data(), bytes->size()) != bhash)
        return ApiAnswer::Error(kStandInBadBlock, "block " + bidx + " does not match its hash");
    if (!KeepBlock(bhash, std::move(bytes)))
        return ApiAnswer::Error(kStandInStoreFailed, "cannot store block " + bidx);
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_sessions.at(tid).view.received;
    return ApiAnswer::Data("{\"bidx\":" + bidx + ",\"bhash\":" + Text(bhash) + "}");
}

ApiAnswer StandInUploads::Commit(const RecordedRequest& request) {
    const std::string tid = request.cookie("tid");
    Content content;
    std::string tk;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_sessions.find(tid);
        if (it == m_sessions.end() || !PendingLocked(it->second.view.tk, request))
            return ApiAnswer::Error(kStandInNoUpload, "no such upload session");
        const Session& session = it->second;
        if (!session.done.empty())
            return ApiAnswer::Data(session.done);
        for (const std::string& hash : session.hashes) {
            if (!m_tree.blocks().hasBlock(hash))
                return ApiAnswer::Error(kStandInBlocksMissing, "a block is missing");
        }
        content.size = session.view.size;
        content.blocks = session.hashes;
        tk = session.view.tk;
    }
    std::string data;
    const ApiAnswer answer = Finish(tk, content, data);
    if (answer.errnoValue == 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        Session& session = m_sessions.at(tid);
        session.done = answer.data;
        session.view.committed = true;
    }
    return answer;
}

ApiAnswer StandInUploads::Finish(const std::string& tk, const Content& content, std::string& replyData) {
    Pending upload;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Pending& pending = m_pending.at(tk);
        m_tree.blocks().addContent(pending.fhash, content);
        if (!m_autoCommit) {
            pending.etk = RandomToken();
            replyData =
                "{\"autoCommit\":false,\"ver\":0,\"tk\":" + Text(tk) + ",\"etk\":" + Text(pending.etk) + "}";
            return ApiAnswer::Data(replyData);
        }
        upload = pending;
    }
    const std::optional<StandInNode> node = Place(upload, content);
    if (!node)
        return ApiAnswer::Error(kStandInCannotPlace, "cannot place " + upload.path);
    replyData = "{\"autoCommit\":true,\"ver\":" + std::to_string(node->version) + ",\"tk\":" + Text(tk) +
                ",\"etk\":\"\"}";
    return ApiAnswer::Data(replyData);
}

ApiAnswer StandInUploads::Add(const RecordedRequest& request) {
    const std::string tk = request.cookie("tk");
    const std::string etk = request.cookie("etk");
    const std::string path = FormValue(request.body, "fname");
    Pending upload;
    Content content;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const Pending* pending = PendingLocked(tk, request);
        if (!pending || pending->etk.empty() || pending->etk != etk || pending->path != path)
            return ApiAnswer::Error(kStandInNoUpload, "no such committed upload");
        if (!pending->addDone.empty())
            return ApiAnswer::Data(pending->addDone);
        upload = *pending;
    }
    content = m_tree.blocks().content(upload.fhash).value_or(Content());
    const std::optional<StandInNode> node = Place(upload, content);
    if (!node)
        return ApiAnswer::Error(kStandInCannotPlace, "cannot place " + upload.path);
    const std::string data = "{\"ver\":" + std::to_string(node->version) + "}";
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending.at(tk).addDone = data;
    return ApiAnswer::Data(data);
}

ApiAnswer StandInUploads::UploadFile(const RecordedRequest& request) {
    const std::string tk = Field(request, "tk");
    const std::string path = Field(request, "fname");
    const std::string fhash = Field(request, "fhash");
    const std::string size = Field(request, "fsize");
    const FormPart* file = request.part("file");
    if (!IsDigits(size) || !IsDigits(Field(request, "fctime")) || !IsDigits(Field(request, "fmtime")) ||
        !IsDigits(Field(request, "fattr")) || !file || file->filename.empty())
        return Bad("file values");
    const unsigned long long fsize = std::stoull(size);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const Pending* upload = PendingLocked(tk, request);
        if (!upload || upload->path != path || upload->fhash != fhash || upload->size != fsize)
            return ApiAnswer::Error(kStandInNoUpload, "no such upload");
        if (!upload->done.empty())
            return ApiAnswer::Data(upload->done);
    }
    if (fsize > kBlockSize)
        return Bad("fsize: too large for one request");
    auto bytes = std::make_shared<std::string>();
    if (!Payload(file->content, Field(request, "compress"), Field(request, "compress_size"), fsize, *bytes))
        return ApiAnswer::Error(kStandInBadBlock, "the content is not " + size + " bytes");
    Content content;
    content.size = fsize;
    if (fsize > 0)
        content.blocks.push_back(StandInSha1Hex(bytes->data(), bytes->size()));
    if (JoinedHash(content.blocks) != fhash)
        return ApiAnswer::Error(kStandInBadBlock, "the content does not match fhash");
    if (fsize > 0 && !KeepBlock(content.blocks.front(), std::move(bytes)))
        return ApiAnswer::Error(kStandInStoreFailed, "cannot store the content");
    std::string data;
    const ApiAnswer answer = Finish(tk, content, data);
    if (answer.errnoValue == 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pending.at(tk).done = data;
    }
    return answer;
}

std::optional<StandInNode> StandInUploads::Place(const Pending& upload, const Content& content) {
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        keep = m_keepBytes;
    }
    // The blocks are in the store already: the file is placed by its content hash.
    return m_tree.putFile(upload.path, content.size, upload.fhash, upload.ctime, upload.mtime, upload.attrs,
                          keep);
}

std::string StandInUploads::seedBlock(const std::string& bytes) {
    return m_tree.blocks().putBlock(bytes);
}

std::string StandInUploads::seedContent(const std::string& bytes) {
    return m_tree.blocks().putContent(bytes);
}

bool StandInUploads::KeepBlock(const std::string& hash, std::shared_ptr<const std::string> bytes) {
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        keep = m_keepBytes;
    }
    // Without the bytes kept (a benchmark's), the service still knows the block: its hash is what
    // commits and instant uploads look for.
    return m_tree.blocks().putBlock(hash, keep ? std::move(bytes) : nullptr);
}

bool StandInUploads::hasBlock(const std::string& sha1) const {
    return m_tree.blocks().hasBlock(sha1);
}

bool StandInUploads::hasContent(const std::string& contentHash) const {
    return m_tree.blocks().content(contentHash).has_value();
}

std::vector<StandInUploadSession> StandInUploads::sessions() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<StandInUploadSession> result;
    for (const std::string& tid : m_sessionOrder)
        result.push_back(m_sessions.at(tid).view);
    return result;
}

std::optional<StandInUploadSession> StandInUploads::latestSession(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_sessionOrder.rbegin(); it != m_sessionOrder.rend(); ++it) {
        const Session& session = m_sessions.at(*it);
        if (session.view.path == path)
            return session.view;
    }
    return std::nullopt;
}

void StandInUploads::setCompress(bool allowed) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_compress = allowed;
}

void StandInUploads::setAutoCommit(bool autoCommit) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_autoCommit = autoCommit;
}

void StandInUploads::setKeepBytes(bool keep) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_keepBytes = keep;
}

void StandInUploads::setBlockDelayMs(int delayMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_blockDelayMs = std::max(0, delayMs);
}

void StandInUploads::fail(const std::string& method, int times, const ApiAnswer& answer) {
    m_failures.set(method, times, answer);
}

void StandInUploads::AddFault(const std::string& method, int times, FaultKind kind) {
    FaultRule rule;
    rule.path = "/intf.php";
    rule.apiMethod = method;
    rule.times = times;
    rule.fault.kind = kind;
    m_server.addFault(rule);
}

void StandInUploads::hold(const std::string& method, int times) {
    AddFault(method, times, FaultKind::Hold);
}

void StandInUploads::reset(const std::string& method, int times) {
    AddFault(method, times, FaultKind::Reset);
}

void StandInUploads::releaseHeld() {
    m_server.releaseHeld();
}

bool StandInUploads::waitForHeld(int count, int timeoutMs) const {
    return m_server.waitForHeld(count, timeoutMs);
}
