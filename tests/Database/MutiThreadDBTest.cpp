// The connection manager: mode resolution, per-thread and shared connections, the locks that
// Query handles hold, spacing, removal, the clean-up of finished threads and auto-close.
#include "Database/QCMutiThreadDB.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace QCMutiThreadDB;

namespace {

// A one-shot flag another thread can wait for.
class Signal {
public:
    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_set = true;
        m_cv.notify_all();
    }
    bool WaitFor(int ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_set; });
    }
    bool IsSet() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_set;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set = false;
};

class MutiThreadDBTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()) << m_dir.errorString().toStdString(); }

    DatabaseSettings Sqlite() const {
        return DatabaseSettings(QStringLiteral("QSQLITE"), QStringLiteral("Test"),
                                m_dir.filePath(QStringLiteral("test.db")));
    }

    // The connection name of the calling thread's node.
    static QString NameOnThisThread(Control& control) { return control.node()->connectionName(); }

    QTemporaryDir m_dir;
};

// --- Mode resolution ---

struct ResolveCase {
    const char* label;
    const char* driver;
    QueryMode mode;
    int minWait;
    QueryMode resolvedMode;
    int resolvedWait;
    int nodes; // created by the constructor
};

void PrintTo(const ResolveCase& c, std::ostream* os) {
    *os << c.label;
}

class ControlResolves : public MutiThreadDBTest, public ::testing::WithParamInterface<ResolveCase> {};

TEST_P(ControlResolves, ModeSpacingAndNodes) {
    const ResolveCase& c = GetParam();
    Control control(DatabaseSettings(QString::fromLatin1(c.driver), QStringLiteral("Resolve"),
                                     m_dir.filePath(QStringLiteral("r.db"))),
                    ConnectSettings(0, c.mode, c.minWait));
    EXPECT_EQ(control.connectSettings().queryMode(), c.resolvedMode);
    EXPECT_EQ(control.connectSettings().minWaitTime(), c.resolvedWait);
    EXPECT_EQ(control.nodeCount(), c.nodes);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, ControlResolves,
    ::testing::Values(ResolveCase{"sqlite_auto", "QSQLITE", QueryAutoMode, -1, QuerySingleMode, 5, 1},
                      ResolveCase{"mysql_auto", "QMYSQL", QueryAutoMode, -1, QueryMultiMode, 0, 0},
                      ResolveCase{"odbc_auto", "QODBC", QueryAutoMode, -1, QueryMultiMode, 0, 0},
                      ResolveCase{"sqlite_multi_explicit", "QSQLITE", QueryMultiMode, 0, QueryMultiMode, 0,
                                  0},
                      ResolveCase{"mysql_explicit_wait", "QMYSQL", QueryAutoMode, 7, QueryMultiMode, 7, 0}),
    [](const ::testing::TestParamInfo<ResolveCase>& info) { return std::string(info.param.label); });

// --- Multi mode ---

TEST_F(MutiThreadDBTest, EachThreadGetsItsOwnConnectionAndKeepsIt) {
    Control control(Sqlite(), ConnectSettings(0, QueryMultiMode, 0));
    const QString mine = NameOnThisThread(control);
    EXPECT_EQ(NameOnThisThread(control), mine);
    const QString prefix =
        QStringLiteral("Test(%1)#")
            .arg(QString::number(
                static_cast<qulonglong>(reinterpret_cast<quintptr>(QThread::currentThread())), 16));
    EXPECT_TRUE(mine.startsWith(prefix)) << mine.toStdString();

    QString theirs;
    std::thread other([&] {
        {
            Query query = control.query();
            EXPECT_TRUE(query->exec(QStringLiteral("select 1"))) << query->lastError().text().toStdString();
        }
        theirs = NameOnThisThread(control);
    });
    other.join();
    EXPECT_NE(theirs, mine);
    EXPECT_FALSE(theirs.isEmpty());
}

TEST_F(MutiThreadDBTest, FinishedThreadsLoseTheirNodeAndConnection) {
    Control control(Sqlite(), ConnectSettings(0, QueryMultiMode, 0));
    NameOnThisThread(control);
    QString adoptedName;
    std::thread adopted([&] { adoptedName = NameOnThisThread(control); });
    adopted.join();
    QString qtName;
    std::unique_ptr<QThread> qtThread(QThread::create([&] { qtName = NameOnThisThread(control); }));
    qtThread->start();
    ASSERT_TRUE(qtThread->wait(10000));

    EXPECT_EQ(control.nodeCount(), 1) << "only this thread's node is left";
    const QStringList names = QSqlDatabase::connectionNames();
    EXPECT_FALSE(names.contains(adoptedName)) << adoptedName.toStdString();
    EXPECT_FALSE(names.contains(qtName)) << qtName.toStdString();
    EXPECT_NE(adoptedName, qtName);
}

