// A folder deleted here while another device adds to it. The local deletion alone does not say
// what the cloud holds below the folder now: before the folder is recycled, the changes since the
// engine's tree are fetched (the pages of an incremental fetch from the tree's sync point, read
// here and applied nowhere: the regular fetch takes them in later, from the same point).
//
// An item below the folder that the tree did not hold, or held in another state, and that the
// journal does not know as it is now (this device's own upload, say), was never seen here. When
// there is none, the folder is recycled whole. Otherwise those items stay in the cloud with every
// folder above them, which come back on disk, and the items' files come down; everything else below
// the folder is recycled item by item, as deletes of their own ahead in the pending list.
//
// Threads: the engine thread, except the pages, which are fetched on the pool.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/SafePath.h"
#include "network/CmdTable.h"
#include "network/NetworkClient.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <QJsonDocument>
#include <QSet>

namespace {

// A fetch of more pages than this is given up: the delete is put off.
constexpr int kMostPages = 1000;

// The data of the reply to the request `id`, which no handler was told of; false when there is
// none or the service refused. Any thread.
bool ReplyData(unsigned int id, QJsonObject& data) {
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    const QSharedPointer<NetworkClient> client = id ? requests->GetRequestByID(id) : nullptr;
    const QByteArray body = client ? client->responseBody() : QByteArray();
    requests->CancelTask(id);
    const QJsonObject reply = QJsonDocument::fromJson(body).object();
    if (reply.isEmpty() || QCResponseCommon::JsonInt(reply.value(QStringLiteral("errno"))) != 0)
        return false;
    data = reply.value(QStringLiteral("data")).toObject();
    return true;
}

// Every node changed after the request's sync point, read without telling the engine. Any thread.
bool FetchChangesSince(INCR_GLOBAL_REQ request, NodeMap& nodes) {
    for (int page = 0; page < kMostPages; ++page) {
        QJsonObject data;
        if (!ReplyData(QCRequestCommon::GetInstance()->DoGetIncrGlobal(request, false), data))
            return false;
        const std::shared_ptr<INCR_GLOBAL_ACK> ack = QCResponseCommon().parseIncrNode(data);
        if (!ack)
            return false;
        for (auto& node : ack->nodes) {
            const auto held = nodes.find(node.first);
            if (held == nodes.end() || held->second.nv <= node.second.nv)
                nodes[node.first] = node.second;
        }
        if (request.count <= 0 || ack->retnum < quint32(request.count) || ack->gsp.isEmpty())
            return true;
        request.gsp = ack->gsp;
        request.spnid = ack->spnid;
    }
    return false;
}

// Without a sync point the whole tree is listed (and what changed during the listing follows);
// every node whose state differs from `tree`'s comes back, and those of `tree` gone as deleted.
bool FetchWholeTree(const NodeMap& tree, int pageSize, NodeMap& nodes) {
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    QJsonObject data;
    if (!ReplyData(requests->DoGetBgsp(false), data))
        return false;
    const std::shared_ptr<BGSP_ACK> base = QCResponseCommon().parseBgsp(data);
    if (!base || base->bgsp.isEmpty())
        return false;
    NodeMap listed;
    GLOBAL_NODES_REQ request;
    request.bgsp = base->bgsp;
    request.gsp = base->bgsp;
    request.count = pageSize;
    quint32 version = base->ver;
    for (int page = 0;; ++page) {
        if (page == kMostPages || !ReplyData(requests->DoGetGlobalNodes(request, false), data))
            return false;
        const std::shared_ptr<GLOBAL_NODES_ACK> ack = QCResponseCommon().parseGlobalNode(data);
        if (!ack)
            return false;
        for (auto& node : ack->nodes)
            listed[node.first] = node.second;
        version = ack->ver;
        if (ack->retnum < quint32(pageSize) || ack->gsp.isEmpty())
            break;
        request.gsp = ack->gsp;
        request.spnid = ack->spnid;
    }
    INCR_GLOBAL_REQ since;
    since.gsp = base->bgsp;
    since.count = pageSize;
    since.uv = int(version);
    if (!FetchChangesSince(since, listed))
        return false;
    for (auto& [nid, node] : listed) {
        const auto was = tree.find(nid);
        if (was == tree.end() || was->second.nv != node.nv || node.status != 0)
            nodes[nid] = node;
    }
    for (const auto& [nid, node] : tree) {
        if (listed.count(nid) == 0) {
            nodes[nid] = node;
            nodes[nid].status = 1;
        }
    }
    return true;
}

// Whether `path` lies strictly below `folder`, letter case ignored.
bool StrictlyBelow(const QString& path, const QString& folder) {
    return path.size() > folder.size() + 1 && path.at(folder.size()) == QLatin1Char('/') &&
           path.startsWith(folder, Qt::CaseInsensitive);
}

} // namespace

