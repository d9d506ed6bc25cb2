#pragma once
// The block download of one cloud file into a local file.
//
// Road of one download (states in m_state):
//   0 new -> DoSync: an empty cloud file is put in place at once (done); otherwise the
//   information request goes to the pool -> 1 info requested -> OnDownloadInfo (engine thread):
//   the record takes the cloud's hash, version, times and size; when a local file known to hold
//   that content exists, it is copied on the pool (4 local copy) and put in place, or, when it
//   turns out not to hold it, the download goes on; otherwise the temporary file is prepared
//   (an existing one is reopened, not truncated) and the block list is asked for on the pool -> 2
//   list requested -> OnDownloadMeta (engine thread): the list must cover the file and give the
//   record's content hash (the SHA-1 of the block hashes); the blocks are listed and the rest goes
//   to the pool -> 3 blocks running: the blocks a reopened temporary file already holds are read
//   back and hashed; GetBlocks takes each remaining full block from a local file when the block
//   table knows one that still holds it, else requests it, up to the in-flight limit; each
//   request runs on a pool thread (exchange, AES-256-CBC, zlib, SHA-1, positioned write, whose
//   write-back to the disk starts at once) and schedules the next as soon as its exchange is
//   over -> when every block is done, MoveTmpFile requires the record's size, stamps the cloud's
//   times and puts it in place -> CompleteMe.
//
// Block slots (m_slots): 0 waiting, 1 in flight (its exchange runs), 4 received (its reply is
// decoded and written; no longer counted against the in-flight limit, so that the next exchange
// runs meanwhile), 2 done, 3 paused after a failed exchange until dueMs; CheckRetry (engine
// thread) makes paused slots wait again. A slot fails at most kRetries times (pauses of 1, 2, 4 s
// on the core's clock); one more failure ends the file with Network. The slots of each state are
// counted and the first waiting one is looked for from a cursor, so that a block costs the same
// in a file of 20,000 blocks as in one of 20.
//
// Invariants
// - The target is never written before the whole file is there and checked; it is replaced by
//   one rename, never deleted first. Outside the sync folder other content at the target stays
//   and the file lands at "name (n).ext".
// - A block reply is matched to its slot by request id, never by hash, so identical blocks at
//   different offsets each get their own bytes.
// - MoveTmpFile runs once per start (m_finishing), whichever thread brings the last block.
// - The temporary file stays when the task fails for any reason but a bad finished file, so a
//   later attempt of the same content resumes it.
//
// Threads and locks
// - DoSync, CheckRetry and the information and block-list replies run on the engine thread; the
//   exchanges themselves run on Qt's global pool and come back as process-response events.
// - Block exchanges, block reuse and the resume check run on pool threads, each holding a
//   reference to the task.
// - m_fileLock: the temporary QFile; opening and closing it hold it alone, the positioned reads
//   and writes of blocks (on its descriptor, never through QFile's position) share it.
// - m_writeLock: one block's write at a time, taken inside a shared m_fileLock. The file system
//   writes one file one call at a time anyway (its inode lock), and threads queued there spin:
//   here they sleep instead, and the CPU goes to the other blocks' decoding and hashing.
// - m_slotMutex: m_slots and m_flight. Neither lock is held with another lock of the task, nor
//   while a host or the network is called.
// - Set on the engine thread before any block starts, read-only afterwards: the hosts, the key
//   pair, dt, node id, flags, the temporary name, the in-flight limit.

#include "Transfer/QCDownloadHost.h"
#include "Transfer/QCSyncFile.h"

#include "network/AesKey.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

class QCDownloadFile : public QCSyncFile {
public:
    // Block requests of one file in flight at once while the running downloads weigh little.
    static constexpr int kBlocksInFlight = 5;

    // `info` carries the cloud path and the target path (local_path). Engine thread.
    QCDownloadFile(QCDownloadHost& host, const FILE_INFO& info);
    ~QCDownloadFile() override;

    int DoSync() override;
    void OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) override;
    // Sends again the blocks whose pause after a failed exchange has passed. Engine thread.
    void CheckRetry();

    // Ends the download as cancelled by the user (DiskCancel): no block exchange that has not
    // begun yet goes out after it. Any thread.
    void Cancel();

    bool IsDownloadCache() const { return m_inSync; }
    // Engine thread (set there before any block starts).
    QString GetTempName() const { return m_tempName; }
    void SetTempName(const QString& name);
    // Deletes the temporary file of an ended task at once (a cancel that drops its leftovers);
    // the task writes no block into it afterwards. Engine thread.
    void SetRemoveTemp();

    // The temporary file of a download into the sync folder: "<drop>/<sha1 of the cloud path>_<
    // content hash>.tmp" (a digest keeps deep paths within the name limit and is stable, so a
    // later attempt finds the same file); outside the sync folder the target plus ".draveltmp".
    static QString TempNameFor(const QString& dropFolder, const QString& cloudPath,
                               const QString& contentHash, const QString& target, bool inSync);
    // Decodes one block reply as the request asked for it: AES-256-CBC with `key` (encrypted),
    // then zlib (compressed, only blocks above 1024 bytes; a failed inflation leaves the data),
    // cut to `blockSize`. False when decryption fails.
    static bool DecodeBlock(QByteArray& data, bool encrypted, bool compressed, quint32 blockSize,
                            const AES_KEY_PAIR& key);
    // The same with `scratch` as the second buffer: the decoded bytes end up in `data` or in the
    // memory `scratch` had (the two are swapped), so that a caller decoding block after block
    // allocates nothing once both buffers have grown.
    static bool DecodeBlock(QByteArray& data, QByteArray& scratch, bool encrypted, bool compressed,
                            quint32 blockSize, const AES_KEY_PAIR& key);
    // Where a finished file goes outside the sync folder: `target` when it is free or already
    // holds `contentHash`, else the first free "name (n).ext".
    static QString OutsidePlace(const QString& target, quint64 size, const QString& contentHash);

