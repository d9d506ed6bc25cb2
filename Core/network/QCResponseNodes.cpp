// The node reply parsers of QCResponseCommon: pages of the full and of the incremental node list,
// and the answer to a folder creation. The sync engine builds local paths from node names, so a
// name that is not one plain file name never becomes a record: the node is left out and counted
// as bad data, and no reply can steer a path out of the mirror folder.
#include "network/QCResponseCommon.h"
#include "network/ReplyFields.h"

#include "common/CoreLog.h"
#include "common/PathUtils.h"

#include <QJsonArray>

using namespace ReplyFields;

namespace {

// The service's own folder, never shown in the mirror.
const QString kHiddenShareFolder = QStringLiteral(".Nimboshare");

// The node's name without trailing slashes, folder prefix or blanks at either end.
QString CleanNodeName(QString name) {
    while (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    return GetOnlyFilename(name).trimmed();
}

// Whether `name` can stand as one component of a local path.
bool IsPlainName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

// Every field a node list gives; the rest keep the values of a fresh FILE_INFO.
FILE_INFO ReadNode(const QJsonObject& node) {
    FILE_INFO info;
    info.ctime = Low32(node, "create_time");
    info.mtime = Low32(node, "modify_time");
    info.attrs = Low32(node, "attribute");
    info.size = QCResponseCommon::JsonULongLong(Value(node, "count_size"));
    info.version = Low32(node, "version");
    info.nid = Text(node, "nid");
    info.file_hash = Text(node, "file_hash");
    info.pid = Text(node, "pid");
    info.is_dir = QCResponseCommon::JsonBool(Value(node, "type"));
    info.nv = QCResponseCommon::JsonULongLong(Value(node, "nv"));
    info.eid = Text(node, "eid");
    info.qid = Text(node, "qid");
    info.is_share = QCResponseCommon::JsonBool(Value(node, "is_share"));
    info.share_qid = Text(node, "share_qid");
    info.owner = Text(node, "owner");
    info.share_name = Text(node, "share_name");
    info.is_sync = QCResponseCommon::JsonBool(Value(node, "is_sync"));
    info.is_link = QCResponseCommon::JsonBool(Value(node, "is_link"));
    info.status = Low32(node, "status");
    info.name = CleanNodeName(Text(node, "name"));
    return info;
}

// One page of a node list into `ack` (GLOBAL_NODES_ACK or INCR_GLOBAL_ACK); `kind` and `parser`
// only name the list in the debug lines.
template <typename Page>
void ParseNodePage(const QJsonObject& data, Page& ack, const char* kind, const char* parser) {
    ack.ver = Low32(data, "ver");
    ack.total = Low32(data, "total");
    ack.retnum = Low32(data, "retnum");
    ack.gsp = Text(data, "gsp");
    ack.spnid = Text(data, "spnid");
    CoreDebug("[allnodes] %s retnum =  %d , total = %d\n", kind, int(ack.retnum), int(ack.total));

    quint32 folders = 0;
    quint32 files = 0;
    const QJsonArray list = Value(data, "node_list").toArray();
    for (const QJsonValue& element : list) {
        if (!element.isObject())
            continue;
        const QJsonObject node = element.toObject();
        FILE_INFO info = ReadNode(node);
        if (info.name == kHiddenShareFolder)
            continue;
        // Without a text id (a number, absent, empty) the node cannot be told apart from others;
        // without a plain name it cannot be placed; a negative size describes no file (read as 0
        // it would become an empty file). Either way the page is bad data.
        if (info.nid.isEmpty() || !IsPlainName(info.name) ||
            QCResponseCommon::JsonNegative(Value(node, "count_size"))) {
            CoreDebug("[allnodes] %s bad node nid:%s, name:%s\n", kind, qUtf8Printable(info.nid),
                      qUtf8Printable(Text(node, "name")));
            ++ack.bad_nodes;
            continue;
        }
        if (info.is_dir)
            ++folders;
        else
            ++files;
        const QString nid = info.nid;
        ack.nodes[nid] = std::move(info); // a later element with the same id wins
    }
    CoreDebug("[resp] %s ret:%d, dir:%u, file:%u, ver %u, gsp:%s, spnid:%s, bad:%u\n", parser,
              int(ack.nodes.size()), folders, files, ack.ver, qUtf8Printable(ack.gsp),
              qUtf8Printable(ack.spnid), ack.bad_nodes);
}

} // namespace

std::shared_ptr<GLOBAL_NODES_ACK> QCResponseCommon::parseGlobalNode(QJsonObject& data) {
    auto ack = std::make_shared<GLOBAL_NODES_ACK>();
    if (!data.isEmpty())
        ParseNodePage(data, *ack, "global", "GetGlobalNode");
    return ack;
}

std::shared_ptr<INCR_GLOBAL_ACK> QCResponseCommon::parseIncrNode(QJsonObject& data) {
    auto ack = std::make_shared<INCR_GLOBAL_ACK>();
    if (!data.isEmpty())
        ParseNodePage(data, *ack, "incr", "GetIncrNode");
    return ack;
}

std::shared_ptr<NODE_CHANGE_ACK> QCResponseCommon::parseCreateDir(QJsonObject& data) {
    auto ack = std::make_shared<NODE_CHANGE_ACK>();
    if (data.isEmpty())
        return ack;
    ack->ver = Low32(data, "ver");
    ack->nid = Text(data, "nid");
    ack->nv = JsonULongLong(Value(data, "nv"));
    ack->root_nid = Text(data, "root_nid");
    ack->share_name = Text(data, "share_name");
    CoreDebug("[resp] CreateDir ver:%d, nid:%s, root_nid:%s, share_name:%s\n", int(ack->ver),
              qUtf8Printable(ack->nid), qUtf8Printable(ack->root_nid), qUtf8Printable(ack->share_name));
    return ack;
}
