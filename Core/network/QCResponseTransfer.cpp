// The transfer reply parsers of QCResponseCommon. Block lists come from the network: they are
// checked against the file before anything is sized by them.
#include "network/QCResponseCommon.h"
#include "network/ReplyFields.h"

#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/PathUtils.h"

#include <QJsonArray>

#include <algorithm>

using namespace ReplyFields;

namespace {

// "addr_1", "addr_2" and "backup" of a transfer reply. Without a first address the host serves.
void ReadAddresses(const QJsonObject& object, QString& http, IP_INFO& addr1, IP_INFO& addr2,
                   QString& backup) {
    if (!http.isEmpty() && !QCResponseCommon::IsValidHost(http))
        http.clear(); // it would end up in URLs and headers
    addr1 = QCResponseCommon::SplitAddress(Text(object, "addr_1"));
    if (addr1.address.isEmpty()) {
        addr1.address = http;
        addr1.mode = QStringLiteral("d");
    }
    addr2 = QCResponseCommon::SplitAddress(Text(object, "addr_2"));
    backup = Text(object, "backup");
}

// Whether the blocks tile [0, fsize) exactly, each at most one block long, in offset order.
bool TilesFile(std::vector<BLOCK_INFO>& blocks, quint64 fsize) {
    if (fsize == 0 ? !blocks.empty() : blocks.size() != (fsize + CLOUD_BLOCK_SIZE - 1) / CLOUD_BLOCK_SIZE)
        return false;
    std::sort(blocks.begin(), blocks.end(),
              [](const BLOCK_INFO& a, const BLOCK_INFO& b) { return a.boffset < b.boffset; });
    quint64 next = 0;
    for (const BLOCK_INFO& block : blocks) {
        if (block.boffset != next || block.bsize == 0 || block.bsize > CLOUD_BLOCK_SIZE)
            return false;
        next += block.bsize;
    }
    return next == fsize;
}

} // namespace

std::shared_ptr<DL_INFO_ACK> QCResponseCommon::parseDownloadInfo(QJsonObject& data) {
    auto ack = std::make_shared<DL_INFO_ACK>();
    const QJsonObject fileInfo = Value(data, "file_info").toObject();
    if (fileInfo.isEmpty())
        return ack;
    ack->is_https = JsonBool(Value(data, "is_https"));
    // Keys of a JSON object are ordered by name: the file is the first one.
    const QJsonObject file = fileInfo.begin().value().toObject();
    ack->file.version = quint32(JsonULong(Value(file, "ver")));
    ack->file.file_hash = Text(file, "fhash");
    ack->file.size = JsonULongLong(Value(file, "fsize"));
    ack->bad_size = JsonNegative(Value(file, "fsize"));
    ack->file.ctime = quint32(JsonULongLong(Value(file, "ctime")));
    ack->file.mtime = quint32(JsonULongLong(Value(file, "mtime")));
    ack->file.path = Text(file, "fpath");
    ack->file.name = GetOnlyFilename(ack->file.path);
    ack->dt = Text(file, "dt");
    ack->nid = Text(file, "nid");
    ack->compress = JsonBool(Value(file, "compress"));
    ack->http = Text(file, "http");
    ReadAddresses(file, ack->http, ack->addr_1, ack->addr_2, ack->backup);
    CoreDebug("[resp] DownloadInfo server_path:%s, allow_zip:%d, is_https:%d, ver:%d, host:%s, addr1:%s, "
              "addr2:%s\n",
              qUtf8Printable(ack->file.path), int(ack->compress), int(ack->is_https), int(ack->file.version),
              qUtf8Printable(ack->http), qUtf8Printable(Text(file, "addr_1")),
              qUtf8Printable(Text(file, "addr_2")));
    return ack;
}

std::shared_ptr<DL_META_ACK> QCResponseCommon::parseDownloadMeta(QJsonObject& data) {
    auto ack = std::make_shared<DL_META_ACK>();
    if (data.isEmpty())
        return ack;
    const quint64 btotal = JsonULong(Value(data, "btotal"));
    ack->fsize = JsonULongLong(Value(data, "fsize"));
    const QJsonArray list = Value(data, "block_info").toArray();
    if (quint64(list.size()) > MAX_FILE_BLOCKS)
        return nullptr;
    ack->block_info.reserve(size_t(list.size()));
    for (const QJsonValue& element : list) {
        const QJsonObject item = element.toObject();
        BLOCK_INFO block;
        block.found = true;
        const quint64 bsize = JsonULong(Value(item, "bsize"));
        block.bsize = bsize > CLOUD_BLOCK_SIZE ? 0 : quint32(bsize); // 0 fails the tiling check
        block.boffset = JsonULongLong(Value(item, "boffset"));
        block.bidx = quint32((block.boffset >> 19) + 1);
        block.hash = Text(item, "bhash");
        block.bhash = block.hash;
        block.dt = Text(item, "dt");
        ack->block_info.push_back(std::move(block));
    }
    CoreDebug("[resp] DownloadMeta btotal:%d, block_list_size:%d, filesize:%llu\n", int(btotal),
              int(ack->block_info.size()), static_cast<unsigned long long>(ack->fsize));
    if (!TilesFile(ack->block_info, ack->fsize)) {
        CoreDebug("[resp] DownloadMeta blocks do not tile the file\n");
        return nullptr;
    }
    return ack;
}

