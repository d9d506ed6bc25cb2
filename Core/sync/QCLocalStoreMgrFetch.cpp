// The cloud fetch: one cycle brings the engine's picture of the cloud tree up to date and hands it
// to the comparison.
//
//   no tree known:   Incr.getBgsp -> Incr.getGlobalNodes pages -> Incr.getIncrGlobal pages
//   tree known:      Incr.getIncrGlobal pages from the stored sync point
//
// Every request runs on the pool and its reply comes back as an event, so the engine thread never
// waits for an exchange. A step whose exchange fails or whose reply does not parse is sent again
// with the same cursors after 1 s, 2 s, 4 s ... at most 60 s of the core's clock; a page that
// arrives resets the pause. The tree stays in memory between cycles: the snapshot on disk is read
// only when the engine has none (after a start or a clear).
#include "sync/QCLocalStoreMgr.h"

#include "Database/NodeStorage.h"
#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/QCClock.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr qint64 kFetchFirstPauseMs = 1000;
constexpr qint64 kFetchLongestPauseMs = 60000;
// A cycle bringing fewer changed nodes compares only those.
constexpr size_t kIncrementalLimit = 5000;

} // namespace

int QCLocalStoreMgr::NodePageSize() {
    return g_Config.getallnodes_page > 0 ? g_Config.getallnodes_page : 2000;
}

void QCLocalStoreMgr::ResetFetch() {
    m_fetchActive = false;
    m_fetchStep = nullptr;
    m_fetchCommand = 0;
    m_fetchRetryAtMs = -1;
    m_fetchPauseMs = kFetchFirstPauseMs;
}

void QCLocalStoreMgr::ClearNodeTree() {
    ResetFetch();
    // Kept for the comparison after the next whole listing: what moved meanwhile is found by it.
    if (!m_globalAck.nodes.empty())
        m_previousNodes.swap(m_globalAck.nodes);
    m_globalAck.Clear();
    m_globalAck.gsp.clear();
    m_globalAck.spnid.clear();
    m_incrAck.Clear();
    m_gsp.clear();
    m_treeLoaded = false;
    m_needCompare = true;
    m_comparedOnce = false;
    m_fetchedNodes = 0;
}

void QCLocalStoreMgr::SendFetchStep(int command, std::function<void()> step) {
    m_fetchCommand = command;
    m_fetchStep = step;
    m_fetchRetryAtMs = -1;
    RunOnPool(std::move(step));
}

void QCLocalStoreMgr::FetchFailed(int command, int kind, int code) {
    if (!m_fetchActive || command != m_fetchCommand || !m_fetchStep)
        return;
    m_fetchRetryAtMs = QCClock::NowMs() + m_fetchPauseMs;
    CoreDebug("[fetch] step %d failed (kind %d, code %d): again in %lld ms", command, kind, code,
              static_cast<long long>(m_fetchPauseMs));
    m_fetchPauseMs = std::min(m_fetchPauseMs * 2, kFetchLongestPauseMs);
}

void QCLocalStoreMgr::FetchStepSucceeded() {
    m_fetchPauseMs = kFetchFirstPauseMs;
    m_fetchRetryAtMs = -1;
    ErrorOnThread(SYNC_ERROR::OK, 0, QString(), nullptr); // the service answers again
    // So does a reply fault that a good reply has now disproved.
    bool cleared = false;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        const quint32 kind = m_syncError.GetType();
        if (kind == quint32(SYNC_ERROR::XmlCorrupt) || kind == quint32(SYNC_ERROR::ServerProtocol) ||
            kind == quint32(SYNC_ERROR::ServerData)) {
            m_syncError.Clear();
            cleared = true;
        }
    }
    if (cleared)
        SendUserStatusChangeEvent();
}

void QCLocalStoreMgr::CheckFetchRetry() {
    if (!m_fetchActive || m_fetchRetryAtMs < 0 || QCClock::NowMs() < m_fetchRetryAtMs || !m_fetchStep)
        return;
    m_fetchRetryAtMs = -1;
    CoreDebug("[fetch] step %d sent again", m_fetchCommand);
    RunOnPool(m_fetchStep);
}

bool QCLocalStoreMgr::CheckGlobalNodesCache() {
    m_globalAck.nodes.clear();
    const QString& path = g_Config.nodes_path;
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        m_gsp.clear();
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    if (!NodeStorage::Load(m_gsp, path, m_globalAck.nodes)) {
        CoreDebug("[NodeStorage] load FAILED cost:%dms\n", int(timer.elapsed()));
        m_gsp.clear();
        return false;
    }
    CoreDebug("[NodeStorage] load gsp:%s count:%lu cost:%dms\n", qUtf8Printable(m_gsp),
              static_cast<unsigned long>(m_globalAck.nodes.size()), int(timer.elapsed()));
    return true;
}

