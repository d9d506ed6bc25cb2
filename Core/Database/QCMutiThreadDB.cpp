#include "Database/QCMutiThreadDB.h"

#include "common/CoreLog.h"

#include <QCoreApplication>
#include <QSqlDriver>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <thread>

#include <unistd.h>

namespace QCMutiThreadDB {

namespace {

const QString kMySql = QStringLiteral("QMYSQL");
const QString kOdbc = QStringLiteral("QODBC");

// Kernel thread id of the caller, as top and gdb show it.
unsigned long long NativeThreadId() {
    return static_cast<unsigned long long>(gettid());
}

void ThreadLine(const char* text) {
    CoreDebug("%s%llu", text, NativeThreadId());
}

qint64 CurrentThreadKey() {
    return static_cast<qint64>(reinterpret_cast<quintptr>(QThread::currentThread()));
}

// Serial numbers that keep connection names unique for the life of the process, even when a
// thread's QThread object is freed and a new one takes its address.
std::atomic<quint64> g_connectionSerial{0};

QString ComposeConnectionName(const QString& base) {
    const quintptr thread = reinterpret_cast<quintptr>(QThread::currentThread());
    return QStringLiteral("%1(%2)#%3")
        .arg(base, QString::number(static_cast<qulonglong>(thread), 16))
        .arg(++g_connectionSerial);
}

bool IsMultiDriver(const QString& type) {
    return type == kMySql || type == kOdbc;
}

// An explicit spacing (0 included) is kept; -1 means none for the server drivers and 5 ms for the
// others.
bool HasSpacing(const DatabaseSettings& database, const ConnectSettings& connect) {
    return connect.minWaitTime() != -1 || !IsMultiDriver(database.databaseType());
}

} // namespace

// --- DatabaseSettings ---

DatabaseSettings::DatabaseSettings(const DatabaseModeEnum& databaseMode, const QString& databaseType,
                                   const QString& connectionName)
    : m_databaseMode(databaseMode), m_databaseType(databaseType), m_connectionName(connectionName) {}

DatabaseSettings::DatabaseSettings(const QString& databaseType, const QString& connectionName,
                                   const QString& nameModeName)
    : m_databaseMode(DatabaseNameMode), m_databaseType(databaseType), m_connectionName(connectionName),
      m_nameModeName(nameModeName) {}

DatabaseSettings::DatabaseSettings(const QString& databaseType, const QString& connectionName,
                                   const QString& hostName, const QString& databaseName,
                                   const QString& userName, const QString& password)
    : m_databaseMode(DatabaseHostMode), m_databaseType(databaseType), m_connectionName(connectionName),
      m_hostModeHostName(hostName), m_hostModeDatabaseName(databaseName), m_hostModeUserName(userName),
      m_hostModePassword(password) {}

// --- ConnectSettings ---

ConnectSettings::ConnectSettings(const int& maxOpenTime, const QueryMode& queryMode, const int& minWaitTime)
    : m_maxOpenTime(maxOpenTime), m_queryMode(queryMode), m_minWaitTime(minWaitTime) {}

// --- Query ---

Query::Query(QSqlDatabase& db, std::recursive_mutex* mutex) : m_query(new QSqlQuery(db)), m_mutex(mutex) {}

Query::Query(Query&& other) noexcept : m_query(other.takeQuery()), m_mutex(other.takeMutex()) {}

Query::~Query() {
    delete m_query;
    if (m_mutex)
        m_mutex->unlock();
}

QSqlQuery* Query::takeQuery() {
    QSqlQuery* query = m_query;
    m_query = nullptr;
    return query;
}

std::recursive_mutex* Query::takeMutex() {
    std::recursive_mutex* mutex = m_mutex;
    m_mutex = nullptr;
    return mutex;
}

// --- ConnectNode ---

ConnectNode::ConnectNode(const DatabaseSettings& databaseSettings, const ConnectSettings& connectSettings)
    : m_connectionName(ComposeConnectionName(databaseSettings.connectionName())),
      m_dataBaseSettings(databaseSettings), m_connectSettings(connectSettings),
      m_mutex(std::make_unique<std::recursive_mutex>()) {
    QCoreApplication* app = QCoreApplication::instance();
    if (m_connectSettings.maxOpenTime() != 0 && app) {
        auto* timer = new QTimer;
        timer->setSingleShot(true);
        timer->setInterval(m_connectSettings.maxOpenTime());
        timer->moveToThread(app->thread());
        timer->setParent(app);
        // Direct: close() runs on the application thread, where the timer fires.
        connect(timer, &QTimer::timeout, this, &ConnectNode::close, Qt::DirectConnection);
        connect(this, &ConnectNode::controlStartAutoClose, timer, QOverload<>::of(&QTimer::start));
        connect(this, &ConnectNode::controlStopAutoClose, timer, &QTimer::stop);
        m_autoClose = timer;
    }
    addDataBase();
}

ConnectNode::~ConnectNode() {
    std::recursive_mutex* mutex = m_mutex.get();
    mutex->lock();
    if (m_autoClose)
        m_autoClose->deleteLater();
    delete m_dataBase;
    m_dataBase = nullptr;
    QSqlDatabase::removeDatabase(m_connectionName);
    mutex->unlock();
}

bool ConnectNode::addDataBase() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    ThreadLine("[db] add database thread id : ");
    if (m_dataBase)
        removeDataBase();
    m_dataBase =
        new QSqlDatabase(QSqlDatabase::addDatabase(m_dataBaseSettings.databaseType(), m_connectionName));
    switch (m_dataBaseSettings.databaseMode()) {
    case DatabaseNameMode:
        m_dataBase->setDatabaseName(m_dataBaseSettings.nameModeName());
        break;
    case DatabaseHostMode:
        m_dataBase->setHostName(m_dataBaseSettings.hostModeHostName());
        m_dataBase->setDatabaseName(m_dataBaseSettings.hostModeDatabaseName());
        m_dataBase->setUserName(m_dataBaseSettings.hostModeUserName());
        m_dataBase->setPassword(m_dataBaseSettings.hostModePassword());
        break;
    default:
        return false;
    }
    return open();
}

