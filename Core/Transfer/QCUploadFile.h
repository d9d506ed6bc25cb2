#pragma once
// The upload task of one mirror file: cuts it into 512 KiB blocks named by SHA-1, asks the service
// for an upload address and takes the cheapest road its answer allows: an instant finish when the
// service holds the content, one request for small files, or a block list, the blocks the service
// lacks, a commit and, when asked, an add.
//
// Steps (m_step): 0 new, 1 upload info asked, 2 block list sent, 3 blocks, 4 commit or one-request
// upload, 5 add. DoSync leaves 0; each exchange sets its step just before it is sent.
//
// Threads
// - The engine thread calls DoSync, CheckRetry and receives the replies of the upload info, block
//   list, commit, one-request upload and add (their exchanges post a process-response event).
// - Pool threads (QCUploadHost::RunUploadWork) hash the file, run every exchange, read, check and
//   compress blocks, and handle the block replies, which keep further blocks in flight.
// - No lock is held across an exchange. Each block job owns its buffers.
//
// Invariants
// - A block is sent only after its bytes were read again and still hash to the planned hash, in
//   block order; the commit is sent only while the file's size and modification time are still
//   those taken before hashing. Otherwise the task turns dirty: no result, the engine drops it,
//   and the next start hashes the file anew.
// - A failed exchange is sent again after 1, 2 and 4 seconds on the core's clock; a fourth failure
//   ends the task with SYNC_ERROR::Network. A reply that makes no sense ends it with
//   SYNC_ERROR::ServerProtocol.

#include "Transfer/QCSyncFile.h"
#include "Transfer/QCUploadHost.h"

#include <QByteArray>
#include <QFile>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

class QCUploadFile : public QCSyncFile {
public:
    // `host` and `upload` outlive the task (both are the engine).
    QCUploadFile(QCTransferHost& host, QCUploadHost& upload, const FILE_INFO& info);
    ~QCUploadFile() override;

    // The file whose content goes up, when it is not the disk name (a file from outside the mirror
    // folder uploaded under the mirror path). Set before the task is queued. Engine thread.
    void SetSourcePath(const QString& path) { m_source = path; }
    bool FromOutside() const { return !m_source.isEmpty(); }
    // The sync folder holding the disk name: the file is then opened and stat-ed from it without
    // following a symbolic link (a link there is never read). Set before the task is queued.
    void SetMirrorRoot(const QString& root) { m_root = root; }
    // Starts the upload from the hashing (0: started). Engine thread.
    int DoSync() override;
    void OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) override;
    // Back to step 0: the next start hashes the file again.
    using QCSyncFile::SetNew;
    void SetNew();
    // Whether the engine may still cancel the upload: not once the commit or add is under way.
    bool SupportCancel() const { return m_step.load() <= 3; }
    bool IsDirtyTask() const { return m_dirty.load(); }
    int Step() const { return m_step.load(); }
    // Sends again the exchanges whose retry pause has passed. Engine thread.
    void CheckRetry();
    // Starts a new task, or takes up one that was paused and resumed, from a clean slate: hashes
    // the file anew and starts over. False (nothing done) while paused, dirty or ended. Engine
    // thread.
    bool Restart();

    // The plan of a file: its blocks (index from 1, lower-case hex SHA-1, size, offset), the
    // content hash (SHA-1 of the joined block hashes) and, for a file of at most `keepUpTo`
    // bytes, its content. `stop` is asked before each read.
    struct Plan {
        std::vector<BLOCK_INFO> blocks;
        QString hash;
        QByteArray content;
        quint64 size = 0;
    };
    // False when the file could not be read to its end (stopped, shrank, read error).
    static bool MakeBlocks(QFile& file, qint64 keepUpTo, const std::function<bool()>& stop, Plan& plan);
    // Tries to compress `len` bytes at `src` (at most 512 KiB) for the file `name`: true with the
    // compressed bytes in `dst` when it pays. `noZip` is the file's compression switch: a block
    // that does not pay, or a black-listed extension, turns it on; when on, nothing is tried.
    static bool CheckZip(const char* src, int len, QByteArray& dst, const QString& name, bool& noZip);

