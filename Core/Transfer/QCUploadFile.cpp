#include "Transfer/QCUploadFile.h"

#include "Database/QCGlobalConfig.h"
#include "Transfer/ZlibStreams.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "common/SafePath.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"
#include "network/QCResponseHandler.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

namespace {

constexpr int kBlockSize = 0x80000;
constexpr int kRetries = 3;
constexpr int kNetworkCap = 2; // address steps of one exchange; the task retries after a pause
constexpr int kBlockKey = 1000;

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

// The extension of the last path element, with its dot, ASCII lower-cased, at most 8 bytes.
QString Extension(const QString& name) {
    const int slash = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < slash)
        return QString();
    QString ext = name.mid(dot);
    for (QChar& c : ext)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + 32);
    QByteArray utf8 = ext.toUtf8();
    if (utf8.size() > 8)
        utf8.truncate(8);
    return QString::fromUtf8(utf8);
}

} // namespace

QCUploadFile::QCUploadFile(QCTransferHost& host, QCUploadHost& upload, const FILE_INFO& info)
    : QCSyncFile(host, info, false), m_upload(upload) {
    EditFileInfo([](FILE_INFO& record) { record.is_download = false; });
}

QCUploadFile::~QCUploadFile() = default;

// --- Pure pieces ---------------------------------------------------------------------------------

bool QCUploadFile::MakeBlocks(QFile& file, qint64 keepUpTo, const std::function<bool()>& stop, Plan& plan) {
    plan = Plan();
    if (!file.seek(0))
        return false;
    plan.size = quint64(file.size());
    const bool keep = qint64(plan.size) <= std::min<qint64>(keepUpTo, kBlockSize);
    QByteArray joined;
    // A small file needs no block-sized buffer (one more byte shows a file that grew meanwhile).
    const qint64 room = std::min<qint64>(kBlockSize, qint64(plan.size) + 1);
    QByteArray piece(int(room), Qt::Uninitialized);
    quint64 offset = 0;
    for (quint32 index = 1;; ++index) {
        if (stop && stop())
            return false;
        qint64 got = 0;
        while (got < room) {
            const qint64 n = file.read(piece.data() + got, room - got);
            if (n < 0)
                return false;
            if (n == 0)
                break;
            got += n;
        }
        if (got == 0)
            break;
        BLOCK_INFO block;
        block.bidx = index;
        block.bhash = QString::fromLatin1(HashBuffer(piece.constData(), int(got), HASH_SHA1));
        block.hash = block.bhash;
        block.bsize = quint32(got);
        block.boffset = offset;
        plan.blocks.push_back(block);
        joined += block.bhash.toLatin1();
        if (keep)
            plan.content.append(piece.constData(), int(got));
        offset += quint64(got);
        if (got < kBlockSize)
            break;
    }
    if (offset != plan.size)
        return false; // the file changed size while it was read
    plan.hash = QString::fromLatin1(HashBuffer(joined.constData(), joined.size(), HASH_SHA1));
    return true;
}

bool QCUploadFile::CheckZip(const char* src, int len, QByteArray& dst, const QString& name, bool& noZip) {
    // A local copy of the level: the setting itself is not the transfer's to correct.
    const int level = std::clamp(g_Config.zip_lv, 0, 9);
    if (noZip || level == 0 || len < g_Config.zip_minsize || len <= 0 || len > kBlockSize)
        return false;
    noZip = true; // stays on unless this block pays
    const QString ext = Extension(name);
    if (!ext.isEmpty() && !g_Config.zip_blacklist.isEmpty() &&
        g_Config.zip_blacklist.contains(ext + QLatin1Char('|')))
        return false;
    uLongf length = compressBound(uLong(len));
    dst.resize(int(length));
    const qint64 started = QCClock::NowMs();
    if (ZlibStreams::Compress(reinterpret_cast<Bytef*>(dst.data()), &length,
                              reinterpret_cast<const Bytef*>(src), uLong(len), level) != Z_OK ||
        length == 0)
        return false;
    const unsigned rate = unsigned(length * 100 / unsigned(len));
    CoreDebug("[upload] %s rate:%u%% %lldms", qUtf8Printable(name), rate,
              static_cast<long long>(QCClock::NowMs() - started));
    if (int(rate) > g_Config.zip_minrate)
        return false;
    dst.resize(int(length));
    noZip = false;
    return true;
}