void QCLocalStoreMgr::ReqGetAllNodes(bool fromComet) {
    m_nodeTimer.Reset();
    if (m_fetchActive) {
        if (m_fetchRetryAtMs < 0) {
            CoreDebug("[fetch] a cycle runs already");
            return;
        }
        // A cycle waits to send a failed step again: the new trigger sends it now.
        {
            std::lock_guard<std::mutex> lock(m_traceLock);
            m_trace.push_back(m_gsp.isEmpty() || m_fetchCommand != CMD::GetIncrGlobal ? kTraceFetchAll
                                                                                      : kTraceFetchChanges);
        }
        m_fetchRetryAtMs = -1;
        RunOnPool(m_fetchStep);
        return;
    }
    if (!m_treeLoaded || m_gsp.isEmpty()) {
        CheckGlobalNodesCache();
        m_treeLoaded = !m_gsp.isEmpty();
    }
    ResetFetch();
    m_fetchActive = true;
    {
        std::lock_guard<std::mutex> lock(m_traceLock);
        m_trace.push_back(m_gsp.isEmpty() ? kTraceFetchAll : kTraceFetchChanges);
    }
    quint32 userVersion = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        userVersion = m_userDetail.version;
    }
    CoreDebug("ReqGetAllNodes [ver:%d] [bgsp:%s] [nodes:%lu] \n", int(userVersion), qUtf8Printable(m_gsp),
              static_cast<unsigned long>(m_globalAck.nodes.size()));
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    if (m_gsp.isEmpty()) {
        SendFetchStep(CMD::GetBgsp, [requests] { requests->DoGetBgsp(); });
        return;
    }
    m_incrAck.Clear();
    INCR_GLOBAL_REQ request;
    request.gsp = m_gsp;
    request.count = NodePageSize();
    request.from_comet = fromComet;
    request.uv = int(userVersion);
    SendFetchStep(CMD::GetIncrGlobal, [requests, request]() mutable { requests->DoGetIncrGlobal(request); });
}

void QCLocalStoreMgr::AckGetBgsp(QJsonValue& data) {
    if (!m_fetchActive || m_fetchCommand != CMD::GetBgsp)
        return; // a late reply of a cycle that ended
    QJsonObject object = data.toObject();
    const std::shared_ptr<BGSP_ACK> reply = data.isObject() ? QCResponseCommon().parseBgsp(object) : nullptr;
    if (!reply || reply->bgsp.isEmpty()) {
        CoreDebug("[error] get bgsp parse error");
        FetchFailed(CMD::GetBgsp, SYNC_ERROR::XmlCorrupt, 0);
        return;
    }
    FetchStepSucceeded();
    if (!m_globalAck.nodes.empty())
        m_previousNodes.swap(m_globalAck.nodes);
    m_globalAck.Clear();
    m_globalAck.ver = reply->ver;
    m_gsp = reply->bgsp;
    m_incrAck.Clear();
    m_fetchedNodes = 0;
    GLOBAL_NODES_REQ request;
    request.bgsp = m_gsp;
    request.gsp = m_gsp;
    request.count = NodePageSize();
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    SendFetchStep(CMD::GetGlobalNodes, [requests, request]() mutable { requests->DoGetGlobalNodes(request); });
}

void QCLocalStoreMgr::AckGetGlobalNodes(QJsonValue& data, unsigned int pageMax, bool fromComet) {
    if (!m_fetchActive || m_fetchCommand != CMD::GetGlobalNodes)
        return;
    QJsonObject object = data.toObject();
    const std::shared_ptr<GLOBAL_NODES_ACK> page =
        data.isObject() ? QCResponseCommon().parseGlobalNode(object) : nullptr;
    if (!page) {
        CoreDebug("[error] get global nodes parse error");
        FetchFailed(CMD::GetGlobalNodes, SYNC_ERROR::XmlCorrupt, 0);
        return;
    }
    FetchStepSucceeded();
    for (auto& node : page->nodes)
        m_globalAck.nodes[node.first] = node.second;
    m_fetchedNodes = quint64(m_globalAck.nodes.size());
    CoreDebug("page_ret =  %u , page_max = %u\n", page->retnum, pageMax);
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    if (page->retnum >= pageMax && pageMax > 0 && !page->gsp.isEmpty()) {
        ++m_incrAck.page_count;
        GLOBAL_NODES_REQ request;
        request.bgsp = m_gsp;
        request.gsp = page->gsp;
        request.spnid = page->spnid;
        request.count = int(pageMax);
        SendFetchStep(CMD::GetGlobalNodes, [requests, request]() mutable { requests->DoGetGlobalNodes(request); });
        return;
    }
    // The whole tree is in: the changes since the base sync point follow.
    m_incrAck.Clear();
    INCR_GLOBAL_REQ request;
    request.gsp = m_gsp;
    request.count = NodePageSize();
    request.from_comet = fromComet;
    request.uv = int(page->ver);
    SendFetchStep(CMD::GetIncrGlobal, [requests, request]() mutable { requests->DoGetIncrGlobal(request); });
}