// Each query waits until the minimum wait has passed since the previous one's arrival. After an
// idle spell, of four back-to-back queries the second and the fourth wait: at least 2 x 40 ms.
TEST_F(MutiThreadDBTest, QueriesAreSpacedByTheMinimumWait) {
    Control control(Sqlite(), ConnectSettings(0, QueryMultiMode, 40));
    { Query first = control.query(); }
    QThread::msleep(60); // an idle spell longer than the spacing
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 4; ++i) {
        Query query = control.query();
    }
    EXPECT_GE(timer.elapsed(), 2 * 40 - 2);
}

TEST_F(MutiThreadDBTest, RemoveAllDropsConnectionsThatComeBackUnderTheSameName) {
    Control control(Sqlite(), ConnectSettings(0, QueryMultiMode, 0));
    ConnectNode* node = control.node();
    const QString name = node->connectionName();
    control.removeAll();
    EXPECT_FALSE(QSqlDatabase::connectionNames().contains(name));
    EXPECT_FALSE(node->transaction()) << "no connection, no transaction";
    EXPECT_EQ(node->lastError().type(), QSqlError::NoError);
    EXPECT_EQ(node->driver(), nullptr);

    {
        Query query = control.query();
        EXPECT_TRUE(query->exec(QStringLiteral("select 1"))) << query->lastError().text().toStdString();
    }
    EXPECT_TRUE(QSqlDatabase::connectionNames().contains(name));
    EXPECT_EQ(control.node(), node); // not under the Query: the map's lock comes before a node's
}

TEST_F(MutiThreadDBTest, HasTableIgnoresLetterCase) {
    Control control(Sqlite(), ConnectSettings(0, QueryMultiMode, 0));
    {
        Query query = control.query();
        ASSERT_TRUE(query->exec(QStringLiteral("create table global(name TEXT, value TEXT)")))
            << query->lastError().text().toStdString();
    }
    EXPECT_TRUE(control.node()->hasTable(QStringLiteral("GLOBAL")));
    EXPECT_FALSE(control.node()->hasTable(QStringLiteral("file_journal")));
}

TEST_F(MutiThreadDBTest, OpenDoesNotDropAnOpenTransaction) {
    Control control(Sqlite(), ConnectSettings(0, QueryMultiMode, 0));
    ConnectNode* node = control.node();
    {
        Query query = control.query();
        ASSERT_TRUE(query->exec(QStringLiteral("create table t(x)")));
    }
    ASSERT_TRUE(node->transaction());
    {
        Query query = control.query();
        ASSERT_TRUE(query->exec(QStringLiteral("insert into t values(1)")));
    }
    EXPECT_TRUE(node->open());
    EXPECT_TRUE(node->commit()) << node->lastError().text().toStdString();
    Query query = control.query();
    ASSERT_TRUE(query->exec(QStringLiteral("select count(*) from t")));
    ASSERT_TRUE(query->next());
    EXPECT_EQ(query->value(0).toInt(), 1);
}

// --- Single mode and the node lock ---

TEST_F(MutiThreadDBTest, SingleModeSerialisesThreadsWhileAQueryLives) {
    Control control(Sqlite(), ConnectSettings(0, QuerySingleMode, 0));
    Signal asking;
    Signal acquired;
    std::thread other;
    {
        Query held = control.query();
        Query moved(std::move(held));
        EXPECT_EQ(held.takeQuery(), nullptr) << "the moved-from handle keeps nothing";
        Query second = control.query(); // the same thread may hold two
        other = std::thread([&] {
            asking.Set();
            Query query = control.query();
            acquired.Set();
        });
        ASSERT_TRUE(asking.WaitFor(5000));
        EXPECT_FALSE(acquired.WaitFor(100)) << "the other thread got the connection while it was held";
    }
    EXPECT_TRUE(acquired.WaitFor(5000)) << "the other thread never got the connection";
    other.join();
}

// --- Auto-close on the application thread ---

TEST_F(MutiThreadDBTest, IdleConnectionsCloseAndBusyOnesWait) {
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    Control control(Sqlite(), ConnectSettings(30, QueryMultiMode, 0));
    ConnectNode* node = nullptr;
    Signal holding;
    Signal release;
    Signal released;
    Signal done;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        {
            node = control.node(); // before the Query: the map's lock comes before a node's
            Query query = control.query();
            holding.Set();
            release.WaitFor(10000);
        }
        released.Set();
        done.WaitFor(10000);
    }));
    worker->start();
    ASSERT_TRUE(holding.WaitFor(5000));

    // Several expiries while the Query lives: each finds the node busy and restarts the countdown.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 150)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    release.Set();
    ASSERT_TRUE(released.WaitFor(5000));
    EXPECT_TRUE(node->driver()->isOpen()) << "closed under a live Query";

    timer.restart();
    while (node->driver()->isOpen() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(node->driver()->isOpen()) << "an idle connection stayed open";

    done.Set();
    ASSERT_TRUE(worker->wait(10000));
}

} // namespace
