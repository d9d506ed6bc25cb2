#pragma once
// The download side of the stand-in of the service: the three download methods, answered from the
// tree's block store (every file version whose content it holds: StandInTree::addFileBytes,
// editFileBytes, uploads), the tree and the account service. StandInApi owns one and routes the
// methods to it after the signature check.
//
// Methods (cookie parameters as the client's builders send them):
// - "Sync.getDownloadInfo" ("fpath", "nid", "owner_qid"; needs the session, as every tree
//   method): the live file at "fpath", else errno kStandInNoFile. data {"is_https": 0,
//   "file_info": {"<nid>": {"fpath", "fsize", "ctime", "mtime", "ver", "fhash", "nid", "dt",
//   "compress", "http", "addr_1", "addr_2", "backup"}}}: "http" names the primary listener,
//   "addr_1" the second one ("127.0.0.2:<port>,0,d"), "dt" is a new download token of this
//   account for this content.
// - "Download.getMetaInfo" ("fhash", "nid", "dt"; needs the session): the token must have been
//   handed out to this account for this "fhash", else errno kStandInBadParam; the store must hold
//   the content, else kStandInNoFile. data {"btotal", "fsize", "block_info": [{"bhash", "bsize",
//   "boffset", "dt"}]}, in file order.
// - "Download.downloadBlock" ("bhash", "dt", "open_app_id", "encrypt", "compress"): the block as
//   application/octet-stream; deflated with zlib compress2 when "compress" is 1, then encrypted
//   with AES-256-CBC (PKCS#7 padding) when "encrypt" is 2, with the 32-character key and the
//   16-character IV of the account's login, the same IV for every block. Refusals come as HTTP 514
//   with the headers "errno" and "errmsg": no session (kStandInTokenExpired), a token not handed
//   out to this account (kStandInBadParam), a hash that is not a block of the token's content
//   (kStandInNoBlock).
// Numbers go as decimal texts, as in the tree's replies.
//
// Knobs, for faults and timing only; everything else is built from the state. A block is named
// by a path and its number (from 1, in file order) in the current version of that file, or by
// "" and 0 for every block; `times` counts the replies a fault changes (-1: all of them). The
// first fault that matches a block request applies. Holding the replies after the n-th is the
// server's fault rule: FaultRule{"/intf.php", kBlockMethod, ..., first n + 1, Fault Hold}, let go
// by CloudStandIn::releaseHeld() (Stop() ends it too).
//
// Threads: tests call from their thread while the servers' threads answer. The tokens, the
// encoded blocks and the knobs are guarded by m_lock, which is never held while a reply is encoded
// or sent, nor while the block store is read.

#include "support/CloudStandIn.h"
#include "support/StandInAccounts.h"
#include "support/StandInAnswer.h"
#include "support/StandInTree.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

constexpr int kStandInNoFile = 3001;  // no such file, or the store lacks its content
constexpr int kStandInNoBlock = 3008; // no such block in the content the token is for

class StandInDownloads {
public:
    // All three must outlive this object.
    StandInDownloads(CloudStandIn& server, StandInTree& tree, StandInAccounts& accounts);
    StandInDownloads(const StandInDownloads&) = delete;
    StandInDownloads& operator=(const StandInDownloads&) = delete;

    // The block hashes of the current version of the file at `path`, in file order; empty when
    // there is no such file or the store lacks its content.
    std::vector<std::string> blockHashes(const std::string& path) const;
    // Distinct blocks held.
    size_t blockCount() const;

    // The "compress" flag of the download information: the service allows compressed blocks.
    // On unless set.
    void setCompress(bool on);

    // Block faults; false when the block cannot be named (no such file, content or number).
    // One byte of the block's data is flipped before it is encoded.
    bool flipByte(const std::string& path, unsigned block, int times = -1);
    // No reply: the connection ends with a TCP reset.
    bool resetBlock(const std::string& path, unsigned block, int times = -1);
    // HTTP 514 with the headers "errno" and "errmsg".
    bool refuseBlock(const std::string& path, unsigned block, int errnoValue, const std::string& errmsg,
                     int times = -1);
    // Each block reply goes out at most at `bytesPerSecond` (0: at full speed).
    void throttle(long long bytesPerSecond);
    // The next `times` block-list requests are answered with an empty "data" object.
    void emptyBlockList(int times);
    // The next `times` block lists name the first two blocks' hashes (and sizes) the other way
    // round, each at the other's offset: every listed block still matches its hash.
    void swapListedBlocks(int times);
    // Pre-encoded blocks: each block is kept as encoded for its reply (by hash, flags, key and IV)
    // and later replies of the same encoding are sent from it, so that a benchmark measures the
    // client and not the stand-in's zlib and AES. Off unless set; clearFaults keeps it.
    void setPreEncoded(bool on);
    // Encodes every stored block ahead, for the session of account `qid`; false without one.
    bool preEncode(const std::string& qid, bool compress, bool encrypt);
    // Lifts every block fault, the throttle and the empty and swapped block lists.
    void clearFaults();

    // Whether `method` is one of the JSON methods answered by Answer (the block has BlockReply).
    static bool Serves(const std::string& method);
    static const char kBlockMethod[]; // "Download.downloadBlock"
    // The answer of "Sync.getDownloadInfo" or "Download.getMetaInfo" for a request that carries
    // its session. Any thread.
    ApiAnswer Answer(const RecordedRequest& request);
    // The reply of "Download.downloadBlock". Any thread; blocks while the reply is held.
    StandInReply BlockReply(const RecordedRequest& request);

private:
    struct BlockRef {
        std::string hash;
        unsigned long long offset = 0;
        unsigned size = 0;
    };
    struct Token {
        std::string qid;
        std::string fhash;
    };
    enum class FaultKind { Flip, Reset, Refuse };
    struct BlockFault {
        FaultKind kind = FaultKind::Flip;
        std::string hash; // empty: every block
        int times = -1;
        int errnoValue = 0;
        std::string errmsg;
    };

    bool AddFault(BlockFault fault, const std::string& path, unsigned block);
    // The fault that applies to a request of block `hash` now, counted; false when none.
    bool TakeFaultLocked(const std::string& hash, BlockFault& fault);
    ApiAnswer InfoAnswer(const RecordedRequest& request);
    ApiAnswer MetaAnswer(const RecordedRequest& request);
    // The block's bytes as the request asks for them; null when encoding failed.
    std::shared_ptr<const std::string> Encode(const std::string& hash,
                                              const std::shared_ptr<const std::string>& plain, bool flip,
                                              bool compress, bool encrypt, const StandInSession& session);

    CloudStandIn& m_server;
    StandInTree& m_tree;
    StandInAccounts& m_accounts;

    mutable std::mutex m_lock;
    std::map<std::string, Token> m_tokens;                                        // by "dt"
    std::map<std::string, std::shared_ptr<const std::string>> m_encoded;          // pre-encoded
    std::vector<BlockFault> m_faults;
    bool m_compress = true;
    bool m_preEncoded = false;
    long long m_bytesPerSecond = 0;
    int m_emptyLists = 0;
    int m_swappedLists = 0;
};