void QCLocalStoreMgr::CheckFolderBeforeDelete(PendingChanges::iterator item) {
    const quint32 token = QCRequestCommon::GetInstance()->GetTaskID();
    item->sync_id = token;
    m_pending.Touch(item);
    m_folderOps.insert(token);
    INCR_GLOBAL_REQ request;
    request.gsp = m_gsp;
    request.count = NodePageSize();
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        request.uv = int(m_userDetail.version);
    }
    CoreDebug("[req] delete %s: what the cloud holds below it first", qUtf8Printable(item->local.path));
    // Without a sync point the pool compares a copy of the tree with the listing.
    NodeMap tree = m_gsp.isEmpty() ? m_globalAck.nodes : NodeMap();
    RunOnPool([this, token, request, tree = std::move(tree)] {
        NodeMap changed;
        const bool fetched = request.gsp.isEmpty() ? FetchWholeTree(tree, request.count, changed)
                                                   : FetchChangesSince(request, changed);
        PostQuiet([this, token, fetched, changed = std::move(changed)] {
            FolderCheckDone(token, fetched, changed);
        });
    });
}

void QCLocalStoreMgr::FolderCheckDone(quint32 token, bool fetched, const NodeMap& changed) {
    const PendingChanges::iterator item = m_pending.FindId(token);
    if (m_folderOps.erase(token) == 0 || item == m_pending.end())
        return; // the engine cleared its work meanwhile
    if (!fetched) {
        CoreDebug("[req] delete %s: the cloud's changes could not be fetched, put off",
                  qUtf8Printable(item->local.path));
        PutOff(item);
        TriggerTimerEvent();
        return;
    }
    item->cloud_checked = true;
    QString folder = item->local.path;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const NodeMap& tree = m_globalAck.nodes;
    // A node's state now: the changes first, then the tree; null when deleted or unknown.
    const auto nodeOf = [&](const QString& nid) -> const FILE_INFO* {
        const auto now = changed.find(nid);
        if (now != changed.end())
            return now->second.status == 0 ? &now->second : nullptr;
        const auto was = tree.find(nid);
        return was == tree.end() ? nullptr : &was->second;
    };
    const auto pathOf = [&](const QString& nid) {
        QString path;
        QString id = nid;
        for (size_t depth = 0; id != QLatin1String("0") && !id.isEmpty(); ++depth) {
            const FILE_INFO* node = depth <= tree.size() + changed.size() ? nodeOf(id) : nullptr;
            if (!node)
                return QString();
            path = QLatin1Char('/') + node->name + path;
            id = node->pid;
        }
        return path;
    };
    struct Below {
        FILE_INFO node;
        bool fresh = false; // changed since the tree
    };
    std::map<QString, Below> below; // lower-cased cloud path -> the node there now
    FILE_INFO self = item->local;
    for (const auto& [nid, node] : tree) {
        if (changed.count(nid) != 0)
            continue;
        if (node.path.compare(folder, Qt::CaseInsensitive) == 0)
            self = node;
        if (!StrictlyBelow(node.path, folder))
            continue;
        Below entry{node, false};
        entry.node.path = pathOf(nid); // an ancestor may have moved since
        if (StrictlyBelow(entry.node.path, folder))
            below[entry.node.path.toLower()] = entry;
    }
    std::vector<QString> freshPaths;
    for (const auto& [nid, node] : changed) {
        if (node.status != 0)
            continue;
        Below entry{node, true};
        entry.node.path = pathOf(nid);
        if (entry.node.path.compare(folder, Qt::CaseInsensitive) == 0)
            self = entry.node;
        if (!StrictlyBelow(entry.node.path, folder))
            continue;
        freshPaths.push_back(entry.node.path);
        below[entry.node.path.toLower()] = entry;
    }
    // What the journal knows as it is now was synced here (uploaded before the tree caught up).
    std::map<QString, FILE_INFO> rows;
    if (!freshPaths.empty() && !QCSyncDB::GetFileInfos(freshPaths, rows)) {
        PutOff(item);
        TriggerTimerEvent();
        return;
    }
    const auto journalKnows = [&](const QString& key, const FILE_INFO& node) {
        const auto row = rows.find(key);
        if (row == rows.end() || row->second.is_dir != node.is_dir)
            return false;
        return node.is_dir || (row->second.size == node.size &&
                               row->second.file_hash.compare(node.file_hash, Qt::CaseInsensitive) == 0);
    };
    // The folder is on disk again (made again by the user, or brought back for what another
    // device added to a folder below it): it stays with what it holds now, and only what is gone
    // from it is recycled. Its delete stood for the deletes of everything below it. Not when
    // another folder is being renamed or moved to its name: that one takes its place.
    const bool back = StampOf(item->path).is_dir && !RefreshIsPathRenaming(item->local.path);
    QSet<QString> unseen;  // lower-cased paths of the items never seen here
    QSet<QString> kept;    // and of the folders above them, or on disk again below a folder back
    QSet<QString> present; // the files on disk again below a folder back
    for (const auto& [key, entry] : below) {
        QString localPath;
        if (back && SafeDiskPath(entry.node.path, localPath) && StampOf(localPath).exists) {
            (entry.node.is_dir ? kept : present).insert(key);
            continue;
        }
        if (!entry.fresh || journalKnows(key, entry.node))
            continue;
        unseen.insert(key);
        for (QString up = GetParentPath(key); StrictlyBelow(up, folder); up = GetParentPath(up))
            kept.insert(up);
    }
    if (unseen.isEmpty() && !back) {
        RunFolderOperation(item, CMD::DeleteNode);
        return;
    }
    if (back)
        CoreDebug("[req] delete %s: the folder is here again; what is gone from it is recycled",
                  qUtf8Printable(folder));
    else
        CoreDebug("[req] delete %s: %d items below it came from elsewhere meanwhile; they stay",
                  qUtf8Printable(folder), int(unseen.size()));
    // What this device knew below an item it never saw (moved there elsewhere) is neither
    // recycled nor fetched here.
    const auto belowUnseen = [&](const QString& key) {
        for (QString up = GetParentPath(key); StrictlyBelow(up, folder); up = GetParentPath(up)) {
            if (unseen.contains(up))
                return true;
        }
        return false;
    };
    const QString folderKey = folder.toLower();
    std::vector<CHANGE_ITEM> recycle;
    const QString root = GetRootPath();
    std::vector<const FILE_INFO*> folders{&self}; // the folders that come back on disk
    for (const auto& [key, entry] : below) {
        const FILE_INFO& node = entry.node;
        if (present.contains(key) || (!unseen.contains(key) && belowUnseen(key)))
            continue;
        if (kept.contains(key) || (unseen.contains(key) && node.is_dir)) {
            folders.push_back(&node);
            continue;
        }
        if (unseen.contains(key)) {
            QString localPath;
            if (SafeDiskPath(node.path, localPath)) {
                m_cache.Update(localPath, node, FILE_STATUS_WAIT_DOWN, true, true, true);
                QueueCloudDownload(node, localPath);
            }
            continue;
        }
        const QString parent = GetParentPath(key);
        if (parent != folderKey && !kept.contains(parent))
            continue; // recycled with a folder above it
        CHANGE_ITEM part;
        part.path = GetDiskPath(node.path);
        part.type = SYNC_CHANGE_DEL;
        part.exec_type = 3;
        part.local = node;
        part.local.version = std::max<quint32>(node.version, 1);
        part.user_op = item->user_op;
        part.cloud_checked = true;
        recycle.push_back(part);
    }
    for (const FILE_INFO* node : folders) {
        QString localPath;
        if (!SafeDiskPath(node->path, localPath))
            continue;
        if (!StampOf(localPath).is_dir) {
            ExpectEcho(SYNC_CHANGE_MOD, localPath); // the engine's own, not a new folder to send
            if (!SafePath::MakeFolders(root, localPath))
                continue;
        }
        FILE_INFO row = *node;
        row.is_dir = true;
        row.local_path = localPath;
        QCSyncDB::UpdateFileInfo(row);
        m_cache.Update(localPath, row, FILE_STATUS_SYNCED, true, true, true);
    }
    m_pending.Erase(item);
    for (auto it = recycle.rbegin(); it != recycle.rend(); ++it)
        m_pending.PushFront(*it);
    ExecDownloadTask();
    TriggerTimerEvent();
}
