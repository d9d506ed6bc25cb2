#include "Transfer/QCDownloadFile.h"

#include "Database/QCBlockTable.h"
#include "Database/QCGlobalConfig.h"
#include "Transfer/ZlibStreams.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/WorkPools.h"
#include "network/CmdTable.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"
#include "network/QCResponseHandler.h"

#include <QDir>
#include <QFileInfo>

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <shared_mutex>

namespace {

constexpr int kStateNew = 0;
constexpr int kStateInfo = 1;
constexpr int kStateMeta = 2;
constexpr int kStateBlocks = 3;
constexpr int kStateCopy = 4;
constexpr int kMaxMetaRequests = 3;     // an empty block list is asked for again, within bounds
constexpr int kRetries = 3;             // failed exchanges of one block that are tried again
constexpr int kNetworkCap = 2;          // address steps of one exchange; the task retries after a pause
constexpr double kLightLoad = 3.0;      // summed download weight up to which a file keeps 5 in flight
constexpr quint32 kCompressFrom = 1025; // smaller blocks are never asked for compressed
constexpr long kHttpRefused = 514;      // the block service's refusal, with "errno" and "errmsg"

// Runs `work` on the transfer pool for as long as the task lives.
void OnPool(const std::weak_ptr<QCSyncFile>& task, std::function<void(QCDownloadFile&)> work) {
    WorkPools::Start(WorkPools::Transfers(), [task, work = std::move(work)] {
        if (const std::shared_ptr<QCSyncFile> held = task.lock())
            work(static_cast<QCDownloadFile&>(*held));
    });
}

// `buffer` sized to `size` bytes, in the memory it has when that is enough; grown at once to hold
// any block reply, so that it grows once.
char* SizedBuffer(QByteArray& buffer, int size) {
    if (buffer.capacity() < size)
        buffer.reserve(std::max(size, int(CLOUD_BLOCK_SIZE + NetworkClient::kBlockReplySlack)));
    buffer.resize(size);
    return buffer.data();
}

// Decrypts `data` into `out`.
bool Decrypt(const QByteArray& data, const AES_KEY_PAIR& key, QByteArray& out) {
    if (key.key.size() != 32 || key.iv.size() != 16)
        return false;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (!context)
        return false;
    int length = 0;
    int last = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data.constData());
    auto* to = reinterpret_cast<unsigned char*>(SizedBuffer(out, data.size() + 128));
    const bool ok = EVP_DecryptInit_ex(context, EVP_aes_256_cbc(), nullptr,
                                       reinterpret_cast<const unsigned char*>(key.key.constData()),
                                       reinterpret_cast<const unsigned char*>(key.iv.constData())) == 1 &&
                    EVP_DecryptUpdate(context, to, &length, in, data.size()) == 1 &&
                    EVP_DecryptFinal_ex(context, to + length, &last) == 1;
    EVP_CIPHER_CTX_free(context);
    if (!ok)
        return false;
    out.resize(length + last);
    return true;
}

// The memory of one pool thread's block exchanges, used again from block to block: touching fresh
// pages for every 512 KiB block costs more than decoding it.
struct BlockBuffers {
    QByteArray body;
    QByteArray scratch;
};
thread_local BlockBuffers t_blockBuffers;

} // namespace

QCDownloadFile::QCDownloadFile(QCDownloadHost& host, const FILE_INFO& info)
    : QCSyncFile(host, info, true), m_dhost(host) {}

QCDownloadFile::~QCDownloadFile() {
    std::unique_lock<std::shared_mutex> lock(m_fileLock);
    m_file.close();
}

QString QCDownloadFile::TempNameFor(const QString& dropFolder, const QString& cloudPath,
                                    const QString& contentHash, const QString& target, bool inSync) {
    if (!inSync)
        return target + QStringLiteral(".draveltmp");
    const QByteArray path = cloudPath.toUtf8();
    const QString digest = QString::fromLatin1(HashBuffer(path.constData(), path.size(), HASH_SHA1));
    return MyCombinePath(dropFolder, digest + QLatin1Char('_') + contentHash + QStringLiteral(".tmp"));
}

