#pragma once
// A small connection manager over Qt SQL. A Control stands for one logical database; depending on
// its mode every calling thread gets a connection of its own (multi mode) or all threads share one
// (single mode). Statements run through Query handles, each of which holds its connection's
// recursive lock for as long as it lives. Consecutive queries of a Control can be spaced by a
// minimum interval, and idle connections can be closed by a timer on the application thread.
//
// Threads and locks. Lock order: a Control's map mutex first, then a node's mutex, never the
// reverse. A node's mutex is held for the whole of every node operation and for the life of every
// Query made on it; it is recursive, so one thread may hold several Query handles at once or begin
// and commit a transaction while one lives. A Query is destroyed on the thread that made it.
// In multi mode a thread's node is removed (its connection closed and unregistered) when that
// thread finishes, so a later thread whose QThread object happens to take the same address starts
// with a connection of its own; connection names also carry a process-wide serial number, so no two
// connections ever share a name.
//
// The locks are the standard library's, not Qt's: Qt as shipped is not built for ThreadSanitizer,
// which would neither see races behind Qt's locks nor understand their ordering.
//
// QCMutiThreadDB only groups the types below (a namespace, because Qt's meta-object compiler does
// not accept QObject classes nested in a class).

#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

class QSqlDriver;
class QTimer;

namespace QCMutiThreadDB {

enum DatabaseModeEnum : qint32 {
    DatabaseNameMode = 0, // named by one text (for SQLite, the file path)
    DatabaseHostMode = 1, // host, database, user and password
};

enum QueryMode : qint32 {
    QueryAutoMode = 0,   // resolved from the driver when the Control is built
    QueryMultiMode = 1,  // one connection per calling thread
    QuerySingleMode = 2, // one connection shared by all threads
};

// How the database is reached. Texts that a constructor does not set stay empty.
class DatabaseSettings {
public:
    DatabaseSettings(const DatabaseModeEnum& databaseMode, const QString& databaseType,
                     const QString& connectionName);
    // Name mode.
    DatabaseSettings(const QString& databaseType, const QString& connectionName, const QString& nameModeName);
    // Host mode.
    DatabaseSettings(const QString& databaseType, const QString& connectionName, const QString& hostName,
                     const QString& databaseName, const QString& userName, const QString& password);

    DatabaseModeEnum databaseMode() const { return m_databaseMode; }
    const QString& databaseType() const { return m_databaseType; }     // Qt SQL driver, e.g. "QSQLITE"
    const QString& connectionName() const { return m_connectionName; } // base name of the connections
    const QString& nameModeName() const { return m_nameModeName; }
    const QString& hostModeHostName() const { return m_hostModeHostName; }
    const QString& hostModeDatabaseName() const { return m_hostModeDatabaseName; }
    const QString& hostModeUserName() const { return m_hostModeUserName; }
    const QString& hostModePassword() const { return m_hostModePassword; }

private:
    DatabaseModeEnum m_databaseMode;
    QString m_databaseType;
    QString m_connectionName;
    QString m_nameModeName;
    QString m_hostModeHostName;
    QString m_hostModeDatabaseName;
    QString m_hostModeUserName;
    QString m_hostModePassword;
};

class ConnectSettings {
public:
    ConnectSettings(const int& maxOpenTime, const QueryMode& queryMode, const int& minWaitTime);

    // Milliseconds a connection may stay unused before it is closed; 0: never closed.
    int maxOpenTime() const { return m_maxOpenTime; }
    QueryMode queryMode() const { return m_queryMode; }
    // Minimum milliseconds between two queries of a Control; -1: chosen by driver.
    int minWaitTime() const { return m_minWaitTime; }
    void setQueryMode(const QueryMode& queryMode) { m_queryMode = queryMode; }
    void setMinWaitTime(const int& minWaitTime) { m_minWaitTime = minWaitTime; }

private:
    int m_maxOpenTime;
    QueryMode m_queryMode;
    int m_minWaitTime;
};

// A statement on one connection, holding that connection's lock while it lives. Move-only; destroy
// it on the thread that made it.
class Query {
public:
    // `mutex` is already locked by the caller; the handle unlocks it when destroyed.
    Query(QSqlDatabase& db, std::recursive_mutex* mutex);
    Query(Query&& other) noexcept;
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    Query& operator=(Query&&) = delete;