// --- Start ---------------------------------------------------------------------------------------

int QCUploadFile::DoSync() {
    m_step = 0;
    Post([](QCUploadFile& task) { task.HashAndAsk(); });
    return 0;
}

void QCUploadFile::Post(std::function<void(QCUploadFile&)> step) {
    m_upload.RunUploadWork([self = Me(), run = m_run.load(), step = std::move(step)] {
        // A stop or cancel is each step's own to notice (hashing turns the task dirty then). A
        // task that left the queue (its change cancelled, or the engine stopped) starts nothing.
        if (self->m_run.load() == run && !self->IsPause() && !self->IsEnded())
            step(*self);
    });
}

bool QCUploadFile::Restart() {
    if (!IsNew() || IsPause() || m_dirty.load() || ErrorType() != 0)
        return false;
    SetNew();
    QCSyncFile::SetNew(false);
    return DoSync() == 0;
}

void QCUploadFile::SetNew() {
    // The run moves on first, so that steps of the old run that meet the cleared state below
    // know it is not theirs.
    {
        std::lock_guard<std::mutex> lock(m_blockLock);
        ++m_run;
        m_blockState.clear();
        m_blockOfRequest.clear();
        m_inFlight = 0;
        m_zipTried = false;
        m_commitQueued = false;
    }
    ClearAll();
    m_step = 0;
    {
        std::lock_guard<std::mutex> lock(m_retryLock);
        m_failures.clear();
        m_retries.clear();
    }
    QCSyncFile::SetNew(true);
}

QString QCUploadFile::ReadPath() const {
    return m_source.isEmpty() ? GetDiskName() : m_source;
}

bool QCUploadFile::OpenRead(QFile& file) const {
    if (m_root.isEmpty() || !m_source.isEmpty())
        return file.open(QIODevice::ReadOnly);
    const int fd = SafePath::Open(m_root, GetDiskName(), O_RDONLY);
    if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    if (fd >= 0)
        ::close(fd);
    return false;
}

bool QCUploadFile::Stamp(quint64& size, qint64& mtimeNs) const {
    if (!m_root.isEmpty() && m_source.isEmpty()) {
        const LocalStat here = SafePath::Stat(m_root, GetDiskName());
        size = here.size;
        mtimeNs = here.mtime_ns;
        return here.is_file;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(ReadPath()).constData(), &st) != 0)
        return false;
    size = quint64(st.st_size);
    mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool QCUploadFile::Stopping() const {
    return m_dirty.load() || ErrorType() != 0 || IsPause() || IsEnded() ||
           m_upload.UploadCancelled(GetSvrPath());
}

void QCUploadFile::MarkDirty(const char* why) {
    CoreDebug("[upload] %s dirty: %s", qUtf8Printable(GetSvrPath()), why);
    m_dirty = true;
}

void QCUploadFile::HashAndAsk() {
    quint64 size = 0;
    qint64 mtime = 0;
    QFile file(ReadPath());
    // Read-only: a file the user may only read uploads too.
    if (!Stamp(size, mtime) || !OpenRead(file))
        return MarkDirty("cannot open");
    Plan plan;
    const unsigned run = m_run.load();
    const bool whole = MakeBlocks(
        file, g_Config.fast_up_filesize, [&] { return Stopping() || m_run.load() != run; }, plan);
    file.close();
    if (!whole && (IsPause() || m_run.load() != run))
        return; // paused: the task starts over when resumed
    if (!whole)
        return MarkDirty("hashing ended short");
    SetBlocks(plan.blocks);
    EditFileInfo([&](FILE_INFO& record) {
        record.file_hash = plan.hash;
        record.size = plan.size;
    });
    {
        std::lock_guard<std::mutex> lock(m_blockLock);
        if (m_run.load() != run)
            return;
        m_blockState.assign(plan.blocks.size(), 0);
    }
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        m_plan = std::move(plan);
        m_stampSize = size;
        m_stampMtime = mtime;
    }
    UpdateSpeed(false);
    SendUploadInfo();
}

// --- Exchanges (pool threads) ----------------------------------------------------------------------

