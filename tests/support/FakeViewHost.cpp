#include "support/FakeViewHost.h"

#include "cache/QCViewInterface.h"
#include "common/QCEvents.h"

#include <chrono>
#include <memory>

bool FakeViewHost::UIEventSendMsg(const FileInfo& record, bool deleted) {
    FakeCacheHost::UIEventSendMsg(record, deleted);
    return view && view->NotifyUpdate(record, deleted);
}

bool FakeViewHost::PostToUi(QCEventBase* posted) {
    std::unique_ptr<QCEventBase> event(posted);
    ViewEvent copy;
    copy.type = event->type();
    if (copy.type == QCEventBase::FileUpdate)
        copy.data = static_cast<QCFileUpdateEvent*>(event.get())->data;
    else if (copy.type == QCEventBase::FileDelete)
        copy.data = static_cast<QCFileDeleteEvent*>(event.get())->data;
    {
        std::lock_guard<std::mutex> lock(m_eventLock);
        m_events.push_back(copy);
    }
    m_posted.notify_all();
    return true;
}

bool FakeViewHost::IsDownloadRequested(const QString& path) const {
    return requested.contains(path.toLower());
}

bool FakeViewHost::WaitFor(const std::function<bool(const ViewEvent&)>& match, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_eventLock);
    return m_posted.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const ViewEvent& event : m_events) {
            if (match(event))
                return true;
        }
        return false;
    });
}

std::vector<ViewEvent> FakeViewHost::Events() const {
    std::lock_guard<std::mutex> lock(m_eventLock);
    return m_events;
}

void FakeViewHost::ClearEvents() {
    std::lock_guard<std::mutex> lock(m_eventLock);
    m_events.clear();
}
