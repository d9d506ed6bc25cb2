#include "common/QCEvents.h"
#include "common/QCLockList.h"

#include <QCoreApplication>
#include <QObject>
#include <QSemaphore>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>

namespace {

// Type numbers ------------------------------------------------------------------------------------

struct EventCase {
    const char* label;
    std::function<QEvent*()> make;
    int type;
};

void PrintTo(const EventCase& c, std::ostream* os) {
    *os << c.label;
}

const std::vector<EventCase>& AllEvents() {
    static const std::vector<EventCase> cases = {
        {"QCCoreProcEvent", [] { return new QCCoreProcEvent; }, 2100},
        {"QCCoreTimerEvent", [] { return new QCCoreTimerEvent; }, 2101},
        {"QCFastTransferEvent", [] { return new QCFastTransferEvent(QStringLiteral("/a")); }, 2104},
        {"QCCoreUserEvent", [] { return new QCCoreUserEvent(REQUEST_LOGIN); }, 2108},
        {"QCSpeedTestEvent", [] { return new QCSpeedTestEvent; }, 2110},
        {"QCPauseTaskEvent", [] { return new QCPauseTaskEvent(QStringLiteral("/a")); }, 2111},
        {"QCResumeTaskEvent", [] { return new QCResumeTaskEvent(QStringLiteral("/a")); }, 2112},
        {"QCCancelAllTaskEvent", [] { return new QCCancelAllTaskEvent; }, 2113},
        {"QCDeleteHistoryEvent", [] { return new QCDeleteHistoryEvent; }, 2114},
        {"QCGetEnterpriseListEvent", [] { return new QCGetEnterpriseListEvent; }, 2115},
        {"QCGetJumpUrlTicketEvent", [] { return new QCGetJumpUrlTicketEvent(QString(), QString()); }, 2116},
        {"QCAsyncErrorMsgEvent", [] { return new QCAsyncErrorMsgEvent(0, 0, QString(), nullptr); }, 2117},
        {"VUZerozCopyToEvent", [] { return new VUZerozCopyToEvent(QString(), QString()); }, 2118},
        {"QCProcResponseEvent", [] { return new QCProcResponseEvent(1, 1); }, 2121},
        {"VUZerozEvent", [] { return new VUZerozEvent; }, 2200},
        {"QCFileUpdateEvent", [] { return new QCFileUpdateEvent; }, 2201},
        {"QCFileDeleteEvent", [] { return new QCFileDeleteEvent; }, 2202},
        {"QCFileDownloadEvent", [] { return new QCFileDownloadEvent; }, 2203},
        {"QCFlushViewEvent", [] { return new QCFlushViewEvent; }, 2204},
        {"QCStatusChangedEvent", [] { return new QCStatusChangedEvent; }, 2205},
        {"QCSpeedUpdateEvent", [] { return new QCSpeedUpdateEvent; }, 2206},
        {"QCCacheCleanEvent", [] { return new QCCacheCleanEvent; }, 2207},
        {"QCTaskHistoryCleanCleanEvent", [] { return new QCTaskHistoryCleanCleanEvent; }, 2208},
        {"QCDefaultEntLoginEvent", [] { return new QCDefaultEntLoginEvent(QStringLiteral("7")); }, 2209},
        {"QCSyncFinishEvent", [] { return new QCSyncFinishEvent; }, 2210},
        {"QCAutoCommitEvent", [] { return new QCAutoCommitEvent; }, 2211},
        {"QCFileUsingEvent", [] { return new QCFileUsingEvent(QStringLiteral("/a")); }, 2212},
        {"QCGetEnterpriseEvent", [] { return new QCGetEnterpriseEvent; }, 2213},
        {"QCGetJumpUrlEvent", [] { return new QCGetJumpUrlEvent; }, 2214},
        {"QCFileCloudCopyEvent", [] { return new QCFileCloudCopyEvent; }, 2215},
        {"QCFileCloudMoveEvent", [] { return new QCFileCloudMoveEvent; }, 2216},
        {"QCInvalidQTEvent", [] { return new QCInvalidQTEvent; }, 2217},
        {"QCFileIsIllegalEvent", [] { return new QCFileIsIllegalEvent(QStringLiteral("/a")); }, 2218},
        {"QCGlobalErrorEvent", [] { return new QCGlobalErrorEvent; }, 2219},
    };
    return cases;
}

class EventTypeTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventTypeTest, ReportsItsTypeNumber) {
    std::unique_ptr<QEvent> event(GetParam().make());
    EXPECT_EQ(int(event->type()), GetParam().type);
    EXPECT_NE(dynamic_cast<QCEventBase*>(event.get()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(AllClasses, EventTypeTest, ::testing::ValuesIn(AllEvents()),
                         [](const ::testing::TestParamInfo<EventCase>& info) {
                             return std::string(info.param.label);
                         });

TEST(EventTypesTest, EveryNumberOnceAndTheGapsUnused) {
    std::set<int> used;
    for (const EventCase& c : AllEvents()) {
        std::unique_ptr<QEvent> event(c.make());
        EXPECT_TRUE(used.insert(int(event->type())).second) << c.label << " shares its number";
    }
    std::set<int> expected;
    for (int type : {2100, 2101, 2104, 2108, 2110, 2111, 2112, 2113, 2114, 2115, 2116, 2117, 2118, 2121})
        expected.insert(type);
    for (int type = 2200; type <= 2219; ++type)
        expected.insert(type);
    EXPECT_EQ(used, expected);
    for (int gap : {2102, 2103, 2105, 2106, 2107, 2109, 2119, 2120})
        EXPECT_EQ(used.count(gap), 0u) << gap;
}

// Payloads ---------------------------------------------------------------------------------------

TEST(EventPayloadTest, JumpUrlTicketForms) {
    const QCGetJumpUrlTicketEvent plain(QStringLiteral("help"), QString());
    EXPECT_EQ(plain.param.type, JUMP_PLAIN);
    EXPECT_TRUE(plain.param.item.isEmpty());
    EXPECT_TRUE(plain.param.owner_id.isEmpty());
    EXPECT_EQ(plain.key, QStringLiteral("help"));

    const QCGetJumpUrlTicketEvent enterprise(QStringLiteral("info"), QStringLiteral("900"));
    EXPECT_EQ(enterprise.param.type, JUMP_ENTERPRISE);
    EXPECT_EQ(enterprise.param.owner_id, QStringLiteral("900"));
    EXPECT_TRUE(enterprise.param.item.isEmpty());
    EXPECT_EQ(enterprise.key, QStringLiteral("info"));

    const QCGetJumpUrlTicketEvent byId(QStringLiteral("file"), QStringLiteral("item"),
                                       QStringLiteral("owner"), true);
    EXPECT_EQ(byId.param.type, JUMP_NODE_ID);
    EXPECT_EQ(byId.param.item, QStringLiteral("item"));
    EXPECT_EQ(byId.param.owner_id, QStringLiteral("owner"));
    EXPECT_EQ(byId.key, QStringLiteral("file"));

    const QCGetJumpUrlTicketEvent byPath(QStringLiteral("file"), QStringLiteral("/a/b"), QStringLiteral("o"),
                                         false);
    EXPECT_EQ(byPath.param.type, JUMP_NODE_PATH);
    EXPECT_EQ(byPath.param.item, QStringLiteral("/a/b"));
    EXPECT_EQ(byPath.param.owner_id, QStringLiteral("o"));
}

TEST(EventPayloadTest, AsyncErrorCopiesItsContext) {
    const QCAsyncErrorMsgEvent empty(14, 2008, QStringLiteral("item"), nullptr);
    EXPECT_EQ(empty.error_type, 14);
    EXPECT_EQ(empty.error_code, 2008);
    EXPECT_EQ(empty.text, QStringLiteral("item"));
    EXPECT_TRUE(empty.stat.command.isEmpty() && empty.stat.text2.isEmpty() && empty.stat.text3.isEmpty());

    CMD_STAT_DEBUG context{QStringLiteral("cmd"), QStringLiteral("two"), QStringLiteral("three")};
    const QCAsyncErrorMsgEvent copied(1, 2, QString(), &context);
    context.command = QStringLiteral("changed");
    EXPECT_EQ(copied.stat.command, QStringLiteral("cmd")) << "the event holds its own copy";
    EXPECT_EQ(copied.stat.text3, QStringLiteral("three"));
}

TEST(EventPayloadTest, ConstructorArgumentsAndDefaults) {
    const QCProcResponseEvent response(42, 7);
    EXPECT_EQ(response.command, 42);
    EXPECT_EQ(response.task_id, 7u);

    const QCCoreUserEvent user(REQUEST_CACHE_CLEAN);
    EXPECT_EQ(user.request, REQUEST_CACHE_CLEAN);
    const VUZerozCopyToEvent copy(QStringLiteral("/from"), QStringLiteral("/to"));
    EXPECT_EQ(copy.source, QStringLiteral("/from"));
    EXPECT_EQ(copy.destination, QStringLiteral("/to"));
    EXPECT_EQ(QCDefaultEntLoginEvent(QStringLiteral("55")).eid, QStringLiteral("55"));
    EXPECT_EQ(QCFileUsingEvent(QStringLiteral("/f")).path, QStringLiteral("/f"));

    const QCGlobalErrorEvent error;
    EXPECT_EQ(error.error_type, 0);
    EXPECT_EQ(error.error_code, 0);
    EXPECT_TRUE(error.message.isEmpty());

    const QCCacheCleanEvent clean;
    EXPECT_EQ(clean.data.cleaned_bytes + clean.data.cleaned_files + clean.data.kept_bytes +
                  clean.data.kept_files,
              0u);
    const QCGetJumpUrlEvent jump;
    EXPECT_EQ(jump.data.result, 0);
    EXPECT_TRUE(jump.data.message.isEmpty() && jump.data.url.isEmpty());
    const QCFileUpdateEvent update;
    EXPECT_TRUE(update.data.files.empty());
    EXPECT_EQ(update.data.total, 0);
    EXPECT_FALSE(update.data.search);
    const QCFileCloudMoveEvent move;
    EXPECT_EQ(move.data.error_type, 0);
    EXPECT_TRUE(move.data.source.isEmpty());
    EXPECT_TRUE(QCGetEnterpriseEvent().data.items.empty());
}

// Delivery across threads -------------------------------------------------------------------------

std::atomic<int> g_destroyed{0};
std::atomic<QThread*> g_destroyedOn{nullptr};

// A file update event that reports its own destruction, to count how often its payload is freed.
class ProbeUpdateEvent : public QCFileUpdateEvent {
public:
    ~ProbeUpdateEvent() override {
        g_destroyedOn = QThread::currentThread();
        ++g_destroyed;
    }
};

class Receiver : public QObject {
public:
    QThread* deliveredOn = nullptr;
    QString path;
    int files = 0;
    QSemaphore delivered;

protected:
    bool event(QEvent* e) override {
        TsanAcquireEvent(e);
        if (e->type() != QEvent::Type(QCEventBase::FileUpdate))
            return QObject::event(e);
        const auto* update = static_cast<QCFileUpdateEvent*>(e);
        deliveredOn = QThread::currentThread();
        path = update->data.path;
        files = int(update->data.files.size());
        delivered.release();
        return true;
    }
};

TEST(EventDeliveryTest, PostedEventArrivesOnTheReceiversThreadAndIsFreedOnce) {
    g_destroyed = 0;
    QThread thread;
    Receiver receiver;
    receiver.moveToThread(&thread);
    thread.start();

    auto* event = new ProbeUpdateEvent;
    event->data.path = QStringLiteral("/folder");
    event->data.files.resize(3);
    TsanReleaseEvent(event);
    QCoreApplication::postEvent(&receiver, event); // Qt owns it from here

    ASSERT_TRUE(receiver.delivered.tryAcquire(1, 10000)) << "the event never arrived";
    thread.quit();
    ASSERT_TRUE(thread.wait(10000));
    EXPECT_EQ(receiver.deliveredOn, &thread);
    EXPECT_EQ(receiver.path, QStringLiteral("/folder"));
    EXPECT_EQ(receiver.files, 3);
    EXPECT_EQ(g_destroyed.load(), 1);
    EXPECT_EQ(g_destroyedOn.load(), &thread) << "Qt frees a delivered event where it was delivered";
}

class ProbeTimerEvent : public QCCoreTimerEvent {
public:
    ~ProbeTimerEvent() override { ++g_destroyed; }
};

TEST(EventDeliveryTest, QueuedCommandsAreFreedOnceByTheirLastOwner) {
    g_destroyed = 0;
    QCLockList<std::shared_ptr<QCEventBase>> queue;
    std::thread producer([&] {
        for (int i = 0; i < 3; ++i)
            queue.Add(std::make_shared<ProbeTimerEvent>());
    });
    producer.join();

    std::shared_ptr<QCEventBase> taken;
    std::thread consumer([&] { ASSERT_TRUE(queue.FetchWait(taken, 10000)); });
    consumer.join();
    ASSERT_TRUE(taken);
    EXPECT_EQ(int(taken->type()), int(QCEventBase::CoreTimer));
    EXPECT_EQ(g_destroyed.load(), 0) << "the consumer holds the only reference now";
    taken.reset();
    EXPECT_EQ(g_destroyed.load(), 1);
    queue.Stop(); // the two still queued go with the queue's references
    EXPECT_EQ(g_destroyed.load(), 3);
    EXPECT_EQ(queue.Count(), 0);
}

} // namespace