bool QCUploadFile::Adopt(unsigned id) {
    AddRequestId(id);
    // Pause marks the task before it cancels the ids it holds: one of them, or this check, sees it.
    if (!IsPause())
        return true;
    Requests().CancelTask(id);
    RemoveRequestId(id);
    return false;
}

QString QCUploadFile::Hosts(QString& addresses) {
    std::lock_guard<std::mutex> lock(m_hostMutex);
    addresses = m_addrList;
    return m_hostInUse;
}

bool QCUploadFile::Exchange(unsigned run, int command, unsigned id, const char* verb,
                            std::function<void(QCUploadFile&)> again) {
    const QSharedPointer<NetworkClient> client = id ? Requests().GetRequestByID(id) : nullptr;
    if (!client) {
        NoTransferHost(run);
        return false;
    }
    client->setRetryCap(kNetworkCap);
    if (!Adopt(id))
        return false;
    const QByteArray how(verb);
    const bool ok = how == "get"    ? client->doGet(QString())
                    : how == "post" ? client->doPost(QString())
                                    : client->doUploadMultipartData();
    if (ok) {
        ExchangeSucceeded(command);
        ResponseHandlerOrDrop().SendCoreProcEvent(command, id);
        return true;
    }
    const int code = client->getCurlResult();
    Requests().CancelTask(id);
    RemoveRequestId(id);
    ExchangeFailed(command, code, std::move(again));
    return false;
}

void QCUploadFile::NoTransferHost(unsigned run) {
    // A pause, stop or new start clears the hosts the service named: a step of an earlier run
    // then finds none, which is no fault of the service. A resumed task is marked new before it is
    // unpaused and its run moves on before the hosts are cleared, so such a step always sees one
    // of the three.
    if (Stopping() || IsNew() || m_run.load() != run)
        return;
    // Only a host the service named can be missing or malformed here.
    CompleteMe(SYNC_ERROR::ServerProtocol, 0, QStringLiteral("no usable transfer host"));
}

void QCUploadFile::SendUploadInfo() {
    if (Stopping())
        return;
    FILE_INFO record = GetFileInfo();
    m_step = 1;
    // The request carries its own bounded walk (see QCRequestCommon) and is performed at once.
    const unsigned id = Requests().DoUploadInfo(record);
    if (id == 0)
        return ExchangeFailed(CMD::UploadInfo, 0, [](QCUploadFile& task) { task.SendUploadInfo(); });
    ExchangeSucceeded(CMD::UploadInfo);
    if (Adopt(id))
        ResponseHandlerOrDrop().SendCoreProcEvent(CMD::UploadInfo, id);
}

void QCUploadFile::SendFastUpload() {
    const unsigned run = m_run.load();
    if (Stopping())
        return;
    QByteArray content;
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        content = m_plan.content;
    }
    bool noZip = m_noZipByService.load();
    QByteArray zipped;
    const bool compressed = CheckZip(content.constData(), content.size(), zipped, GetSvrPath(), noZip);
    UP_FAST_REQ request;
    request.file = GetFileInfo();
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        request.token = m_tk;
    }
    const QByteArray& data = compressed ? zipped : content;
    request.data = data.isEmpty() ? nullptr : data.constData();
    request.data_len = quint32(data.size());
    request.compressed = compressed;
    QString addresses;
    const QString host = Hosts(addresses);
    m_step = 4;
    const unsigned id = Requests().DoFastUpload(request, host, addresses, m_secure.load());
    Exchange(run, CMD::UploadFast, id, "multipart", [](QCUploadFile& task) { task.SendFastUpload(); });
}