void QCLocalStoreMgr::AckGetIncrGlobal(QJsonValue& data, unsigned int pageMax, bool fromComet) {
    if (!m_fetchActive || m_fetchCommand != CMD::GetIncrGlobal)
        return;
    QJsonObject object = data.toObject();
    const std::shared_ptr<INCR_GLOBAL_ACK> page = data.isObject() ? QCResponseCommon().parseIncrNode(object) : nullptr;
    if (!page) {
        CoreDebug("[error] get incr global nodes parse error");
        FetchFailed(CMD::GetIncrGlobal, SYNC_ERROR::XmlCorrupt, 0);
        return;
    }
    FetchStepSucceeded();
    for (auto& node : page->nodes) {
        auto held = m_incrAck.nodes.find(node.first);
        if (held != m_incrAck.nodes.end() && held->second.nv > node.second.nv)
            continue; // an older version of a node already seen in this cycle
        m_incrAck.nodes[node.first] = node.second;
    }
    if (m_incrAck.page_count == 0)
        m_incrAck.ver = page->ver;
    m_incrAck.ret_total += page->retnum;
    if (page->retnum >= pageMax && pageMax > 0 && !page->gsp.isEmpty()) {
        ++m_incrAck.page_count;
        INCR_GLOBAL_REQ request;
        request.gsp = page->gsp;
        request.spnid = page->spnid;
        request.count = int(pageMax);
        request.from_comet = fromComet;
        {
            std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
            request.uv = int(m_userDetail.version);
        }
        QCRequestCommon* requests = QCRequestCommon::GetInstance();
        SendFetchStep(CMD::GetIncrGlobal, [requests, request]() mutable { requests->DoGetIncrGlobal(request); });
        return;
    }
    if (!page->gsp.isEmpty())
        m_gsp = page->gsp;
    if (m_incrVersion != page->ver)
        CoreDebug("version update incr %u -> %u\n", m_incrVersion, page->ver);
    m_incrVersion = page->ver;
    DoIncrGlobalFinish();
}

void QCLocalStoreMgr::DoIncrGlobalFinish() {
    ResetFetch();
    NodeMap changed;
    changed.swap(m_incrAck.nodes);
    // Where the changed nodes were before, so that local copies can follow a move.
    std::map<QString, QString> oldPaths;
    for (const auto& node : changed) {
        if (m_globalAck.nodes.count(node.first))
            oldPaths[node.first] = NodePath(m_globalAck.nodes, node.first);
    }
    for (auto& node : changed) {
        if (node.second.status != 0) {
            CoreDebug("Incr delete:%d name:%s", int(node.second.status), qUtf8Printable(node.second.name));
            m_globalAck.nodes.erase(node.first);
        } else {
            m_globalAck.nodes[node.first] = node.second;
        }
    }
    // After a whole listing the tree it replaced tells where moved and renamed nodes were; their
    // contents go along with them.
    for (const auto& was : m_previousNodes) {
        const auto now = m_globalAck.nodes.find(was.first);
        if (now != m_globalAck.nodes.end() &&
            (now->second.name != was.second.name || now->second.pid != was.second.pid))
            oldPaths[was.first] = NodePath(m_previousNodes, was.first);
    }
    m_previousNodes.clear();
    m_treeLoaded = true;
    m_fetchedNodes = quint64(m_globalAck.nodes.size());
    if (!m_needCompare && changed.empty()) {
        ChangeStatus(LOCAL_STATUS_OK, true);
        return;
    }
    // After the first comparison since the tree was loaded, a small change set is compared alone.
    const bool onlyChanges = !m_needCompare && m_comparedOnce && changed.size() < kIncrementalLimit;
    m_needCompare = false;
    QElapsedTimer timer;
    timer.start();
    bool decimal = false;
    m_gsp.toULongLong(&decimal, 10);
    if (!decimal) {
        // The snapshot keeps its sync point as a number; another cursor would come back as "0".
        CoreDebug("[NodeStorage] not saved: sync point %s is not a number", qUtf8Printable(m_gsp));
    } else if (NodeStorage::Save(m_gsp, g_Config.nodes_path, m_globalAck.nodes, !changed.empty())) {
        CoreDebug("[NodeStorage] save gsp:%s count:%lu, cost %d ms\n", qUtf8Printable(m_gsp),
                  static_cast<unsigned long>(m_globalAck.nodes.size()), int(timer.elapsed()));
    } else {
        CoreDebug("[NodeStorage] save FAILED gsp:%s count:%lu, cost %d ms\n", qUtf8Printable(m_gsp),
                  static_cast<unsigned long>(m_globalAck.nodes.size()), int(timer.elapsed()));
        // The tree in memory still serves this comparison; the next cycle fetches it whole.
        m_gsp.clear();
        m_treeLoaded = false;
        m_needCompare = true;
    }
    CompareCloud(m_globalAck.nodes, oldPaths, onlyChanges ? &changed : nullptr);
}
