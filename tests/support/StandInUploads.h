#pragma once
// The upload side of the stand-in of the service: the pending uploads behind the tokens ("tk")
// that "Sync.getAddr" hands out and the upload sessions behind "tid"; blocks and contents (by
// the client's content hash, the SHA-1 of the joined hex SHA-1s of its 512 KiB blocks) go into
// the tree's block store, which the downloads serve from. StandInApi owns one and hands it these
// methods after the session check; every answer is built from the state:
// - "Sync.getAddr" (cookie "fname", "fhash", "fsize", "fctime", "fmtime", "fattr"; StandInApi
//   checks "fsum"): content the file store holds is placed at once: the file at "fname" is made
//   or gets a new version, {"autoCommit": true, "ver", "nv", "root_nid", "node_info"}. Otherwise
//   a new pending upload: {"autoCommit": false, "tk", "http" (the primary listener), "addr_1"
//   (the secondary, "address,0,d"), "compress"}.
// - "Upload.request" (form "fname", "fsize", "fhash", "fctime", "fmtime", "fattr", "tk"; part
//   "file" = {"request": {"totalblock": n, "block_info": [{"bidx", "bsize", "boffset" as text,
//   "bhash"}]}}): the form names the pending upload of "tk"; blocks 1..n in order tile "fsize"
//   in 512 KiB blocks and their hashes chain to "fhash". Opens a session: {"tid", "btotal",
//   "block_info": [{"bidx", "bhash", "found"}]}, found for the blocks the store holds.
// - "Upload.block" (cookie "tid", "bhash", "bidx", "boffset", "bsize", "compress" = "1" with
//   "compress_size"; part "file"): the block must be the session's own at that index and offset;
//   a compressed part is exactly "compress_size" long and inflates to "bsize" bytes, a plain one
//   is "bsize" long; its SHA-1 is "bhash". Stored. No "sess_key" is required.
// - "Upload.commit" (cookie "tid"): every block of the session in the store; the content joins
//   the file store and the file is placed: {"ver", "tk", "etk", "autoCommit": true}. With
//   setAutoCommit(false) it answers "autoCommit": false and the file waits for "Sync.addFile".
// - "Sync.addFile" (cookie "tk", "etk"; form "fname"): the committed content of that upload is
//   placed at its "fname": {"ver"}.
// - "Upload.uploadFile" (the form of "Upload.request" without the block list, "compress" and
//   "compress_size" when compressed; part "file" the whole content, at most 512 KiB): inflated
//   and checked against "fhash" like the blocks, stored and placed as by a commit.
// A commit, an add and a one-request upload that were done already answer as they did, without
// a new version: a client that lost the reply may ask again. Placing bumps the tree's version
// and the file's own.
//
// Refusals: kStandInBadParam for a malformed parameter, and the error numbers below.
// Knobs: seeded blocks and content; the "compress" flag; commit without autoCommit; a delay in
// each block reply (so that the client's blocks in flight meet in the stand-in); errno answers
// for a method n times (fail); holds and connection resets for a method n times (fault rules on
// the server); each session's high-water mark of blocks in flight.
//
// Threads: tests call from their thread while the servers' threads answer; the state is guarded
// by m_lock, which is never held while a block is inflated or hashed, nor while the tree or the
// server is called (the block store's own lock, which calls nothing, may be taken under it).

#include "support/CloudStandIn.h"
#include "support/StandInAnswer.h"
#include "support/StandInTree.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

constexpr int kStandInNoUpload = 4001;       // "tk" or "tid" names no upload of this account, or another file
constexpr int kStandInBadBlock = 4002;       // a block or content that is not what was announced
constexpr int kStandInBlocksMissing = 4003;  // a commit before every block is stored
constexpr int kStandInCannotPlace = 4004;    // no parent folder at "fname", or a folder there
constexpr int kStandInCommitConflict = 4021; // the commit refusal that the client takes as "file changed"
constexpr int kStandInStoreFailed = 5001;    // the block store could not keep a block (its disk is full)

// What a test sees of one upload session ("Upload.request").
struct StandInUploadSession {
    std::string tid;
    std::string tk;
    std::string path;
    std::string fhash;
    unsigned long long size = 0;
    int blocks = 0;      // "btotal"
    int found = 0;       // blocks the store held when the session opened
    int received = 0;    // blocks stored by "Upload.block"
    int maxInFlight = 0; // most "Upload.block" requests of the session in the stand-in at once
    bool committed = false;
};