bool QCDownloadFile::DecodeBlock(QByteArray& data, bool encrypted, bool compressed, quint32 blockSize,
                                 const AES_KEY_PAIR& key) {
    QByteArray scratch;
    return DecodeBlock(data, scratch, encrypted, compressed, blockSize, key);
}

bool QCDownloadFile::DecodeBlock(QByteArray& data, QByteArray& scratch, bool encrypted, bool compressed,
                                 quint32 blockSize, const AES_KEY_PAIR& key) {
    if (encrypted && !data.isEmpty()) {
        if (!Decrypt(data, key, scratch))
            return false;
        data.swap(scratch);
    }
    if (compressed && blockSize >= kCompressFrom) {
        uLongf length = uLongf(blockSize) + 128;
        if (ZlibStreams::Uncompress(reinterpret_cast<Bytef*>(SizedBuffer(scratch, int(length))), &length,
                                    reinterpret_cast<const Bytef*>(data.constData()),
                                    uLong(data.size())) == Z_OK) {
            scratch.resize(int(length));
            data.swap(scratch);
        } // else the raw data is hashed, and a mismatch fails the block
    }
    if (quint32(data.size()) > blockSize)
        data.resize(int(blockSize));
    return true;
}

// --- Start -----------------------------------------------------------------------------------------

int QCDownloadFile::DoSync() {
    m_inSync = m_dhost.IsSyncPath(GetDiskName());
    m_key = GetAesKey();
    m_state = kStateNew;
    m_metaRequests = 0;
    m_tempName.clear();
    m_finishing = false;
    m_ended = false;
    m_resumed = false;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        ResetSlotsLocked({});
        m_flight.clear();
    }
    if (GetFileSize() == 0) {
        const int type = MakeZeroFile();
        if (type == 0)
            return 1;
        End(type, 0, QString()); // reported like any failed download
        return 0;
    }
    RequestInfo();
    return 0;
}

void QCDownloadFile::RequestInfo() {
    m_state = kStateInfo;
    DL_INFO_REQ request;
    request.path = GetSvrPath();
    const FILE_INFO record = GetFileInfo();
    bool numeric = false;
    const qulonglong nid = record.nid.toULongLong(&numeric);
    if (!(numeric && nid != 0))
        request.nid = record.nid;
    OnPool(weak_from_this(), [request](QCDownloadFile& task) mutable {
        const unsigned id = QCRequestCommon::GetInstance()->DoDownloadInfo(request);
        if (id == 0) {
            task.End(SYNC_ERROR::Network, 0, QString());
            return;
        }
        task.AddRequestId(id);
        ResponseHandlerOrDrop().SendCoreProcEvent(CMD::DownloadInfo, id);
    });
}

void QCDownloadFile::OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) {
    RemoveRequestId(taskId);
    if (command == CMD::DownloadInfo)
        OnDownloadInfo(reply);
    else if (command == CMD::DownloadMeta)
        OnDownloadMeta(reply);
    else
        CoreDebug("[download][%u] unknow cmd:%d", taskId, command);
}

void QCDownloadFile::Cancel() {
    End(SYNC_ERROR::DiskCancel, 0, QStringLiteral("cancelled"));
}

void QCDownloadFile::End(int type, unsigned code, const QString& msg) {
    m_ended = true;
    CompleteMe(type, code, msg);
}

// --- Information and block list --------------------------------------------------------------------

bool QCDownloadFile::EndOnServiceError(QJsonObject& reply) {
    QString msg;
    const int err = ParseErr(reply, msg);
    if (err != 0)
        End(err == QCRequestCommon::ERRNO_BAD_REPLY ? SYNC_ERROR::ServerProtocol : SYNC_ERROR::Logic,
            unsigned(err), msg);
    return err != 0;
}