    QSqlQuery* operator->() const { return m_query; }
    // Hand out the pointer and forget it: the caller then deletes the query / unlocks the mutex.
    QSqlQuery* takeQuery();
    std::recursive_mutex* takeMutex();

private:
    QSqlQuery* m_query = nullptr;            // owned
    std::recursive_mutex* m_mutex = nullptr; // not owned; locked while held
};

// One connection. Created on the thread that will use it (multi mode); its slots run on the
// caller's thread, close() also on the application thread when the auto-close timer fires.
class ConnectNode : public QObject {
    Q_OBJECT

public:
    ConnectNode(const DatabaseSettings& databaseSettings, const ConnectSettings& connectSettings);
    ~ConnectNode() override;

    // A query on this connection, (re)registering and opening it first when needed. The node's
    // lock passes into the Query.
    Query query();
    // The connection's last error; an error of type NoError when the connection is removed.
    QSqlError lastError();
    // The connection's driver; null when the connection is removed.
    QSqlDriver* driver();
    // "<base name>(<hex address of the creating QThread>)#<serial>"; set once.
    const QString& connectionName() const { return m_connectionName; }

signals:
    void controlStartAutoClose();
    void controlStopAutoClose();

public slots:
    // Registers the connection (dropping an earlier one) and opens it; false when it cannot be
    // opened or the database mode is unknown.
    bool addDataBase();
    // Drops and unregisters the connection; query() and open() register it again.
    void removeDataBase();
    // Whether a user table of that name exists, letters compared without regard to case.
    bool hasTable(QString table);
    // Opens the connection; an open connection is left as it is (reopening would drop its
    // transaction).
    bool open();
    // Closes the connection unless a Query is alive on it; then the countdown starts again.
    void close();
    bool transaction();
    bool commit();
    bool rollback();

private:
    QSqlDatabase* m_dataBase = nullptr; // guarded by m_mutex; null while removed
    const QString m_connectionName;
    const DatabaseSettings m_dataBaseSettings;
    const ConnectSettings m_connectSettings;
    QPointer<QTimer> m_autoClose; // set once; lives on the application thread; null when maxOpenTime is 0
    std::unique_ptr<std::recursive_mutex> m_mutex;
};

// One logical database. Held through a shared pointer; not copied.
class Control {
public:
    // Resolves the automatic query mode and spacing, and in single mode opens the constructing
    // thread's connection.
    Control(const DatabaseSettings& databaseSettings, const ConnectSettings& connectSettings);
    // Deletes the nodes of the calling thread at once and hands every other node to its own
    // thread for deletion; each node unregisters its own connection.
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // A query on the calling thread's connection (multi mode) or the shared one, after the spacing.
    Query query();
    // The calling thread's node (created on first use) or the shared one; no spacing. Null only in
    // single mode after the shared node's thread has gone.
    ConnectNode* node();
    // Drops every connection; the nodes stay and reconnect on their next use. Must not be called
    // while another thread holds a Query and may ask this Control for another.
    void removeAll();

    const DatabaseSettings& databaseSettings() const { return m_dataBaseSettings; }
    // As resolved by the constructor.
    const ConnectSettings& connectSettings() const { return m_connectSettings; }
    // Number of nodes (connections, open or not).
    int nodeCount() const;

private:
    // The map and its mutex outlive the Control while a finishing thread still cleans its node.
    struct Nodes {
        std::mutex mutex;                   // not recursive; taken before any node's mutex
        std::map<qint64, ConnectNode*> map; // guarded by mutex; key: address of the thread's QThread
    };

    // Creates and registers the node of the calling thread under `key`. Expects Nodes::mutex held
    // in multi mode (in single mode only the constructor calls it).
    void insertLocked(const qint64& key);
    void waitSpacing();

    const DatabaseSettings m_dataBaseSettings;
    ConnectSettings m_connectSettings; // resolved in the constructor, then read only
    std::shared_ptr<Nodes> m_nodes;
    const bool m_spacing; // set once; false when queries are not spaced
    // The arrival of the previous query; read and moved on in one step under m_clockMutex, so two
    // threads arriving together measure from each other and not both from an older arrival.
    std::mutex m_clockMutex;
    std::chrono::steady_clock::time_point m_lastArrival; // guarded by m_clockMutex
};

} // namespace QCMutiThreadDB