private:
    struct Retry {
        qint64 dueMs;
        std::function<void(QCUploadFile&)> send; // holds no reference to the task
    };
    using Self = std::shared_ptr<QCUploadFile>;
    Self Me() { return std::static_pointer_cast<QCUploadFile>(shared_from_this()); }

    // Runs `step` on a pool thread unless the task is paused or starts over meanwhile.
    void Post(std::function<void(QCUploadFile&)> step);
    // Pool thread.
    void HashAndAsk();
    // Ends the task when a step of `run` finds no usable transfer host, unless that step is stale.
    void NoTransferHost(unsigned run);
    void SendUploadInfo();
    void SendFastUpload();
    void SendMeta();
    // `run`: the start the caller belongs to; a caller from before a restart does nothing.
    void ProcBlocks(unsigned run);
    void SendBlock(unsigned run, size_t index, QByteArray bytes, QByteArray zipped, bool compressed);
    void SendCommit();
    void SendAdd(const QString& tk, const QString& etk);
    // Engine thread (42: the pool thread of its block).
    void OnUploadInfo(QJsonObject& reply);
    void OnUploadMeta(QJsonObject& reply);
    void OnUploadBlock(QJsonObject& reply, unsigned taskId);
    void OnUploadCommit(QJsonObject& reply);
    void OnUploadAdd(QJsonObject& reply);

    // Ends the task when the reply carries an error; true then. 4021 turns it dirty when `commit`.
    bool ReplyFailed(QJsonObject& reply, bool commit);
    // An exchange under `key` (the command, or 1000 + block index) failed / succeeded.
    void ExchangeFailed(int key, int code, std::function<void(QCUploadFile&)> send);
    void ExchangeSucceeded(int key);
    // Performs a registered request as `verb` ("get", "post", "multipart"); on success the reply
    // goes to the engine thread as `command`. False when nothing was sent (the id is forgotten).
    bool Exchange(unsigned run, int command, unsigned id, const char* verb,
                  std::function<void(QCUploadFile&)> again);
    // Registers a request of this task; false (and the request cancelled) when the task was paused
    // meanwhile, so that no reply of a paused task reaches a later start.
    bool Adopt(unsigned id);
    void MarkDirty(const char* why);
    bool Stopping() const;
    // The file's size and modification time (nanoseconds) now; false when it is gone.
    bool Stamp(quint64& size, qint64& mtimeNs) const;
    QString Hosts(QString& addresses);

    // The file read: the source path when set, else the disk name.
    QString ReadPath() const;
    // Opens the file read for reading (from the mirror root when set); false when it cannot be.
    bool OpenRead(QFile& file) const;

    QCUploadHost& m_upload;
    QString m_source; // set before the task is queued, read only after
    QString m_root;   // likewise
    std::atomic<int> m_step{0};
    std::atomic<bool> m_dirty{false};
    std::atomic<bool> m_noZipByService{false}; // the upload info did not allow compression
    std::atomic<bool> m_secure{false};
    // Counts the starts of the task (SetNew); changed under m_blockLock. Work queued for an earlier
    // start is dropped.
    std::atomic<unsigned> m_run{0};

    // Guarded by m_planLock: what hashing found and the tokens of the exchanges. The plan is set
    // by the hashing, before any exchange, and read afterwards.
    mutable std::mutex m_planLock;
    Plan m_plan;
    quint64 m_stampSize = 0;
    qint64 m_stampMtime = 0;
    QString m_tk;
    QString m_tid;
    QString m_sessKey;
    int m_emptyMetaReplies = 0;

    // Guarded by m_blockLock: the state of each block (0 to send, 1 in flight, 2 held by the
    // service, 3 waiting for a retry), the block of each request in flight and the compression
    // switch. Held while a block is picked, read and checked (in order), never across an exchange.
    std::mutex m_blockLock;
    std::vector<int> m_blockState;
    std::map<unsigned, size_t> m_blockOfRequest;
    int m_inFlight = 0;
    bool m_noZip = false;
    bool m_zipTried = false; // the first block decided whether compression pays
    bool m_commitQueued = false;

    // Guarded by m_retryLock.
    std::mutex m_retryLock;
    std::map<int, int> m_failures; // by exchange key
    std::vector<Retry> m_retries;
};