void QCDownloadFile::OnDownloadInfo(QJsonObject& reply) {
    if (m_state != kStateInfo)
        return;
    if (EndOnServiceError(reply))
        return;
    QJsonObject data = JsonData(reply);
    const std::shared_ptr<DL_INFO_ACK> ack = QCResponseCommon().parseDownloadInfo(data);
    if (!ack || ack->file.path.isEmpty()) {
        End(SYNC_ERROR::Logic, 3001, QString());
        return;
    }
    if (ack->bad_size) {
        End(SYNC_ERROR::ServerData, 0, QString()); // never an empty file in its place
        return;
    }
    {
        // The record becomes the cloud's current version: the journal row written at the end
        // must describe the bytes that were fetched.
        FILE_INFO record = GetFileInfo();
        record.file_hash = ack->file.file_hash.toLower();
        record.version = ack->file.version;
        record.mtime = ack->file.mtime;
        record.ctime = ack->file.ctime;
        record.size = ack->file.size;
        SetFileInfo(record);
    }
    {
        std::lock_guard<std::mutex> lock(m_hostMutex);
        m_hostInUse = ack->http;
        QStringList addresses{ack->addr_1.address, ack->addr_2.address};
        if (!ack->backup.isEmpty())
            addresses << ack->backup;
        m_addrList = addresses.join(QLatin1Char(','));
    }
    m_useHttps = !g_Config.SslFlag() && ack->is_https != 0;
    m_nid = ack->file.nid.isEmpty() ? ack->nid : ack->file.nid;
    m_dt = ack->dt;
    m_compress = ack->compress != 0;
    if (ack->file.size == 0) {
        const int type = MakeZeroFile();
        End(type, 0, QString());
        return;
    }
    if (m_hostInUse.isEmpty()) {
        End(SYNC_ERROR::ServerProtocol, 0, QString());
        return;
    }
    _DoSync();
}

void QCDownloadFile::_DoSync() {
    const FILE_INFO record = GetFileInfo();
    const QString target = GetDiskName();
    const QString drop = m_dhost.GetDropPath();
    if (m_inSync && drop.isEmpty()) {
        End(SYNC_ERROR::DiskDir, 0, QString());
        return;
    }
    SetTempName(TempNameFor(drop, record.path, record.file_hash, target, m_inSync));
    // A file recorded for this cloud path (an earlier download to a folder of the user's choice)
    // comes first, then any file the journal knows with the content.
    QString source = m_dhost.MatchCopySource(record);
    if (source.compare(target, Qt::CaseInsensitive) == 0 && source != target)
        source.clear();
    if (source.isEmpty())
        source = m_dhost.FindSameHash(record);
    if (source == target) {
        End(0, 0, QString()); // the target already holds the content
        return;
    }
    if (!source.isEmpty()) {
        m_state = kStateCopy;
        OnPool(weak_from_this(), [source](QCDownloadFile& task) { task.CopyLocal(source); });
        return;
    }
    // An outside target of the same size may hold the content already: hashed before anything
    // is fetched.
    if (!m_inSync && QFileInfo(target).isFile() && quint64(QFileInfo(target).size()) == record.size) {
        m_state = kStateCopy;
        OnPool(weak_from_this(), [](QCDownloadFile& task) { task.HashExistFile(); });
        return;
    }
    StartTransfer();
}

void QCDownloadFile::StartTransfer() {
    int fileError = 0;
    if (const int type = PrepareTmpFile(fileError)) {
        End(type, unsigned(fileError), QString());
        return;
    }
    RequestMeta();
}

void QCDownloadFile::RequestMeta() {
    m_state = kStateMeta;
    ++m_metaRequests;
    DL_META_REQ request;
    request.file_hash = GetFileInfo().file_hash;
    request.nid = m_nid;
    request.dt = m_dt;
    QString host;
    QString addresses;
    {
        std::lock_guard<std::mutex> lock(m_hostMutex);
        host = m_hostInUse;
        addresses = m_addrList;
    }
    const bool ssl = m_useHttps;
    OnPool(weak_from_this(), [request, host, addresses, ssl](QCDownloadFile& task) mutable {
        QCRequestCommon* requests = QCRequestCommon::GetInstance();
        const unsigned id = requests->DoDownloadMeta(request, host, addresses, ssl);
        const QSharedPointer<NetworkClient> client =
            id ? requests->GetRequestByID(id) : QSharedPointer<NetworkClient>();
        if (!client || client->getCurlResult() != 0) {
            const int curl = client ? client->getCurlResult() : 0;
            if (id)
                requests->CancelTask(id);
            task.End(SYNC_ERROR::Network, unsigned(curl), QString());
            return;
        }
        task.AddRequestId(id);
        ResponseHandlerOrDrop().SendCoreProcEvent(CMD::DownloadMeta, id);
    });
}