class StandInUploads {
public:
    // `server` and `tree` must outlive this object.
    StandInUploads(CloudStandIn& server, StandInTree& tree);

    static bool Serves(const std::string& method);
    // The answer to `request` of one of the methods above, built from the state. Any thread.
    ApiAnswer Answer(const RecordedRequest& request);

    // --- State. -------------------------------------------------------------------------------
    // Puts `bytes` into the block store; its SHA-1.
    std::string seedBlock(const std::string& bytes);
    // Puts the blocks of `bytes` and the content into the stores; its content hash.
    std::string seedContent(const std::string& bytes);
    bool hasBlock(const std::string& sha1) const;
    bool hasContent(const std::string& contentHash) const;
    // Every session so far, in the order they were opened; the latest one for `path`.
    std::vector<StandInUploadSession> sessions() const;
    std::optional<StandInUploadSession> latestSession(const std::string& path) const;

    // --- Knobs. -------------------------------------------------------------------------------
    // The "compress" flag of new uploads (true unless set).
    void setCompress(bool allowed);
    // Whether a commit places the file itself (true unless set) or leaves it to "Sync.addFile".
    void setAutoCommit(bool autoCommit);
    // Whether placed files and uploaded blocks keep their bytes (true unless set; a benchmark's
    // gigabyte need not be joined, nor its ten thousand files kept).
    void setKeepBytes(bool keep);
    // Each "Upload.block" waits this long (bounded by the caller) before it answers.
    void setBlockDelayMs(int delayMs);
    // The next `times` requests of `method` (-1: all) that pass the session check get `answer`.
    void fail(const std::string& method, int times, const ApiAnswer& answer);
    // Fault rules on the server for `method`: the next `times` requests (-1: all) are held until
    // releaseHeld(), or their connection is reset with no reply.
    void hold(const std::string& method, int times = 1);
    void reset(const std::string& method, int times = 1);
    void releaseHeld();
    bool waitForHeld(int count, int timeoutMs) const;

private:
    using Content = StandInBlockStore::Content;
    struct Pending {
        std::string qid;
        std::string path;
        std::string fhash;
        unsigned long long size = 0;
        unsigned ctime = 0;
        unsigned mtime = 0;
        unsigned attrs = 0;
        std::string etk;     // set by a commit that left the file to "Sync.addFile"
        std::string done;    // the reply data once the file was placed (or committed)
        std::string addDone; // the reply data of "Sync.addFile" once it placed the file
    };
    struct Session {
        StandInUploadSession view;
        std::vector<std::string> hashes;
        int inFlight = 0;
        std::string done; // the commit's reply data
    };

    ApiAnswer GetAddr(const RecordedRequest& request);
    ApiAnswer Request(const RecordedRequest& request);
    ApiAnswer Block(const RecordedRequest& request);
    ApiAnswer Commit(const RecordedRequest& request);
    ApiAnswer Add(const RecordedRequest& request);
    ApiAnswer UploadFile(const RecordedRequest& request);

    // Places `content` as the file of `upload`; the node, or nothing when the tree refused.
    std::optional<StandInNode> Place(const Pending& upload, const Content& content);
    // The reply data of a commit or one-request upload of `tk`; places the file or waits for the
    // add, as set.
    ApiAnswer Finish(const std::string& tk, const Content& content, std::string& replyData);
    // The pending upload of `tk` for the request's account, or null.
    Pending* PendingLocked(const std::string& tk, const RecordedRequest& request);
    // Puts an uploaded block into the tree's block store, with its bytes unless placed files keep
    // none; false when the store could not keep it.
    bool KeepBlock(const std::string& hash, std::shared_ptr<const std::string> bytes);
    void AddFault(const std::string& method, int times, FaultKind kind);

    CloudStandIn& m_server;
    StandInTree& m_tree;

    mutable std::mutex m_lock;
    std::map<std::string, Pending> m_pending;                           // by "tk"
    std::map<std::string, Session> m_sessions;                          // by "tid"
    std::vector<std::string> m_sessionOrder;
    ApiFailures m_failures;
    bool m_compress = true;
    bool m_autoCommit = true;
    bool m_keepBytes = true;
    int m_blockDelayMs = 0;
};
