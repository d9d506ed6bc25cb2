#include "support/StandInDownloads.h"

#include "support/StandInApi.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr size_t kBlockSize = 524288;

const char kInfoMethod[] = "Sync.getDownloadInfo";
const char kMetaMethod[] = "Download.getMetaInfo";

// A download token: not guessable, so a client cannot fetch blocks it was never told about.
std::string NewToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        std::abort();
    return StandInHex(bytes, sizeof bytes);
}

std::string Text(unsigned long long value) {
    return StandInApi::JsonString(std::to_string(value));
}

bool Deflate(const std::string& in, std::string& out) {
    uLongf length = compressBound(uLong(in.size()));
    out.resize(length);
    // The fastest level: the stand-in must keep up with the client, not save bytes.
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &length, reinterpret_cast<const Bytef*>(in.data()),
                  uLong(in.size()), Z_BEST_SPEED) != Z_OK)
        return false;
    out.resize(length);
    return true;
}

bool Encrypt(const std::string& in, const std::string& key, const std::string& iv, std::string& out) {
    if (key.size() != 32 || iv.size() != 16)
        return false;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (!context)
        return false;
    out.resize(in.size() + 16);
    int length = 0;
    int last = 0;
    const bool ok =
        EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr,
                           reinterpret_cast<const unsigned char*>(key.data()),
                           reinterpret_cast<const unsigned char*>(iv.data())) == 1 &&
        EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(&out[0]), &length,
                          reinterpret_cast<const unsigned char*>(in.data()), int(in.size())) == 1 &&
        EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char*>(&out[0]) + length, &last) == 1;
    EVP_CIPHER_CTX_free(context);
    out.resize(ok ? size_t(length + last) : 0);
    return ok;
}

StandInReply Refusal(int errnoValue, const std::string& errmsg) {
    StandInReply reply;
    reply.status = 514;
    reply.contentType = "text/plain";
    reply.headers = {{"errno", std::to_string(errnoValue)}, {"errmsg", errmsg}};
    return reply;
}

} // namespace

const char StandInDownloads::kBlockMethod[] = "Download.downloadBlock";

StandInDownloads::StandInDownloads(CloudStandIn& server, StandInTree& tree, StandInAccounts& accounts)
    : m_server(server), m_tree(tree), m_accounts(accounts) {}

std::vector<std::string> StandInDownloads::blockHashes(const std::string& path) const {
    const std::optional<StandInNode> node = m_tree.node(path, false);
    if (!node || node->isDir)
        return {};
    const std::optional<StandInBlockStore::Content> content = m_tree.blocks().content(node->hash);
    return content ? content->blocks : std::vector<std::string>();
}

size_t StandInDownloads::blockCount() const {
    return m_tree.blocks().blockCount();
}

void StandInDownloads::setCompress(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_compress = on;
}

bool StandInDownloads::AddFault(BlockFault fault, const std::string& path, unsigned block) {
    if (!path.empty() || block != 0) {
        const std::vector<std::string> hashes = blockHashes(path);
        if (block == 0 || block > hashes.size())
            return false;
        fault.hash = hashes[block - 1];
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.push_back(std::move(fault));
    return true;
}

bool StandInDownloads::flipByte(const std::string& path, unsigned block, int times) {
    BlockFault fault;
    fault.kind = FaultKind::Flip;
    fault.times = times;
    return AddFault(fault, path, block);
}

bool StandInDownloads::resetBlock(const std::string& path, unsigned block, int times) {
    BlockFault fault;
    fault.kind = FaultKind::Reset;
    fault.times = times;
    return AddFault(fault, path, block);
}

bool StandInDownloads::refuseBlock(const std::string& path, unsigned block, int errnoValue,
                                   const std::string& errmsg, int times) {
    BlockFault fault;
    fault.kind = FaultKind::Refuse;
    fault.times = times;
    fault.errnoValue = errnoValue;
    fault.errmsg = errmsg;
    return AddFault(fault, path, block);
}

void StandInDownloads::throttle(long long bytesPerSecond) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bytesPerSecond = std::max(0LL, bytesPerSecond);
}

void StandInDownloads::emptyBlockList(int times) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_emptyLists = std::max(0, times);
}

void StandInDownloads::swapListedBlocks(int times) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_swappedLists = std::max(0, times);
}

