// coredrv: a headless driver of the core for tests that need the core in a process of its own
// (kill -9 and restart tests). It drives the facade VUZeroz from a script on standard input and
// prints every core event it receives as one JSON line on standard output.
//
// Surroundings: the core reads "sync.ini" in the working folder (section [server], key
// login=<host[:port]>: the configuration host) and keeps its files under the application data
// folder, which follows HOME. The driver itself only ever connects to loopback addresses: any other
// address is refused and reported as {"offhost":"<address>:<port>"}.
//
// Input: one command per line; words are separated by blanks, "..." keeps blanks and semicolons
// (and may be empty), \" and \\ inside quotes stand for " and \. Command names ignore case;
// blank lines are skipped.
//   Init                                  VUZeroz::Init with the driver as the receiver of events
//   SetUser <id> "<pwd>" <0|1> "<eid>"    SetUser(id, pwd, autoLogin, eid); result: the eid in use
//   MapSyncPath <dir>                     MapSyncPath(dir, "/"); result: null
//   Login | Retry                         result: true
//   Request <0..5>                        a REQUEST_TYPE (0 login, 1 logout, 2 start, 3 stop,
//                                         4 refresh, 5 cache clean); result: true
//   Status                                result: the SYNC_INFO snapshot as an object
//   Upload <file>                         starts the upload of a file of the mirror folder;
//                                         result: whether it started
//   FileStatus <path>                     result: the index's FILE_STATUS of the mirror path,
//                                         -1 when the index holds no entry for it
//   SaveHistory <file> <n>                saves the finished list into <file> n times, one entry
//                                         more each time; result per save: its number (-1: failed)
//   SaveCopySources <file> <n> <local>    saves a copy-source list into <file> n times, one entry
//                                         more each time (cloud path /c/<i>, source <local>);
//                                         result per save: its number (-1: failed)
//   SaveOutList <file> <n>                saves an out-upload list (loaded from <file> first)
//                                         into <file> n times, save i holding OutListEntries(i)
//                                         entries of OutListEntry(i, j); result per save as above
//   LoadOutList <file>                    result: the entries of the out-upload list in <file>
//                                         as [[source, cloud path, size, mtime], ...]
//   SetCopySource <cloud> <local>         records a copy source with the engine; result: null
//   MatchCopySource <cloud> <mtime> <size>  the engine's copy source of <cloud>; result: the path
//   Index                                 result: {"<local path>": <FILE_STATUS>, ...} of every
//                                         item of the index
//   Uninit <0|1>                          Uninit(cleanCache); prints the events still pending, then
//                                         the result, and exits 0 (the result says whether the
//                                         engine ended in time); later lines are not read
//   wait <type> [<field>=<value>] <ms>    waits for an event of that type whose printed field has
//                                         that text (a number as printed, a string unquoted); an
//                                         event received earlier counts if no wait took it yet.
//                                         Later commands run after the wait ends.
// End of input without Uninit: as "Uninit 0" (its result line carries "input":"ended").
// SIGTERM, SIGINT or SIGHUP: {"signal":<number>}, then as "Uninit 0".
//
// Output: one JSON object per line, flushed at once:
//   {"event":2205,"status":7,...}        a core event with its payload's fields (2205 and 2206:
//                                         every SYNC_INFO member by its name; 2219: kind, code,
//                                         message; see CoreEventLine.cpp for the others)
//   {"cmd":"SetUser","result":"<eid>"}   a command's result
//   {"cmd":"wait","result":"ok","type":2205} or ... "result":"timeout" ...
//   {"error":"<why>","line":"<the line>"}   a line that could not be run; the driver goes on
//
// Threads: the main thread runs Qt's event loop; it reads standard input when a socket notifier
// says there is something to read (never blocking the loop), receives the core's events and runs
// the commands.

#include "support/CoreEventLine.h"
#include "support/JsonLine.h"
#include "support/Loopback.h"

#include "Database/QCGlobalConfig.h"
#include "common/QCClock.h"
#include "common/QuitOnSignals.h"
#include "common/TsanAnnotations.h"
#include "network/NetworkClient.h"
#include "support/SaveFixtures.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/QCOutUploadList.h"
#include "sync/VUZeroz.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

// Events received and not taken by a wait are kept for later waits, the newest this many.
constexpr size_t kKeptEvents = 2000;

std::mutex g_printLock; // standard output: the main thread and the connect guard's threads