void QCDownloadFile::OnDownloadMeta(QJsonObject& reply) {
    if (m_state != kStateMeta)
        return;
    if (EndOnServiceError(reply))
        return;
    QJsonObject data = JsonData(reply);
    if (data.isEmpty()) {
        if (m_metaRequests >= kMaxMetaRequests)
            End(SYNC_ERROR::ServerProtocol, 0, QString());
        else
            RequestMeta();
        return;
    }
    const std::shared_ptr<DL_META_ACK> ack = QCResponseCommon().parseDownloadMeta(data);
    if (!ack || ack->fsize != GetFileSize()) {
        End(SYNC_ERROR::ServerProtocol, 0, QString());
        return;
    }
    std::vector<BLOCK_INFO> blocks = ack->block_info;
    quint64 listed = 0;
    for (BLOCK_INFO& block : blocks) {
        block.found = false;
        if (block.boffset + block.bsize > ack->fsize) {
            End(SYNC_ERROR::ServerProtocol, 0, QStringLiteral("block outside the file"));
            return;
        }
        listed += block.bsize;
    }
    if (listed != ack->fsize) {
        End(SYNC_ERROR::ServerProtocol, 0, QStringLiteral("block list does not cover the file"));
        return;
    }
    // The content hash is the SHA-1 of the blocks' hashes in file order: a list that does not
    // give the record's hash describes other content. With it and each block checked against its
    // hash before it is written, the finished file holds the content without a second reading.
    QByteArray digests;
    digests.reserve(int(blocks.size()) * 40);
    for (const BLOCK_INFO& block : blocks)
        digests += block.bhash.toLower().toLatin1();
    if (QString::fromLatin1(HashBuffer(digests.constData(), digests.size(), HASH_SHA1))
            .compare(GetFileInfo().file_hash, Qt::CaseInsensitive) != 0) {
        End(SYNC_ERROR::ServerData, 0, QStringLiteral("block list does not match the content hash"));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        ResetSlotsLocked(blocks);
    }
    SetBlocks(std::move(blocks));
    int configured = 0;
    {
        std::shared_lock<std::shared_mutex> lock(g_Config.settingsLock);
        configured = g_Config.min_download_block_queue;
    }
    m_blockLimit = m_dhost.RunningDownloadWeight() <= kLightLoad ? kBlocksInFlight : std::max(1, configured);
    m_state = kStateBlocks;
    // Reading back a kept temporary file and copying known blocks is disk work: on the pool.
    OnPool(weak_from_this(), [](QCDownloadFile& task) {
        if (task.m_resumed)
            task.CheckResumedBlocks();
        task.GetBlocks();
    });
}

// --- Blocks ------------------------------------------------------------------------------------------

void QCDownloadFile::GetBlocks() {
    for (;;) {
        if (m_ended.load() || m_finishing.load())
            return;
        size_t index = 0;
        BLOCK_INFO block;
        bool finish = false;
        {
            std::lock_guard<std::mutex> lock(m_slotMutex);
            if (m_slotCount[kSlotDone] == m_slots.size()) {
                finish = !m_finishing.exchange(true);
            } else if (m_slotCount[kSlotWaiting] == 0 || m_slotCount[kSlotInFlight] >= size_t(m_blockLimit)) {
                return;
            } else {
                while (m_slots[m_nextWaiting].state != kSlotWaiting)
                    ++m_nextWaiting; // a waiting slot lies at or after it
                index = m_nextWaiting;
                SetSlotLocked(index, kSlotInFlight);
                block = m_slots[index].block;
            }
        }
        if (finish) {
            End(MoveTmpFile(), 0, QString());
            return;
        }
        if (block.bsize == CLOUD_BLOCK_SIZE && WriteExistBlock(block)) {
            SetServerHave(GetServerHave() + block.bsize);
            BlockDone(index);
            continue;
        }
        StartBlock(index, block);
    }
}