void StandInDownloads::setPreEncoded(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_preEncoded = on;
    if (!on)
        m_encoded.clear();
}

bool StandInDownloads::preEncode(const std::string& qid, bool compress, bool encrypt) {
    const StandInSession session = m_accounts.session(qid);
    if (session.token.empty())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_preEncoded = true;
    }
    for (const std::string& hash : m_tree.blocks().blockList()) {
        const std::shared_ptr<const std::string> plain = m_tree.blocks().block(hash);
        // Blocks the client never asks compressed are kept as it asks for them.
        if (!plain || !Encode(hash, plain, false, compress && plain->size() > 1024, encrypt, session))
            return false;
    }
    return true;
}

void StandInDownloads::clearFaults() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.clear();
    m_bytesPerSecond = 0;
    m_emptyLists = 0;
    m_swappedLists = 0;
}

bool StandInDownloads::Serves(const std::string& method) {
    return method == kInfoMethod || method == kMetaMethod;
}

ApiAnswer StandInDownloads::Answer(const RecordedRequest& request) {
    return request.queryArg("method") == kInfoMethod ? InfoAnswer(request) : MetaAnswer(request);
}

ApiAnswer StandInDownloads::InfoAnswer(const RecordedRequest& request) {
    const std::string path = request.cookie("fpath");
    const std::optional<StandInNode> node = m_tree.node(path, false);
    if (!node || node->isDir)
        return ApiAnswer::Error(kStandInNoFile, "file not exist");
    const std::string dt = NewToken();
    bool compress = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_tokens[dt] = {request.queryArg("qid"), node->hash};
        compress = m_compress;
    }
    const std::string primary = "127.0.0.1:" + std::to_string(m_server.port(Listener::Primary));
    const std::string secondary = "127.0.0.2:" + std::to_string(m_server.port(Listener::Secondary));
    const std::string file =
        "{\"fpath\":" + StandInApi::JsonString(path) + ",\"fsize\":" + Text(node->size) +
        ",\"ctime\":" + Text(node->ctime) + ",\"mtime\":" + Text(node->mtime) +
        ",\"ver\":" + Text(node->version) + ",\"fhash\":" + StandInApi::JsonString(node->hash) +
        ",\"nid\":" + StandInApi::JsonString(node->nid) + ",\"dt\":" + StandInApi::JsonString(dt) +
        ",\"compress\":" + (compress ? "1" : "0") + ",\"http\":" + StandInApi::JsonString(primary) +
        ",\"addr_1\":" + StandInApi::JsonString(secondary + ",0,d") + ",\"addr_2\":\"\",\"backup\":\"\"}";
    return ApiAnswer::Data("{\"is_https\":0,\"file_info\":{" + StandInApi::JsonString(node->nid) + ":" +
                           file + "}}");
}

ApiAnswer StandInDownloads::MetaAnswer(const RecordedRequest& request) {
    const std::string dt = request.cookie("dt");
    std::lock_guard<std::mutex> lock(m_lock);
    const auto token = m_tokens.find(dt);
    if (token == m_tokens.end() || token->second.qid != request.queryArg("qid") ||
        token->second.fhash != request.cookie("fhash"))
        return ApiAnswer::Error(kStandInBadParam, "invalid download token");
    const std::optional<StandInBlockStore::Content> content = m_tree.blocks().content(token->second.fhash);
    if (!content)
        return ApiAnswer::Error(kStandInNoFile, "file not exist");
    if (m_emptyLists > 0) {
        --m_emptyLists;
        return ApiAnswer::Data("{}");
    }
    std::vector<BlockRef> blocks;
    for (size_t i = 0; i < content->blocks.size(); ++i) {
        const unsigned long long offset = i * kBlockSize;
        blocks.push_back({content->blocks[i], offset, unsigned(std::min<unsigned long long>(kBlockSize, content->size - offset))});
    }
    if (m_swappedLists > 0 && blocks.size() >= 2) {
        --m_swappedLists;
        std::swap(blocks[0].hash, blocks[1].hash);
        std::swap(blocks[0].size, blocks[1].size);
    }
    std::string list;
    list.reserve(blocks.size() * 120);
    for (const BlockRef& block : blocks) {
        list += list.empty() ? "{" : ",{";
        list += "\"bhash\":\"" + block.hash + "\",\"bsize\":" + Text(block.size) +
                ",\"boffset\":" + Text(block.offset) + ",\"dt\":" + StandInApi::JsonString(dt) + "}";
    }
    return ApiAnswer::Data("{\"btotal\":" + Text(content->blocks.size()) + ",\"fsize\":" + Text(content->size) +
                           ",\"block_info\":[" + list + "]}");
}