void QCUploadFile::SendMeta() {
    const unsigned run = m_run.load();
    if (Stopping())
        return;
    UP_EX_REQ request;
    request.file = GetFileInfo();
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        request.blocks = m_plan.blocks;
        request.token = m_tk;
    }
    QString addresses;
    const QString host = Hosts(addresses);
    m_step = 2;
    const unsigned id = Requests().DoUploadMeta(request, host, addresses, m_secure.load());
    if (const QSharedPointer<NetworkClient> client = id ? Requests().GetRequestByID(id) : nullptr) {
        const FILE_INFO& file = request.file;
        client->addQueryParam("fname", file.path.toStdString());
        client->addQueryParam("fsize", std::to_string(file.size));
        client->addQueryParam("fhash", file.file_hash.toStdString());
        client->addQueryParam("fctime", std::to_string(file.ctime));
        client->addQueryParam("fmtime", std::to_string(file.mtime));
        client->addQueryParam("fattr", std::to_string(file.attrs));
        client->addQueryParam("tk", request.token.toStdString());
        QJsonArray list;
        for (const BLOCK_INFO& block : request.blocks)
            list.append(QJsonObject{{QStringLiteral("bidx"), double(block.bidx)},
                                    {QStringLiteral("bsize"), double(block.bsize)},
                                    {QStringLiteral("boffset"), QString::number(block.boffset)},
                                    {QStringLiteral("bhash"), block.bhash}});
        const QJsonObject body{{QStringLiteral("request"),
                                QJsonObject{{QStringLiteral("totalblock"), double(request.blocks.size())},
                                            {QStringLiteral("block_info"), list}}}};
        const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
        client->addQueryParamFile("file", "file.dat", json.constData(), json.size(), std::string());
    }
    Exchange(run, CMD::UploadMeta, id, "multipart", [](QCUploadFile& task) { task.SendMeta(); });
}

void QCUploadFile::ProcBlocks(unsigned run) {
    for (;;) {
        if (Stopping())
            return;
        size_t index = 0;
        BLOCK_INFO block;
        QByteArray bytes(kBlockSize, Qt::Uninitialized);
        QByteArray zipped;
        bool compressed = false;
        bool decided = false;
        {
            std::lock_guard<std::mutex> lock(m_blockLock);
            if (m_run.load() != run)
                return;
            int allowance = 2;
            if (m_upload.UploadWeight() <= 1.0 && g_Config.min_upload_block_queue > allowance)
                allowance = g_Config.min_upload_block_queue;
            if (m_inFlight >= allowance)
                return;
            const auto next = std::find(m_blockState.begin(), m_blockState.end(), 0);
            if (next == m_blockState.end()) {
                const bool all =
                    std::all_of(m_blockState.begin(), m_blockState.end(), [](int s) { return s == 2; });
                if (!all || m_commitQueued)
                    return;
                m_commitQueued = true;
            } else {
                index = size_t(next - m_blockState.begin());
                {
                    std::lock_guard<std::mutex> planLock(m_planLock);
                    block = m_plan.blocks.at(index);
                }
                // Read again and checked in block order, so that nothing from a changed block on
                // is ever sent under its old hash.
                QFile file(ReadPath());
                if (!OpenRead(file) || !file.seek(qint64(block.boffset)))
                    return MarkDirty("cannot read a block");
                const qint64 got = file.read(bytes.data(), block.bsize);
                if (got != qint64(block.bsize))
                    return MarkDirty("block read short");
                bytes.resize(int(got));
                if (QString::fromLatin1(HashBuffer(bytes.constData(), bytes.size(), HASH_SHA1)) !=
                    block.bhash)
                    return MarkDirty("block changed since hashing");
                if (!m_zipTried) {
                    // The first block decides whether compression pays for this file.
                    m_zipTried = true;
                    decided = true;
                    compressed = CheckZip(bytes.constData(), bytes.size(), zipped, GetSvrPath(), m_noZip);
                }
                m_blockState[index] = 1;
                ++m_inFlight;
            }
        }
        if (block.bidx == 0)
            return SendCommit();
        m_upload.RunUploadWork([self = Me(), run, index, bytes = std::move(bytes), zipped = std::move(zipped),
                                compressed, decided]() mutable {
            if (!decided) {
                bool noZip = false;
                {
                    std::lock_guard<std::mutex> lock(self->m_blockLock);
                    noZip = self->m_noZip;
                }
                compressed = CheckZip(bytes.constData(), bytes.size(), zipped, self->GetSvrPath(), noZip);
                if (noZip) {
                    std::lock_guard<std::mutex> lock(self->m_blockLock);
                    self->m_noZip = true;
                }
            }
            self->SendBlock(run, index, std::move(bytes), std::move(zipped), compressed);
        });
    }
}

