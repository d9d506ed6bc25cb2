#pragma once
// The block download of one cloud file into a local file.
//
// Road of one download (states in m_state):
//   0 new -> DoSync: an empty cloud file is put in place at once (done); otherwise the
//   information request goes to the pool -> 1 info requested -> OnDownloadInfo (engine thread):
//   the record takes the cloud's hash, version, times and size, the temporary file is prepared
//   and the block list is asked for on the pool -> 2 list requested -> OnDownloadMeta (engine
//   thread): the blocks are listed -> 3 blocks running: GetBlocks starts block requests up to the
//   in-flight limit; each runs on a pool thread (exchange, AES-256-CBC, zlib, SHA-1, positioned
//   write) and schedules the next -> when every block is done, Finish re-reads the temporary
//   file, requires the record's content hash, stamps the cloud's times and hands it to the
//   engine's InstallDownload -> CompleteMe.
//
// Invariants
// - The target is never written before the whole file is there and checked; it is replaced by
//   one rename (QCDownloadHost::InstallDownload), never deleted first.
// - A block reply is matched to its block by request id, never by hash, so identical blocks at
//   different offsets each get their own bytes.
// - Finish runs once per start (m_finishing), whichever pool thread brings the last block.
//
// Threads and locks
// - DoSync and the information and block-list replies run on the engine thread; the exchanges
//   themselves run on Qt's global pool and come back as process-response events.
// - Block exchanges run on pool threads, each holding a reference to the task.
// - m_fileMutex: the temporary QFile (one seek-and-write or close at a time).
// - m_flightMutex: m_flight (request id -> block). Neither is held with another lock of the task.
// - Set on the engine thread before any block starts, read-only afterwards: the hosts, the key
//   pair, dt, node id, flags, the temporary name.

#include "Transfer/QCDownloadHost.h"
#include "Transfer/QCSyncFile.h"

#include "network/AesKey.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <map>
#include <mutex>

class QCDownloadFile : public QCSyncFile {
public:
    // `info` carries the cloud path and the target path (local_path). Engine thread.
    QCDownloadFile(QCDownloadHost& host, const FILE_INFO& info);
    ~QCDownloadFile() override;

    int DoSync() override;
    void OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) override;

    bool IsDownloadCache() const { return m_inSync; }
    QString GetTempName() const { return m_tempName; }

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

private:
    void OnDownloadInfo(QJsonObject& reply);
    void OnDownloadMeta(QJsonObject& reply);
    void RequestInfo();
    void RequestMeta();
    // Engine thread: chooses and opens the temporary file; an end type (0 when open).
    int PrepareTmpFile(int& fileError);
    // Any thread: starts block requests up to the in-flight limit, or finishes the file.
    void GetBlocks();
    void StartBlock(const BLOCK_INFO& block);
    // Pool thread: one block exchange and its result.
    void RunBlock(unsigned taskId);
    // The end type of one block reply (0: written).
    int HandleBlock(const BLOCK_INFO& block, NetworkClient& client, unsigned& code, QString& msg);
    int WriteTmpFile(quint64 offset, const QByteArray& data);
    // Puts the finished temporary file in place; an end type.
    int Finish();
    // Puts an empty file in place of the target; an end type.
    int MakeZeroFile();
    void End(int type, unsigned code, const QString& msg);

    QCDownloadHost& m_dhost;

    // Engine thread until the blocks start, then read-only.
    int m_state = 0;
    bool m_inSync = true;
    bool m_useHttps = false;
    bool m_compress = false;
    int m_metaRequests = 0;
    QString m_nid;
    QString m_dt;
    QString m_tempName;
    AES_KEY_PAIR m_key;

    std::mutex m_fileMutex; // guards m_file (the temporary file)
    std::mutex m_flightMutex;
    std::map<unsigned, BLOCK_INFO> m_flight; // guarded by m_flightMutex
    std::atomic<bool> m_finishing{false};
    std::atomic<bool> m_failed{false};
};