void PrintLine(const JsonLine& line) {
    const QByteArray bytes = line.text().toUtf8() + '\n';
    std::lock_guard<std::mutex> lock(g_printLock);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString AddressText(const struct sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (address && address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address && address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(text)).arg(port);
}

// The HTTP client's connect guard (any thread).
bool LoopbackOnly(const struct sockaddr* address) {
    if (IsLoopbackAddress(address))
        return true;
    PrintLine(JsonLine().add("offhost", AddressText(address)));
    return false;
}

// Splits a command line into words (see the protocol above); false for an unterminated quote.
bool SplitWords(const QString& line, QStringList* words) {
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted) {
            const bool escape = c == QLatin1Char('\\') && i + 1 < line.size() &&
                                (line.at(i + 1) == QLatin1Char('"') || line.at(i + 1) == QLatin1Char('\\'));
            if (escape)
                word += line.at(++i);
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                word += c;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words->append(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words->append(word);
    return !quoted;
}

bool ToInt(const QString& text, int low, int high, int* value) {
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= low && *value <= high;
}

class CoreDriver : public QObject {
public:
    CoreDriver();
    bool event(QEvent* event) override;
    // A signal asked the driver to stop: it ends as on "Uninit 0".
    void Quit(int signal);

private:
    struct Command {
        const char* name;
        int minArgs;
        int maxArgs;
        // Runs the command with valid arity; prints its result or calls Fail.
        void (CoreDriver::*run)(const QStringList& args);
    };
    static const Command kCommands[];

    struct Received {
        int type = 0;
        JsonLine line;
    };

    // Takes what standard input holds now: complete lines are queued, the end is noted.
    void ReadInput();
    // Runs the lines read so far, unless a wait holds them or the driver has finished.
    void RunQueued();
    void Execute(const QString& line);
    void Fail(const QString& why);
    // A result line for `command`, to which the caller adds "result".
    static JsonLine Result(const char* command);
    void Finish(bool cleanCache, bool endOfInput);
    bool Matches(const Received& received) const;
    void EndWait(bool found);

    void DoInit(const QStringList& args);
    void DoSetUser(const QStringList& args);
    void DoMapSyncPath(const QStringList& args);
    void DoLogin(const QStringList& args);
    void DoRetry(const QStringList& args);
    void DoRequest(const QStringList& args);
    void DoStatus(const QStringList& args);
    void DoUpload(const QStringList& args);
    void DoFileStatus(const QStringList& args);
    void DoOutUpload(const QStringList& args);
    void DoUploadCancel(const QStringList& args);
    void DoDownloadStart(const QStringList& args);
    void DoSaveHistory(const QStringList& args);
    void DoSaveCopySources(const QStringList& args);
    void DoSaveOutList(const QStringList& args);
    void DoLoadOutList(const QStringList& args);
    void DoSetCopySource(const QStringList& args);
    void DoMatchCopySource(const QStringList& args);
    void DoIndex(const QStringList& args);
    void DoUninit(const QStringList& args);
    void DoWait(const QStringList& args);

    // The main thread only.
    QSocketNotifier m_input{STDIN_FILENO, QSocketNotifier::Read};
    QByteArray m_partial;        // the start of a line whose end has not come yet
    std::deque<QString> m_lines; // read, not yet run
    bool m_inputEnded = false;
    bool m_finished = false;
    QString m_line;                  // the line being run
    std::deque<Received> m_unwaited; // received events no wait took yet
    struct {
        bool active = false;
        int type = 0;
        QString field; // empty: any event of the type
        QString value;
    } m_wait;
    QTimer m_waitTimer;
};

const CoreDriver::Command CoreDriver::kCommands[] = {
    {"Init", 0, 0, &CoreDriver::DoInit},
    {"SetUser", 4, 4, &CoreDriver::DoSetUser},
    {"MapSyncPath", 1, 1, &CoreDriver::DoMapSyncPath},
    {"Login", 0, 0, &CoreDriver::DoLogin},
    {"Retry", 0, 0, &CoreDriver::DoRetry},
    {"Request", 1, 1, &CoreDriver::DoRequest},
    {"Status", 0, 0, &CoreDriver::DoStatus},
    {"Upload", 1, 1, &CoreDriver::DoUpload},
    {"FileStatus", 1, 1, &CoreDriver::DoFileStatus},
    {"OutUpload", 2, 2, &CoreDriver::DoOutUpload},
    {"UploadCancel", 1, 1, &CoreDriver::DoUploadCancel},
    {"DownloadStart", 2, 2, &CoreDriver::DoDownloadStart},
    {"SaveHistory", 2, 2, &CoreDriver::DoSaveHistory},
    {"SaveCopySources", 3, 3, &CoreDriver::DoSaveCopySources},
    {"SaveOutList", 2, 2, &CoreDriver::DoSaveOutList},
    {"LoadOutList", 1, 1, &CoreDriver::DoLoadOutList},
    {"SetCopySource", 2, 2, &CoreDriver::DoSetCopySource},
    {"MatchCopySource", 3, 3, &CoreDriver::DoMatchCopySource},
    {"Index", 0, 0, &CoreDriver::DoIndex},
    {"Uninit", 1, 1, &CoreDriver::DoUninit},
    {"wait", 2, 3, &CoreDriver::DoWait},
};

CoreDriver::CoreDriver() {
    QObject::connect(&m_input, &QSocketNotifier::activated, this, [this] { ReadInput(); });
    m_waitTimer.setSingleShot(true);
    QObject::connect(&m_waitTimer, &QTimer::timeout, this, [this] { EndWait(false); });
}

bool CoreDriver::event(QEvent* event) {
    TsanAcquireEvent(event); // before anything of the event is read
    const int type = event->type();
    if (type < 2000 || type > 2999)
        return QObject::event(event);
    Received received{type, CoreEventLine(event)};
    PrintLine(received.line);
    if (m_wait.active && Matches(received)) {
        EndWait(true);
        return true;
    }
    m_unwaited.push_back(std::move(received));
    if (m_unwaited.size() > kKeptEvents)
        m_unwaited.pop_front();
    return true;
}

void CoreDriver::ReadInput() {
    char buffer[4096];
    // One read: the notifier said it will not block.
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        m_input.setEnabled(false);
        m_inputEnded = true;
        if (!m_partial.isEmpty())
            m_lines.push_back(QString::fromUtf8(m_partial)); // a last line without its end
        m_partial.clear();
    } else {
        m_partial.append(buffer, int(got));
        for (int end = m_partial.indexOf('\n'); end >= 0; end = m_partial.indexOf('\n')) {
            QByteArray line = m_partial.left(end);
            m_partial.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            m_lines.push_back(QString::fromUtf8(line));
        }
    }
    RunQueued();
}

void CoreDriver::RunQueued() {
    while (!m_finished && !m_wait.active && !m_lines.empty()) {
        const QString line = m_lines.front();
        m_lines.pop_front();
        Execute(line);
    }
    if (!m_finished && !m_wait.active && m_inputEnded)
        Finish(false, true);
}

void CoreDriver::Execute(const QString& line) {
    m_line = line;
    QStringList words;
    if (!SplitWords(line, &words))
        return Fail(QStringLiteral("unterminated quote"));
    if (words.isEmpty())
        return; // a blank line
    const QString name = words.takeFirst();
    for (const Command& command : kCommands) {
        if (name.compare(QLatin1String(command.name), Qt::CaseInsensitive) != 0)
            continue;
        if (words.size() < command.minArgs || words.size() > command.maxArgs)
            return Fail(QStringLiteral("wrong number of arguments"));
        return (this->*command.run)(words);
    }
    Fail(QStringLiteral("unknown command"));
}

void CoreDriver::Fail(const QString& why) {
    PrintLine(JsonLine().add("error", why).add("line", m_line));
}

JsonLine CoreDriver::Result(const char* command) {
    return JsonLine().add("cmd", QString::fromLatin1(command));
}

void CoreDriver::Finish(bool cleanCache, bool endOfInput) {
    m_finished = true;
    m_input.setEnabled(false); // later lines are not read
    m_waitTimer.stop();
    const bool ended = VUZeroz::GetInstance()->Uninit(cleanCache);
    QCoreApplication::sendPostedEvents(this); // the core's last events come before the result
    JsonLine line = Result("Uninit").add("result", ended);
    if (endOfInput)
        line.add("input", QStringLiteral("ended"));
    PrintLine(line);
    QCoreApplication::exit(0);
}

bool CoreDriver::Matches(const Received& received) const {
    if (received.type != m_wait.type)
        return false;
    QString plain;
    return m_wait.field.isEmpty() || (received.line.value(m_wait.field, &plain) && plain == m_wait.value);
}

void CoreDriver::EndWait(bool found) {
    m_waitTimer.stop();
    m_wait.active = false;
    PrintLine(Result("wait")
                  .add("result", found ? QStringLiteral("ok") : QStringLiteral("timeout"))
                  .add("type", m_wait.type));
    RunQueued();
}

void CoreDriver::DoInit(const QStringList&) {
    const bool ok = VUZeroz::GetInstance()->Init(this);
    PrintLine(Result("Init").add("result", ok));
}

void CoreDriver::DoSetUser(const QStringList& args) {
    int autoLogin = 0;
    if (!ToInt(args[2], 0, 1, &autoLogin))
        return Fail(QStringLiteral("auto login must be 0 or 1"));
    const QString eid = VUZeroz::GetInstance()->SetUser(args[0], args[1], autoLogin != 0, args[3]);
    PrintLine(Result("SetUser").add("result", eid));
}

void CoreDriver::DoMapSyncPath(const QStringList& args) {
    VUZeroz::GetInstance()->MapSyncPath(args[0], QStringLiteral("/"));
    PrintLine(Result("MapSyncPath").addNull("result"));
}

void CoreDriver::DoLogin(const QStringList&) {
    const bool ok = VUZeroz::GetInstance()->Login();
    PrintLine(Result("Login").add("result", ok));
}

void CoreDriver::DoRetry(const QStringList&) {
    const bool ok = VUZeroz::GetInstance()->Retry();
    PrintLine(Result("Retry").add("result", ok));
}

void CoreDriver::DoRequest(const QStringList& args) {
    int type = 0;
    if (!ToInt(args[0], REQUEST_LOGIN, REQUEST_CACHE_CLEAN, &type))
        return Fail(QStringLiteral("request must be 0 to 5"));
    const bool ok = VUZeroz::GetInstance()->Request(REQUEST_TYPE(type));
    PrintLine(Result("Request").add("result", ok));
}

void CoreDriver::DoStatus(const QStringList&) {
    JsonLine info;
    AddSyncInfo(info, VUZeroz::GetInstance()->Status());
    PrintLine(Result("Status").addRaw("result", info.text()));
}

void CoreDriver::DoUpload(const QStringList& args) {
    bool ok = false;
    const QString path = args[0];
    const bool ran = g_LocalStoreMgr.CallForTests([&] { ok = g_LocalStoreMgr.UploadMirrorFile(path); });
    PrintLine(Result("Upload").add("result", ran && ok));
}

void CoreDriver::DoFileStatus(const QStringList& args) {
    FileInfo entry;
    const bool known = g_LocalStoreMgr.Cache().GetBaseInfo(args[0], entry);
    PrintLine(Result("FileStatus").add("result", known ? int(entry.status) : -1));
}

// The facade's Upload of the outside file `args[1]` to the cloud path `args[0]`.
void CoreDriver::DoOutUpload(const QStringList& args) {
    PrintLine(Result("OutUpload").add("result", VUZeroz::GetInstance()->Upload(args[0], args[1])));
}

void CoreDriver::DoUploadCancel(const QStringList& args) {
    PrintLine(Result("UploadCancel").add("result", VUZeroz::GetInstance()->UploadCancel(args[0])));
}

// A download of the cloud path `args[0]` into the folder `args[1]` ("" for the mirror).
void CoreDriver::DoDownloadStart(const QStringList& args) {
    PrintLine(Result("DownloadStart").add("result", VUZeroz::GetInstance()->DownloadStart(args[0], args[1])));
}

// Saves the finished list into the history file `args[0]` `args[1]` times, one more entry each
// time (entry i: cloud path "/h/i|x", size i), reporting each save: a test kills the driver
// somewhere in the middle of one.
void CoreDriver::DoSaveHistory(const QStringList& args) {
    const int count = args[1].toInt();
    g_LocalStoreMgr.CallForTests([&] { g_Config.history_path = args[0]; });
    for (int i = 0; i < count; ++i) {
        bool saved = false;
        g_LocalStoreMgr.CallForTests([&] {
            FILE_INFO record;
            record.path = QStringLiteral("/h/%1|x").arg(i);
            record.name = QStringLiteral("%1|x").arg(i);
            record.size = quint64(i);
            record.percent = 100;
            g_LocalStoreMgr.AddToFinishTask(record);
            saved = g_LocalStoreMgr.SaveFinishTaskList();
        });
        PrintLine(Result("SaveHistory").add("result", saved ? i : -1));
    }
}

// The same for the copy-source list, in a cache of its own (the engine's belongs to its login).
void CoreDriver::DoSaveCopySources(const QStringList& args) {
    const int count = args[1].toInt();
    QCCopySourceCache sources;
    sources.Load(args[0]);
    for (int i = 0; i < count; ++i) {
        sources.SetSource(QStringLiteral("/c/%1").arg(i), args[2]);
        PrintLine(Result("SaveCopySources").add("result", sources.Save() ? i : -1));
    }
}

// The same for the out-upload list. The core's clock stands still, so that the removal before
// each save never writes a list of its own (it would be throttled anyway, unless a save took 10 s).
void CoreDriver::DoSaveOutList(const QStringList& args) {
    const int count = args[1].toInt();
    QCClock::UseManualForTests();
    QCOutUploadList list;
    list.Load(args[0]);
    for (int i = 0; i < count; ++i) {
        list.Erase(QString());
        for (int j = 0; j < OutListEntries(i); ++j)
            list.Add(OutListEntry(i, j));
        PrintLine(Result("SaveOutList").add("result", list.Save(false) ? i : -1));
    }
}

void CoreDriver::DoLoadOutList(const QStringList& args) {
    QCOutUploadList list;
    list.Load(args[0]);
    QStringList rows;
    for (const OUT_UPLOAD_FILE& item : list.Pending())
        rows << QStringLiteral("[%1,%2,%3,%4]")
                    .arg(JsonQuote(item.source), JsonQuote(item.cloud_path))
                    .arg(item.size)
                    .arg(item.mtime);
    PrintLine(Result("LoadOutList")
                  .addRaw("result", QLatin1Char('[') + rows.join(QLatin1Char(',')) + QLatin1Char(']')));
}

void CoreDriver::DoSetCopySource(const QStringList& args) {
    g_LocalStoreMgr.CopySources().SetSource(args[0], args[1]);
    PrintLine(Result("SetCopySource").addNull("result"));
}

void CoreDriver::DoMatchCopySource(const QStringList& args) {
    const QString local =
        g_LocalStoreMgr.CopySources().MatchSource(args[0], args[1].toUInt(), 0, args[2].toULongLong());
    PrintLine(Result("MatchCopySource").add("result", local));
}

void CoreDriver::DoIndex(const QStringList&) {
    std::vector<FileInfo> items;
    g_LocalStoreMgr.Cache().ListAll(QStringLiteral("/"), items);
    JsonLine index;
    for (const FileInfo& item : items)
        index.add(item.path.toUtf8().constData(), item.status);
    PrintLine(Result("Index").addRaw("result", index.text()));
}

void CoreDriver::Quit(int signal) {
    PrintLine(JsonLine().add("signal", signal));
    if (!m_finished)
        Finish(false, false);
}

void CoreDriver::DoUninit(const QStringList& args) {
    int clean = 0;
    if (!ToInt(args[0], 0, 1, &clean))
        return Fail(QStringLiteral("clean cache must be 0 or 1"));
    Finish(clean != 0, false);
}

void CoreDriver::DoWait(const QStringList& args) {
    int type = 0;
    int ms = 0;
    if (!ToInt(args.first(), 0, 65535, &type) || !ToInt(args.last(), 0, 24 * 3600 * 1000, &ms))
        return Fail(QStringLiteral("type and time must be numbers"));
    QString field;
    QString value;
    if (args.size() == 3) {
        const int equals = args[1].indexOf(QLatin1Char('='));
        if (equals <= 0)
            return Fail(QStringLiteral("expected <field>=<value>"));
        field = args[1].left(equals);
        value = args[1].mid(equals + 1);
    }
    m_wait.type = type;
    m_wait.field = field;
    m_wait.value = value;
    for (auto it = m_unwaited.begin(); it != m_unwaited.end(); ++it) {
        if (Matches(*it)) {
            m_unwaited.erase(it);
            PrintLine(Result("wait").add("result", QStringLiteral("ok")).add("type", type));
            return;
        }
    }
    m_wait.active = true;
    m_waitTimer.start(ms);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    NetworkClient::SetConnectGuard(&LoopbackOnly);
    CoreDriver driver;
    QuitOnSignals([&driver](int signal) { driver.Quit(signal); });
    return app.exec();
}