void QCDownloadFile::StartBlock(size_t slot, const BLOCK_INFO& block) {
    DL_DATA_REQ request;
    request.path = GetSvrPath();
    request.bhash = block.bhash;
    request.dt = block.dt;
    request.block_size = block.bsize;
    request.app_id = QStringLiteral("cloud");
    request.file_size = GetFileSize();
    QString host;
    QString addresses;
    {
        std::lock_guard<std::mutex> lock(m_hostMutex);
        host = m_hostInUse;
        addresses = m_addrList;
    }
    unsigned unused = 0;
    const bool ssl = g_Config.SslFlag() || m_useHttps;
    const unsigned id =
        QCRequestCommon::GetInstance()->DoDownloadBlock(request, host, addresses, m_compress, unused, ssl);
    if (id == 0) {
        End(SYNC_ERROR::Network, 0, QStringLiteral("no usable transfer host"));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        m_flight[id] = slot;
    }
    AddRequestId(id);
    OnPool(weak_from_this(), [id](QCDownloadFile& task) { task.RunBlock(id); });
}

void QCDownloadFile::RunBlock(unsigned taskId) {
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    size_t slot = 0;
    BLOCK_INFO block;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        const auto it = m_flight.find(taskId);
        if (it == m_flight.end())
            return;
        slot = it->second;
        block = m_slots[slot].block;
    }
    const QSharedPointer<NetworkClient> client = requests->GetRequestByID(taskId);
    int type = -1; // -1: cancelled meanwhile, nobody waits for this block
    unsigned code = 0;
    QString msg;
    if (client && !m_ended.load()) {
        client->setRetryCap(kNetworkCap);
        client->setBodyBuffer(std::move(t_blockBuffers.body),
                              qint64(block.bsize) + NetworkClient::kBlockReplySlack);
        if (!client->doGet(QString())) {
            type = m_ended.load() ? -1 : -2;
            code = unsigned(client->getCurlResult());
        } else if (IfMyTask(taskId)) {
            // The exchange is over: the next one starts while this thread decodes and writes.
            {
                std::lock_guard<std::mutex> lock(m_slotMutex);
                if (m_flight.count(taskId) != 0)
                    SetSlotLocked(slot, kSlotReceived);
            }
            GetBlocks();
            type = OnDownloadBlock(block, *client, code, msg);
        }
    }
    requests->CancelTask(taskId);
    RemoveRequestId(taskId);
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        m_flight.erase(taskId);
    }
    if (type == -1)
        return;
    if (type == -2) {
        BlockFailed(slot, code);
        GetBlocks();
        return;
    }
    if (type != 0) {
        End(type, code, msg);
        return;
    }
    m_dhost.BlockTable().SetBlock(block.bhash.toLower(), block.bsize, block.boffset, GetDiskName(),
                                  m_tempName);
    BlockDone(slot);
    GetBlocks();
}

void QCDownloadFile::BlockFailed(size_t slot, unsigned code) {
    int failures = 0;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        if (slot >= m_slots.size())
            return; // the task started over meanwhile
        Slot& failed = m_slots[slot];
        failures = ++failed.failures;
        SetSlotLocked(slot, kSlotPaused);
        failed.dueMs = QCClock::NowMs() + (1000LL << std::min(failures - 1, kRetries - 1));
    }
    CoreDebug("[download] block %zu of %s: exchange failed (%u), failure %d", slot + 1,
              qUtf8Printable(GetSvrPath()), code, failures);
    if (failures > kRetries)
        End(SYNC_ERROR::Network, code, QStringLiteral("block exchange failed"));
}