void QCUploadFile::SendBlock(unsigned run, size_t index, QByteArray bytes, QByteArray zipped,
                             bool compressed) {
    BLOCK_INFO block;
    UP_BLOCK_REQ request;
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        block = m_plan.blocks.at(index);
        request.tid = m_tid;
        request.sess_key = m_sessKey;
    }
    request.bhash = block.bhash;
    request.bsize = block.bsize;
    request.bidx = block.bidx;
    request.boffset = block.boffset;
    const QByteArray& data = compressed ? zipped : bytes;
    request.data = data.constData();
    request.data_len = quint32(data.size());
    request.compressed = compressed;
    QString addresses;
    const QString host = Hosts(addresses);
    unsigned unused = 0;
    const unsigned id = Requests().DoUploadBlock(request, host, addresses, unused, m_secure.load());
    const QSharedPointer<NetworkClient> client = id ? Requests().GetRequestByID(id) : nullptr;
    if (!client) {
        NoTransferHost(run);
        return;
    }
    client->setRetryCap(kNetworkCap);
    if (!Adopt(id))
        return;
    {
        std::lock_guard<std::mutex> lock(m_blockLock);
        if (m_run.load() != run || Stopping()) { // started over or stopped meanwhile
            Requests().CancelTask(id);
            RemoveRequestId(id);
            return;
        }
        m_blockOfRequest[id] = index;
    }
    bytes.clear();
    zipped.clear();
    const int key = kBlockKey + int(index);
    if (client->doUploadMultipartData()) {
        ExchangeSucceeded(key);
        QCRequestCommon::ParseResponse(CMD::UploadBlock, id, client); // reaches OnUploadBlock here
        Requests().CancelTask(id);
        RemoveRequestId(id);
        return;
    }
    const int code = client->getCurlResult();
    Requests().CancelTask(id);
    RemoveRequestId(id);
    {
        std::lock_guard<std::mutex> lock(m_blockLock);
        if (m_blockOfRequest.erase(id) == 0)
            return; // the task started over meanwhile
        m_blockState[index] = 3;
        --m_inFlight;
    }
    ExchangeFailed(key, code, [run, index](QCUploadFile& task) {
        {
            std::lock_guard<std::mutex> lock(task.m_blockLock);
            if (task.m_run.load() != run)
                return;
            if (task.m_blockState[index] == 3)
                task.m_blockState[index] = 0;
        }
        task.ProcBlocks(run);
    });
}

void QCUploadFile::SendCommit() {
    const unsigned run = m_run.load();
    if (Stopping())
        return;
    // Blocks the service held were never read again: only an unchanged file may be committed.
    quint64 size = 0;
    qint64 mtime = 0;
    UP_COMMIT_REQ request;
    bool same = false;
    const bool exists = Stamp(size, mtime);
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        same = exists && size == m_stampSize && mtime == m_stampMtime;
        request.tid = m_tid;
    }
    if (!same)
        return MarkDirty("file changed before the commit");
    QString addresses;
    const QString host = Hosts(addresses);
    m_step = 4;
    const unsigned id = Requests().DoUploadCommit(request, host, addresses, m_secure.load());
    Exchange(run, CMD::UploadCommit, id, "get", [](QCUploadFile& task) { task.SendCommit(); });
}

void QCUploadFile::SendAdd(const QString& tk, const QString& etk) {
    const unsigned run = m_run.load();
    if (Stopping())
        return;
    UP_ADD_REQ request;
    request.file = GetFileInfo();
    request.token = tk;
    request.etk = etk;
    request.owner_qid = request.file.qid;
    m_step = 5;
    const unsigned id = Requests().DoUploadAdd(request, false);
    if (id == 0)
        return ExchangeFailed(CMD::UploadAdd, 0, [tk, etk](QCUploadFile& task) { task.SendAdd(tk, etk); });
    Exchange(run, CMD::UploadAdd, id, "post", [tk, etk](QCUploadFile& task) { task.SendAdd(tk, etk); });
}

// --- Retries -------------------------------------------------------------------------------------

void QCUploadFile::ExchangeFailed(int key, int code, std::function<void(QCUploadFile&)> send) {
    if (code == CURLE_ABORTED_BY_CALLBACK || Stopping())
        return; // stopped on purpose
    int failures = 0;
    {
        std::lock_guard<std::mutex> lock(m_retryLock);
        failures = ++m_failures[key];
        if (failures <= kRetries)
            m_retries.push_back({QCClock::NowMs() + (1000LL << (failures - 1)), std::move(send)});
    }
    CoreDebug("[upload] %s exchange %d failed (%d), try %d", qUtf8Printable(GetSvrPath()), key, code,
              failures);
    if (failures > kRetries)
        CompleteMe(SYNC_ERROR::Network, unsigned(code), QStringLiteral("upload exchange failed"));
}