void ConnectNode::removeDataBase() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    ThreadLine("[db] remove database thread id : ");
    // The handle goes first: Qt unregisters a connection cleanly only when no handle remains.
    delete m_dataBase;
    m_dataBase = nullptr;
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool ConnectNode::hasTable(QString table) {
    QStringList tables;
    {
        std::lock_guard<std::recursive_mutex> lock(*m_mutex);
        ThreadLine("[db] get table thread id : ");
        if (!m_dataBase)
            return false;
        tables = m_dataBase->tables(QSql::Tables);
    }
    return tables.contains(table, Qt::CaseInsensitive);
}

bool ConnectNode::open() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    if (!m_dataBase)
        return addDataBase();
    ThreadLine("[db] open database thread id : ");
    emit controlStartAutoClose();
    if (m_dataBase->isOpen())
        return true;
    return m_dataBase->open();
}

void ConnectNode::close() {
    std::recursive_mutex* mutex = m_mutex.get();
    if (!mutex->try_lock()) {
        // A Query is alive: try again after a full interval.
        emit controlStartAutoClose();
        return;
    }
    ThreadLine("[db] close database thread id : ");
    emit controlStopAutoClose();
    // Closed under the lock, so no query can start between the test and the close.
    if (m_dataBase && m_dataBase->isOpen())
        m_dataBase->close();
    mutex->unlock();
}

bool ConnectNode::transaction() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    ThreadLine("[db] transaction thread id : ");
    return m_dataBase && m_dataBase->transaction();
}

bool ConnectNode::commit() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    ThreadLine("[db] commit thread id : ");
    return m_dataBase && m_dataBase->commit();
}

bool ConnectNode::rollback() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    ThreadLine("[db] rollback thread id : ");
    return m_dataBase && m_dataBase->rollback();
}

Query ConnectNode::query() {
    // Locked first, so a removal on another thread cannot slip in between the checks and the
    // Query; the lock is handed to the Query.
    m_mutex->lock();
    ThreadLine("[db] get query thread id : ");
    if (!m_dataBase)
        addDataBase();
    if (!m_dataBase->isOpen())
        open();
    Query query(*m_dataBase, m_mutex.get());
    emit controlStartAutoClose();
    return query;
}

QSqlError ConnectNode::lastError() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    return m_dataBase ? m_dataBase->lastError() : QSqlError();
}

QSqlDriver* ConnectNode::driver() {
    std::lock_guard<std::recursive_mutex> lock(*m_mutex);
    return m_dataBase ? m_dataBase->driver() : nullptr;
}

// --- Control ---