private:
    enum SlotState { kSlotWaiting, kSlotInFlight, kSlotDone, kSlotPaused, kSlotReceived, kSlotStates };
    struct Slot {
        BLOCK_INFO block;
        int state = kSlotWaiting;
        int failures = 0;
        qint64 dueMs = 0;
    };
    // With m_slotMutex held: new slots for `blocks`, all waiting; a slot moved to `state`.
    void ResetSlotsLocked(const std::vector<BLOCK_INFO>& blocks);
    void SetSlotLocked(size_t slot, int state);

    void OnDownloadInfo(QJsonObject& reply);
    // The decision after the information reply: where the content comes from (the target itself,
    // a local file that holds it, copied on the pool, an outside target that may hold it already,
    // hashed on the pool, or else the blocks). Engine thread.
    void _DoSync();
    void OnDownloadMeta(QJsonObject& reply);
    void RequestInfo();
    void RequestMeta();
    // Opens the temporary file (reopening a kept one); an end type. Engine thread, or the pool
    // thread of a local copy that could not be used.
    int PrepareTmpFile(int& fileError);
    // Reserves the disk space of the whole file for the open temporary file. m_fileLock held.
    void ReserveTmpFile();
    // Goes on with the blocks: the temporary file, then the block list.
    void StartTransfer();
    // Pool thread: copies the content from the local file `source` and puts it in place.
    void CopyLocal(const QString& source);
    // Ends the task when the outside target already holds the content (it gets the cloud's time
    // and becomes the cloud path's copy source); else the download goes on. Pool thread.
    void HashExistFile();
    // Pool thread: marks done the listed blocks that a reopened temporary file already holds.
    void CheckResumedBlocks();
    // Any thread: starts block requests up to the in-flight limit, or finishes the file.
    void GetBlocks();
    // Takes a full block from a local file the block table names; true when written.
    bool WriteExistBlock(const BLOCK_INFO& block);
    void StartBlock(size_t slot, const BLOCK_INFO& block);
    // Pool thread: one block exchange and its result.
    void RunBlock(unsigned taskId);
    // The end type of one block reply (0: written, -2: retry the exchange).
    int OnDownloadBlock(const BLOCK_INFO& block, NetworkClient& client, unsigned& code, QString& msg);
    // Decodes the block data of a reply, checks it and writes it into the temporary file: 0, 23
    // (ServerData: it fails its check) or the file error of the write.
    int WriteBlock(NetworkClient& client, const BLOCK_INFO& block);
    // A failed exchange of `slot`: paused for a retry, or the end of the file.
    void BlockFailed(size_t slot, unsigned code);
    void BlockDone(size_t slot);
    int WriteTmpFile(quint64 offset, const QByteArray& data);
    // Reads `size` bytes at `offset` of the temporary file; empty when short.
    QByteArray ReadTmpFile(quint64 offset, quint32 size);
    // Puts the finished temporary file in place; an end type.
    int MoveTmpFile();
    // Puts the finished `temp` in place of the target (or beside it); an end type.
    int PutInPlace(const QString& temp, const FILE_INFO& record);
    // Puts an empty file in place of the target; an end type.
    int MakeZeroFile();
    void End(int type, unsigned code, const QString& msg);
    // Ends the task when `reply` carries a service error or could not be read; true then.
    bool EndOnServiceError(QJsonObject& reply);

    QCDownloadHost& m_dhost;

    std::atomic<int> m_state{0};
    std::atomic<bool> m_resumed{false}; // the temporary file was kept from an earlier attempt
    std::atomic<int> m_metaRequests{0};
    // Engine thread until the copy or the blocks start, then read-only.
    bool m_inSync = true;
    bool m_useHttps = false;
    bool m_compress = false;
    int m_blockLimit = kBlocksInFlight;
    QString m_nid;
    QString m_dt;
    QString m_tempName;
    AES_KEY_PAIR m_key;

    std::shared_mutex m_fileLock; // guards m_file (the temporary file)
    std::mutex m_writeLock;       // one block's write at a time
    std::mutex m_slotMutex;
    std::vector<Slot> m_slots;           // guarded by m_slotMutex
    std::array<size_t, kSlotStates> m_slotCount{}; // slots by state; guarded by m_slotMutex
    size_t m_nextWaiting = 0;            // no waiting slot lies before it; guarded by m_slotMutex
    std::map<unsigned, size_t> m_flight; // request id -> slot; guarded by m_slotMutex
    std::atomic<bool> m_finishing{false};
    std::atomic<bool> m_ended{false};
};