void QCUploadFile::ExchangeSucceeded(int key) {
    std::lock_guard<std::mutex> lock(m_retryLock);
    m_failures.erase(key);
}

void QCUploadFile::CheckRetry() {
    std::vector<std::function<void(QCUploadFile&)>> due;
    {
        std::lock_guard<std::mutex> lock(m_retryLock);
        const qint64 now = QCClock::NowMs();
        for (auto it = m_retries.begin(); it != m_retries.end();) {
            if (it->dueMs <= now) {
                due.push_back(std::move(it->send));
                it = m_retries.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (std::function<void(QCUploadFile&)>& send : due)
        Post(std::move(send));
}

// --- Replies -------------------------------------------------------------------------------------

void QCUploadFile::OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) {
    RemoveRequestId(taskId);
    if (m_dirty.load())
        return;
    switch (command) {
    case CMD::UploadInfo:
        OnUploadInfo(reply);
        break;
    case CMD::UploadMeta:
        OnUploadMeta(reply);
        break;
    case CMD::UploadBlock:
        OnUploadBlock(reply, taskId);
        break;
    case CMD::UploadCommit:
    case CMD::UploadFast:
        OnUploadCommit(reply);
        break;
    case CMD::UploadAdd:
        OnUploadAdd(reply);
        break;
    default:
        break;
    }
}

bool QCUploadFile::ReplyFailed(QJsonObject& reply, bool commit) {
    QString msg;
    const int err = ParseErr(reply, msg);
    if (err == 0)
        return false;
    if (err == QCRequestCommon::ERRNO_BAD_REPLY)
        CompleteMe(SYNC_ERROR::ServerProtocol, 0, msg);
    else if (commit && err == 4021)
        MarkDirty("the service refused the commit (4021)");
    else
        CompleteMe(SYNC_ERROR::Logic, unsigned(err), msg);
    return true;
}

void QCUploadFile::OnUploadInfo(QJsonObject& reply) {
    if (ReplyFailed(reply, false))
        return;
    QJsonObject data = JsonData(reply);
    if (data.isEmpty()) {
        Post([](QCUploadFile& task) { task.SendMeta(); });
        return;
    }
    const std::shared_ptr<UP_INFO_ACK> ack = QCResponseCommon().parseUploadInfo(data);
    if (!ack)
        return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QStringLiteral("unreadable upload info"));
    QString addresses;
    if (g_Config.UseDns()) {
        addresses = ack->addr_1.address + QLatin1Char(',') + ack->addr_2.address + QLatin1Char(',');
    } else {
        for (const IP_INFO* entry : {&ack->addr_1, &ack->addr_2}) {
            if (entry->mode == QLatin1String("d") || entry->mode == QLatin1String("p"))
                addresses += entry->address + QLatin1Char(',');
        }
    }
    addresses += ack->backup;
    {
        std::lock_guard<std::mutex> lock(m_hostMutex);
        m_hostInUse = ack->http;
        m_addrList = addresses;
    }
    m_secure = ack->is_https != 0 && !g_Config.SslFlag();
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        m_tk = ack->tk;
    }
    if (!ack->compress) {
        m_noZipByService = true;
        std::lock_guard<std::mutex> lock(m_blockLock);
        m_noZip = true;
    }
    const quint64 size = GetFileSize();
    if (ack->autoCommit) {
        // The service holds the content and has made the file.
        SetServerCommitted(true);
        SetNewVersion(ack->ver);
        SetServerHave(size);
        EditFileInfo([&](FILE_INFO& record) { record.nv = ack->nv.toULongLong(); });
        std::vector<BLOCK_INFO> blocks;
        {
            std::lock_guard<std::mutex> lock(m_planLock);
            blocks = m_plan.blocks;
        }
        for (const BLOCK_INFO& block : blocks)
            SetBlockExist(block.bhash, true);
        g_Config.finish_task_have_count += 1;
        g_Config.finish_task_have_size += qint64(size);
        g_Config.pending_bytes += qint64(size);
        CompleteMe(SYNC_ERROR::OK, 0, QString());
        return;
    }
    if (ack->http.isEmpty()) {
        SetAddNeeded(true);
        Post([tk = ack->tk](QCUploadFile& task) { task.SendAdd(tk, QString()); });
    } else if (g_Config.fast_up_filesize >= 0 && size <= quint64(g_Config.fast_up_filesize) &&
               size <= quint64(kBlockSize)) {
        Post([](QCUploadFile& task) { task.SendFastUpload(); });
    } else {
        Post([](QCUploadFile& task) { task.SendMeta(); });
    }
}

