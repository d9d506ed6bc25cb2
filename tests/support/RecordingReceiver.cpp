#include "support/RecordingReceiver.h"

#include "common/QCEvents.h"
#include "common/TsanAnnotations.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

bool RecordingReceiver::event(QEvent* event) {
    TsanAcquireEvent(event); // before anything of the event is read
    const int type = event->type();
    if (type < 2000 || type > 2999)
        return QObject::event(event);
    RecordedEvent record;
    record.type = type;
    switch (type) {
    case QCEventBase::StatusChanged:
        record.info = static_cast<QCStatusChangedEvent*>(event)->data;
        break;
    case QCEventBase::SpeedUpdate:
        record.info = static_cast<QCSpeedUpdateEvent*>(event)->data;
        break;
    case QCEventBase::GlobalError: {
        const auto* error = static_cast<QCGlobalErrorEvent*>(event);
        record.kind = error->error_type;
        record.code = error->error_code;
        record.text = error->message;
        break;
    }
    case QCEventBase::DefaultEntLogin:
        record.text = static_cast<QCDefaultEntLoginEvent*>(event)->eid;
        break;
    case QCEventBase::FileUpdate:
        record.update = static_cast<QCFileUpdateEvent*>(event)->data;
        break;
    case QCEventBase::FileDelete:
        record.update = static_cast<QCFileDeleteEvent*>(event)->data;
        break;
    case QCEventBase::CacheClean:
        record.clean = static_cast<QCCacheCleanEvent*>(event)->data;
        break;
    case QCEventBase::GetEnterprise:
        record.enterprises = static_cast<QCGetEnterpriseEvent*>(event)->data;
        break;
    case QCEventBase::GetJumpUrl: {
        const GET_TICKET_RESULT& result = static_cast<QCGetJumpUrlEvent*>(event)->data;
        record.kind = result.result;
        record.text = result.message;
        record.text2 = result.url;
        break;
    }
    default:
        break;
    }
    m_events.push_back(record);
    if (m_loop)
        m_loop->quit();
    return true;
}

bool RecordingReceiver::WaitFor(int type, const std::function<bool(const RecordedEvent&)>& match,
                                int timeoutMs) {
    return WaitForCount(type, match, 1, timeoutMs);
}

bool RecordingReceiver::WaitForCount(int type, const std::function<bool(const RecordedEvent&)>& match,
                                     int count, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    const auto found = [&] {
        return std::count_if(m_events.begin(), m_events.end(),
                             [&](const RecordedEvent& e) { return e.type == type && match(e); }) >= count;
    };
    while (!found()) {
        if (deadline.hasExpired())
            return false;
        // Runs the event loop until a core event arrives (event() ends it) or the deadline.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(int(std::max<qint64>(1, deadline.remainingTime())));
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
    }
    return true;
}

void RecordingReceiver::Pump() {
    QCoreApplication::sendPostedEvents(this);
}

std::vector<RecordedEvent> RecordingReceiver::Take() {
    Pump();
    std::vector<RecordedEvent> events;
    events.swap(m_events);
    return events;
}

int RecordingReceiver::Count(int type) const {
    return int(std::count_if(m_events.begin(), m_events.end(),
                             [type](const RecordedEvent& e) { return e.type == type; }));
}
