#pragma once
// The receiver of core events (2000-2999) for tests: it keeps a copy of every event's payload in
// arrival order and lets a test wait for an event of a type that satisfies a predicate. Events are
// posted to it by the core (QCGlobalConfig::CallOuter); they are delivered while a wait runs the
// event loop of the thread it lives on (the test's main thread).

#include "common/EventRecords.h"
#include "common/SharedTypes.h"

#include <QEventLoop>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

struct RecordedEvent {
    int type = 0;
    SYNC_INFO info;              // 2205, 2206
    int kind = 0;                // 2219: the error kind; 2214: the result
    int code = 0;                // 2219
    QString text;                // 2219: the message; 2209: the enterprise id; 2214: the message
    QString text2;               // 2214: the address
    ENTERPRISE_INFO enterprises; // 2213
    FILE_UPDATE_NOTIFY update;   // 2201, 2202
    CACHE_CLEAN_NOTIFY clean;    // 2207
};

class RecordingReceiver : public QObject {
public:
    bool event(QEvent* event) override;

    // Delivers posted events until one of `type` for which `match` holds has arrived (counting
    // those that arrived before the call and were not taken); false when `timeoutMs` passed first.
    bool WaitFor(int type, const std::function<bool(const RecordedEvent&)>& match, int timeoutMs);
    // As WaitFor, until `count` such events are held.
    bool WaitForCount(int type, const std::function<bool(const RecordedEvent&)>& match, int count,
                      int timeoutMs);
    bool WaitFor(int type, int timeoutMs) {
        return WaitFor(
            type, [](const RecordedEvent&) { return true; }, timeoutMs);
    }
    // Delivers the events posted so far.
    void Pump();
    // The events received so far, oldest first; the record is emptied.
    std::vector<RecordedEvent> Take();
    // How many events of `type` are held.
    int Count(int type) const;

private:
    std::vector<RecordedEvent> m_events; // the receiver's thread only
    QEventLoop* m_loop = nullptr;        // the wait in progress, ended by each core event
};