void QCUploadFile::OnUploadMeta(QJsonObject& reply) {
    if (ReplyFailed(reply, false))
        return;
    QJsonObject data = JsonData(reply);
    std::vector<BLOCK_INFO> blocks;
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        blocks = m_plan.blocks;
        if (data.isEmpty() && ++m_emptyMetaReplies > kRetries)
            blocks.clear();
    }
    if (data.isEmpty()) {
        if (blocks.empty())
            return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QStringLiteral("empty block list reply"));
        Post([](QCUploadFile& task) { task.SendMeta(); });
        return;
    }
    const std::shared_ptr<UP_EX_ACK> ack = QCResponseCommon().parseUploadMeta(data, blocks);
    if (!ack || ack->tid.isEmpty())
        return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QStringLiteral("unreadable block list reply"));
    {
        std::lock_guard<std::mutex> lock(m_planLock);
        m_tid = ack->tid;
    }
    quint64 have = 0;
    {
        std::lock_guard<std::mutex> lock(m_blockLock);
        for (size_t i = 0; i < ack->block_info.size() && i < m_blockState.size(); ++i) {
            if (ack->block_info[i].found) {
                m_blockState[i] = 2;
                have += blocks[i].bsize;
            }
        }
    }
    for (size_t i = 0; i < ack->block_info.size(); ++i)
        if (ack->block_info[i].found)
            SetBlockExist(blocks[i].bhash, true);
    SetServerHave(have);
    m_step = 3;
    UpdateSpeed(false);
    Post([run = m_run.load()](QCUploadFile& task) { task.ProcBlocks(run); });
}

void QCUploadFile::OnUploadBlock(QJsonObject& reply, unsigned taskId) {
    if (ReplyFailed(reply, false))
        return;
    QString hash;
    unsigned run = 0;
    {
        std::lock_guard<std::mutex> lock(m_blockLock);
        run = m_run.load();
        const auto it = m_blockOfRequest.find(taskId);
        if (it == m_blockOfRequest.end())
            return;
        const size_t index = it->second;
        m_blockOfRequest.erase(it);
        m_blockState[index] = 2;
        --m_inFlight;
        std::lock_guard<std::mutex> planLock(m_planLock);
        hash = m_plan.blocks.at(index).bhash;
    }
    SetBlockExist(hash, true);
    UpdateSpeed(false);
    ProcBlocks(run);
}

void QCUploadFile::OnUploadCommit(QJsonObject& reply) {
    if (ReplyFailed(reply, true))
        return;
    QJsonObject data = JsonData(reply);
    if (data.isEmpty())
        return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QString());
    const std::shared_ptr<UP_COMMIT_ACK> ack = QCResponseCommon().parseUploadCommit(data);
    if (!ack)
        return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QString());
    if (ack->autoCommit) {
        SetServerCommitted(true);
        SetNewVersion(ack->ver);
        CompleteMe(SYNC_ERROR::OK, 0, QString());
        return;
    }
    SetAddNeeded(true);
    Post([tk = ack->tk, etk = ack->etk](QCUploadFile& task) { task.SendAdd(tk, etk); });
}

void QCUploadFile::OnUploadAdd(QJsonObject& reply) {
    if (ReplyFailed(reply, false))
        return;
    QJsonObject data = JsonData(reply);
    if (data.isEmpty())
        return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QString());
    const std::shared_ptr<UP_ADD_ACK> ack = QCResponseCommon().parseUploadAdd(data);
    if (!ack)
        return CompleteMe(SYNC_ERROR::ServerProtocol, 0, QString());
    SetNewVersion(ack->ver);
    CompleteMe(SYNC_ERROR::OK, 0, QString());
}