Control::Control(const DatabaseSettings& databaseSettings, const ConnectSettings& connectSettings)
    : m_dataBaseSettings(databaseSettings), m_connectSettings(connectSettings),
      m_nodes(std::make_shared<Nodes>()), m_spacing(HasSpacing(m_dataBaseSettings, connectSettings)),
      m_lastArrival(std::chrono::steady_clock::now()) {
    const bool multiDriver = IsMultiDriver(m_dataBaseSettings.databaseType());
    if (m_connectSettings.queryMode() == QueryAutoMode)
        m_connectSettings.setQueryMode(multiDriver ? QueryMultiMode : QuerySingleMode);
    if (m_connectSettings.queryMode() == QuerySingleMode)
        insertLocked(CurrentThreadKey());
    if (m_connectSettings.minWaitTime() == -1)
        m_connectSettings.setMinWaitTime(multiDriver ? 0 : 5);
}

Control::~Control() {
    std::map<qint64, ConnectNode*> nodes;
    {
        std::lock_guard<std::mutex> lock(m_nodes->mutex);
        nodes.swap(m_nodes->map);
    }
    for (const auto& entry : nodes) {
        ConnectNode* node = entry.second;
        // A QObject is deleted on its own thread; a thread that ends deletes what it was handed.
        if (node->thread() == QThread::currentThread())
            delete node;
        else
            node->deleteLater();
    }
}

void Control::insertLocked(const qint64& key) {
    auto* node = new ConnectNode(m_dataBaseSettings, m_connectSettings);
    m_nodes->map[key] = node;
    if (m_connectSettings.queryMode() != QueryMultiMode)
        return;
    // The node goes when its thread finishes, before the QThread object (and with it the key) can
    // be reused. Direct: the slot runs on the finishing thread, the node's own.
    std::weak_ptr<Nodes> weakNodes = m_nodes;
    QObject::connect(
        QThread::currentThread(), &QThread::finished, node,
        [weakNodes, key, node]() {
            const std::shared_ptr<Nodes> nodes = weakNodes.lock();
            if (!nodes)
                return; // the Control has gone and handed the node to deferred deletion
            {
                std::lock_guard<std::mutex> lock(nodes->mutex);
                const auto it = nodes->map.find(key);
                if (it == nodes->map.end() || it->second != node)
                    return;
                nodes->map.erase(it);
            }
            delete node;
        },
        Qt::DirectConnection);
}

void Control::waitSpacing() {
    if (!m_spacing)
        return;
    std::chrono::steady_clock::duration wait{};
    {
        std::lock_guard<std::mutex> lock(m_clockMutex);
        const auto now = std::chrono::steady_clock::now();
        wait = std::chrono::milliseconds(m_connectSettings.minWaitTime()) - (now - m_lastArrival);
        // Moved on before the sleep: the next caller measures from this caller's arrival.
        m_lastArrival = now;
    }
    if (wait > std::chrono::steady_clock::duration::zero())
        std::this_thread::sleep_for(wait);
}

Query Control::query() {
    for (;;) {
        waitSpacing();
        if (m_connectSettings.queryMode() != QueryMultiMode) {
            // Single mode: the map does not change after construction, so no lock.
            return m_nodes->map.begin()->second->query();
        }
        std::lock_guard<std::mutex> lock(m_nodes->mutex);
        const qint64 key = CurrentThreadKey();
        const auto it = m_nodes->map.find(key);
        if (it != m_nodes->map.end())
            return it->second->query();
        insertLocked(key);
    }
}

ConnectNode* Control::node() {
    if (m_connectSettings.queryMode() != QueryMultiMode)
        return m_nodes->map.empty() ? nullptr : m_nodes->map.begin()->second;
    std::lock_guard<std::mutex> lock(m_nodes->mutex);
    const qint64 key = CurrentThreadKey();
    auto it = m_nodes->map.find(key);
    if (it == m_nodes->map.end()) {
        insertLocked(key);
        it = m_nodes->map.find(key);
    }
    return it->second;
}

void Control::removeAll() {
    std::lock_guard<std::mutex> lock(m_nodes->mutex);
    for (const auto& entry : m_nodes->map)
        entry.second->removeDataBase();
}

int Control::nodeCount() const {
    std::lock_guard<std::mutex> lock(m_nodes->mutex);
    return static_cast<int>(m_nodes->map.size());
}

} // namespace QCMutiThreadDB