std::shared_ptr<UP_INFO_ACK> QCResponseCommon::parseUploadInfo(QJsonObject& data) {
    auto ack = std::make_shared<UP_INFO_ACK>();
    if (data.isEmpty())
        return ack;
    ack->ver = quint32(JsonULong(Value(data, "ver")));
    ack->tk = Text(data, "tk");
    ack->autoCommit = JsonBool(Value(data, "autoCommit"));
    if (ack->autoCommit && !Value(data, "node_info").toObject().isEmpty()) {
        // Read from the data object itself, not from "node_info".
        ack->root_nid = Text(data, "root_nid");
        ack->nv = Text(data, "nv");
    }
    ack->compress = JsonBool(Value(data, "compress"));
    ack->is_https = JsonBool(Value(data, "is_https"));
    ack->http = Text(data, "http");
    ReadAddresses(data, ack->http, ack->addr_1, ack->addr_2, ack->backup);
    CoreDebug(
        "[resp] UploadInfo autoCommit:%d, allow_zip:%d, is_https:%d, ver:%d, host:%s, addr1:%s, addr2:%s\n",
        int(ack->autoCommit), int(ack->compress), int(ack->is_https), int(ack->ver),
        qUtf8Printable(ack->http), qUtf8Printable(Text(data, "addr_1")),
        qUtf8Printable(Text(data, "addr_2")));
    return ack;
}

std::shared_ptr<UP_EX_ACK> QCResponseCommon::parseUploadMeta(QJsonObject& data,
                                                             const std::vector<BLOCK_INFO>& blocks) {
    auto ack = std::make_shared<UP_EX_ACK>();
    if (data.isEmpty())
        return ack;
    const quint64 btotal = JsonULong(Value(data, "btotal"));
    ack->tid = Text(data, "tid");
    const QJsonArray list = Value(data, "block_info").toArray();
    CoreDebug("[resp] UploadMeta btotal:%d, block_list_size:%d, taskid:%s\n", int(btotal), int(list.size()),
              qUtf8Printable(ack->tid));
    // The count is the service's: it must be the upload's own before it sizes anything.
    if (btotal != blocks.size() || btotal > MAX_FILE_BLOCKS || quint64(list.size()) > btotal) {
        CoreDebug("[resp] UploadMeta btotal %llu does not match %d blocks\n",
                  static_cast<unsigned long long>(btotal), int(blocks.size()));
        return nullptr;
    }
    ack->block_info.resize(size_t(btotal));
    for (size_t i = 0; i < blocks.size(); ++i) {
        ack->block_info[i].bidx = quint32(i + 1);
        ack->block_info[i].bhash = blocks[i].bhash;
    }
    std::vector<bool> answered(size_t(btotal), false);
    for (const QJsonValue& element : list) {
        const QJsonObject item = element.toObject();
        const quint64 bidx = JsonULong(Value(item, "bidx"));
        const QString bhash = Text(item, "bhash");
        // Each answer belongs to the block it names, once, and must name it with its own hash
        // (hex digits in either case: ours are lower-case, a service may answer upper-case).
        if (bidx < 1 || bidx > btotal || answered[size_t(bidx - 1)] ||
            (!bhash.isEmpty() && bhash.compare(blocks[size_t(bidx - 1)].bhash, Qt::CaseInsensitive) != 0)) {
            CoreDebug("[resp] UploadMeta answer for block %llu does not match\n",
                      static_cast<unsigned long long>(bidx));
            return nullptr;
        }
        answered[size_t(bidx - 1)] = true;
        ack->block_info[size_t(bidx - 1)].found = JsonBool(Value(item, "found"));
    }
    return ack;
}

std::shared_ptr<UP_COMMIT_ACK> QCResponseCommon::parseUploadCommit(QJsonObject& data) {
    auto ack = std::make_shared<UP_COMMIT_ACK>();
    if (data.isEmpty())
        return ack;
    ack->ver = quint32(JsonULong(Value(data, "ver")));
    ack->autoCommit = JsonBool(Value(data, "autoCommit"));
    ack->tk = Text(data, "tk");
    ack->etk = Text(data, "etk");
    CoreDebug("[resp] UploadCommit ver:%d, autoCommit:%d\n", int(ack->ver), int(ack->autoCommit));
    return ack;
}

std::shared_ptr<UP_ADD_ACK> QCResponseCommon::parseUploadAdd(QJsonObject& data) {
    auto ack = std::make_shared<UP_ADD_ACK>();
    if (data.isEmpty())
        return ack;
    ack->ver = quint32(JsonULong(Value(data, "ver")));
    return ack;
}