bool StandInDownloads::TakeFaultLocked(const std::string& hash, BlockFault& fault) {
    for (BlockFault& candidate : m_faults) {
        if (candidate.times == 0 || (!candidate.hash.empty() && candidate.hash != hash))
            continue;
        if (candidate.times > 0)
            --candidate.times;
        fault = candidate;
        return true;
    }
    return false;
}

std::shared_ptr<const std::string> StandInDownloads::Encode(const std::string& hash,
                                                            const std::shared_ptr<const std::string>& plain,
                                                            bool flip, bool compress, bool encrypt,
                                                            const StandInSession& session) {
    if (!flip && !compress && !encrypt)
        return plain;
    const std::string key = hash + (compress ? ":z" : ":-") + (encrypt ? ":" + session.key + session.iv : "");
    if (!flip) {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_encoded.find(key);
        if (found != m_encoded.end())
            return found->second;
    }
    std::string data = *plain;
    if (flip && !data.empty())
        data[data.size() / 2] ^= 0x20;
    std::string encoded;
    if (compress) {
        if (!Deflate(data, encoded))
            return nullptr;
        data.swap(encoded);
    }
    if (encrypt) {
        if (!Encrypt(data, session.key, session.iv, encoded))
            return nullptr;
        data.swap(encoded);
    }
    auto result = std::make_shared<const std::string>(std::move(data));
    if (!flip) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_preEncoded)
            m_encoded.emplace(key, result);
    }
    return result;
}

StandInReply StandInDownloads::BlockReply(const RecordedRequest& request) {
    if (!m_accounts.hasSession(request))
        return Refusal(kStandInTokenExpired, "token expired");
    const std::string hash = request.cookie("bhash");
    std::shared_ptr<const std::string> plain;
    BlockFault fault;
    bool faulted = false;
    long long bytesPerSecond = 0;
    std::string fhash;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto token = m_tokens.find(request.cookie("dt"));
        if (token == m_tokens.end() || token->second.qid != request.queryArg("qid"))
            return Refusal(kStandInBadParam, "invalid download token");
        fhash = token->second.fhash;
    }
    // The store is read outside the lock: a block may come from its file.
    const std::optional<StandInBlockStore::Content> content = m_tree.blocks().content(fhash);
    if (content && std::find(content->blocks.begin(), content->blocks.end(), hash) != content->blocks.end())
        plain = m_tree.blocks().block(hash);
    if (!plain)
        return Refusal(kStandInNoBlock, "block not exist");
    {
        std::lock_guard<std::mutex> lock(m_lock);
        faulted = TakeFaultLocked(hash, fault);
        bytesPerSecond = m_bytesPerSecond;
    }
    StandInReply reply;
    if (faulted && fault.kind == FaultKind::Refuse)
        return Refusal(fault.errnoValue, fault.errmsg);
    if (faulted && fault.kind == FaultKind::Reset) {
        reply.reset = true;
        return reply;
    }
    const bool compress = request.cookie("compress") == "1";
    const bool encrypt = request.cookie("encrypt") == "2";
    const StandInSession session = encrypt ? m_accounts.sessionOf(request) : StandInSession();
    reply.sharedBody =
        Encode(hash, plain, faulted && fault.kind == FaultKind::Flip, compress, encrypt, session);
    if (!reply.sharedBody)
        return Refusal(kStandInBadParam, "cannot encode the block");
    reply.contentType = "application/octet-stream";
    if (bytesPerSecond > 0) {
        // Twenty pieces a second, each at least one byte.
        reply.pieceBytes = int(std::max(1LL, std::min(bytesPerSecond / 20, 1LL << 30)));
        reply.pieceDelayMs = int(std::max(1LL, 1000LL * reply.pieceBytes / bytesPerSecond));
    }
    return reply;
}
