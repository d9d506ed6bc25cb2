#pragma once
// The sync engine as the view thread sees it: the fake engine of the index (FakeCacheHost) that
// also hands the index's notices to a view thread, records the events the view thread posts, and
// holds a set of requested downloads. Tests wait on the recorded events.

#include "support/FakeCacheHost.h"

#include "cache/QCViewHost.h"
#include "common/EventRecords.h"

#include <QSet>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class QCViewInterface;

struct ViewEvent {
    int type = 0;
    FILE_UPDATE_NOTIFY data; // 2201, 2202
};

class FakeViewHost : public FakeCacheHost, public QCViewHost {
public:
    // Recorded, then passed on to the view thread when one is attached.
    bool UIEventSendMsg(const FileInfo& record, bool deleted) override;
    bool PostToUi(QCEventBase* event) override;
    bool IsDownloadRequested(const QString& path) const override;

    // Set before the index sends notices; null: notices only recorded.
    QCViewInterface* view = nullptr;
    // Set by the test before the view thread runs.
    QSet<QString> requested;

    // Waits until an event for which `match` holds has been posted; false after `timeoutMs`.
    bool WaitFor(const std::function<bool(const ViewEvent&)>& match, int timeoutMs);
    std::vector<ViewEvent> Events() const;
    void ClearEvents();

private:
    mutable std::mutex m_eventLock; // guards m_events
    std::condition_variable m_posted;
    std::vector<ViewEvent> m_events;
};