void QCDownloadFile::CheckRetry() {
    if (m_ended.load() || m_state != kStateBlocks)
        return;
    bool due = false;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        const qint64 now = QCClock::NowMs();
        for (size_t i = 0; m_slotCount[kSlotPaused] != 0 && i < m_slots.size(); ++i) {
            if (m_slots[i].state == kSlotPaused && m_slots[i].dueMs <= now) {
                SetSlotLocked(i, kSlotWaiting);
                due = true;
            }
        }
    }
    if (due)
        OnPool(weak_from_this(), [](QCDownloadFile& task) { task.GetBlocks(); });
}

void QCDownloadFile::ResetSlotsLocked(const std::vector<BLOCK_INFO>& blocks) {
    m_slots.clear();
    m_slots.reserve(blocks.size());
    for (const BLOCK_INFO& block : blocks)
        m_slots.push_back(Slot{block, kSlotWaiting, 0, 0});
    m_slotCount.fill(0);
    m_slotCount[kSlotWaiting] = m_slots.size();
    m_nextWaiting = 0;
}

void QCDownloadFile::SetSlotLocked(size_t slot, int state) {
    Slot& changed = m_slots[slot];
    --m_slotCount[size_t(changed.state)];
    ++m_slotCount[size_t(state)];
    changed.state = state;
    if (state == kSlotWaiting)
        m_nextWaiting = std::min(m_nextWaiting, slot);
}

void QCDownloadFile::BlockDone(size_t slot) {
    QString hash;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        if (slot >= m_slots.size())
            return; // the task started over meanwhile
        SetSlotLocked(slot, kSlotDone);
        hash = m_slots[slot].block.bhash;
    }
    SetBlockExist(hash, true); // progress: counts one block of that hash
    UpdateSpeed(false);
}

int QCDownloadFile::OnDownloadBlock(const BLOCK_INFO& block, NetworkClient& client, unsigned& code,
                                    QString& msg) {
    msg = client.responseHeaderByName(QStringLiteral("errmsg"));
    const long status = client.responseCode();
    if (status == kHttpRefused) {
        code = client.responseHeaderByName(QStringLiteral("errno")).toUInt();
        return SYNC_ERROR::Logic;
    }
    if (status != 200) {
        code = unsigned(status);
        return status >= 500 ? -2 : SYNC_ERROR::Network;
    }
    const QString folder = QFileInfo(m_tempName).absolutePath();
    const quint64 length = client.responseHeaderByName(QStringLiteral("Content-Length")).toULongLong();
    if (length > DiskFreeSpace(QFile::encodeName(folder)))
        return SYNC_ERROR::DiskFull;
    msg.clear();
    const int written = WriteBlock(client, block);
    if (written == SYNC_ERROR::ServerData || written == 0)
        return written;
    code = unsigned(written);
    return SYNC_ERROR::DiskWrite;
}

int QCDownloadFile::WriteBlock(NetworkClient& client, const BLOCK_INFO& block) {
    BlockBuffers& buffers = t_blockBuffers;
    QByteArray data = client.takeBody();
    const bool encrypted = client.GetParam(QStringLiteral("encrypt")) == QLatin1String("2");
    const bool compressed = client.GetParam(QStringLiteral("compress")) == QLatin1String("1");
    int result = 0;
    if (!DecodeBlock(data, buffers.scratch, encrypted, compressed, block.bsize, m_key)) {
        result = SYNC_ERROR::ServerData;
    } else if (quint32(data.size()) != block.bsize ||
               QString::fromLatin1(HashBuffer(data.constData(), data.size(), HASH_SHA1))
                       .compare(block.bhash, Qt::CaseInsensitive) != 0) {
        CoreDebug("[download] block %u of %s fails its check", block.bidx, qUtf8Printable(GetSvrPath()));
        result = SYNC_ERROR::ServerData;
    } else {
        result = WriteTmpFile(block.boffset, data);
    }
    buffers.body = std::move(data); // for the next block of this thread
    return result;
}
