// The cloud comparison: the fetched cloud tree against the journal and the mirror folder.
#include "sync/QCLocalStoreMgr.h"

#include "common/CoreLog.h"

void QCLocalStoreMgr::CompareCloud(NodeMap& nodes, const NodeMap& changed) {
    {
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        m_userDetail.count_node = quint32(nodes.size());
    }
    CoreDebug("[compare] %lu nodes, %lu changed", static_cast<unsigned long>(nodes.size()),
              static_cast<unsigned long>(changed.size()));
    if (stoped())
        return;
    ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, true);
}
