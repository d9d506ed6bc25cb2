// The finished-task history: the finished list kept in "history.dat" of the user's folder across
// restarts, its counters in the user's settings, and the snapshots of the transfer views.

#include "Database/QCGlobalConfig.h"
#include "common/CoreLog.h"
#include "common/IuCoreUtils.h"
#include "common/QCEvents.h"
#include "sync/QCLocalStoreMgr.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kSnapshotMax = QCFileInfoCache::kFinishedKeep;

// A field of a history line: "\" , "|" and a line feed are written "\\", "\|" and "\n", so a
// path holding them keeps the six fields apart. Lines of older files hold no backslash escapes
// and read unchanged.
QString EscapeField(const QString& field) {
    QString out;
    out.reserve(field.size());
    for (const QChar c : field) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('|'))
            out += QLatin1Char('\\');
        if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else
            out += c;
    }
    return out;
}

// The fields of one line, empty ones kept; an escape of anything else keeps its backslash.
QStringList SplitFields(const QString& line) {
    QStringList fields;
    QString field;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('|')) {
            fields << field;
            field.clear();
        } else if (c == QLatin1Char('\\') && i + 1 < line.size()) {
            const QChar next = line.at(++i);
            if (next == QLatin1Char('n'))
                field += QLatin1Char('\n');
            else if (next == QLatin1Char('\\') || next == QLatin1Char('|'))
                field += next;
            else
                field += c, field += next;
        } else {
            field += c;
        }
    }
    fields << field;
    return fields;
}

// Seconds the bytes since the last save stand for at the last upload speed; the files since the
// last save when the bytes are too few to count a second.
quint32 PendingSeconds() {
    const qint64 bytes = g_Config.pending_bytes.load();
    const qint64 speed = qint64(g_Config.finish_task_last_uspeed.load()) * 1000 + 1;
    quint32 seconds = quint32(bytes / speed);
    if (bytes != 0 && seconds == 0)
        seconds = g_Config.pending_seconds.load();
    return seconds;
}

} // namespace

void QCLocalStoreMgr::AddToFinishTask(const FILE_INFO& record) {
    ++g_Config.finish_task_count;
    m_finishedList.UpdateToEnd(record);
    m_historyUnsaved = true;
}

void QCLocalStoreMgr::CheckHistorySave() {
    if (!m_historyUnsaved.load() || g_Config.history_path.isEmpty())
        return;
    if (!m_historyTimer.IsArmed())
        m_historyTimer.Start(); // the tasks of one batch finish close together: one save for them
    else if (m_historyTimer.Check())
        SaveFinishTaskList();
}

bool QCLocalStoreMgr::SaveFinishTaskList() {
    const QString path = g_Config.history_path;
    if (path.isEmpty())
        return false;
    m_historyUnsaved = false;
    m_historyTimer.Reset();
    std::vector<std::shared_ptr<TransferInfo>> entries;
    m_finishedList.Get(entries, FILE_STATUS_SYNCED, std::max<int>(int(m_finishedList.Size()), kSnapshotMax));
    QByteArray text;
    for (const auto& entry : entries) {
        if (!entry)
            continue;
        const QStringList fields{EscapeField(entry->path),
                                 EscapeField(entry->path.section(QLatin1Char('/'), -1)),
                                 QString::number(entry->size),
                                 QString::number(entry->finish_time),
                                 EscapeField(entry->local_path),
                                 QString(QLatin1Char(entry->is_download ? '1' : '0'))};
        text += fields.join(QLatin1Char('|')).toUtf8();
        text += '\n';
    }
    // Written beside and renamed over the old file: a save that fails (a full disk) leaves the
    // old history, and the user is told.
    if (!IuCoreUtils::PutFileContents(QFile::encodeName(path).toStdString(), text.constData(), size_t(text.size()))) {
        const int error = errno;
        CoreDebug("[task] Finish task list save failed: %s", std::strerror(error));
        OnError(SyncErrorOfErrno(error), 0, path, nullptr);
        m_historyUnsaved = true; // tried again later: the disk may have room by then
        return false;
    }
    g_Config.finish_task_save_time += PendingSeconds();
    g_Config.pending_bytes = 0;
    g_Config.pending_seconds = 0;
    bool saved = g_Config.SaveUserProfileInt(QStringLiteral("finish_task_count"), int(g_Config.finish_task_count.load()));
    saved &= g_Config.SaveUserProfileInt(QStringLiteral("finish_task_have_count"),
                                         int(g_Config.finish_task_have_count.load()));
    saved &=
        g_Config.SaveUserProfileInt64(QStringLiteral("finish_task_have_size"), g_Config.finish_task_have_size.load());
    saved &= g_Config.SaveUserProfileInt(QStringLiteral("finish_task_save_time"),
                                         int(g_Config.finish_task_save_time.load()));
    saved &= g_Config.SaveUserProfileInt(QStringLiteral("finish_task_last_uspeed"),
                                         int(g_Config.finish_task_last_uspeed.load()));
    if (!saved)
        OnError(SyncErrorOfErrno(errno), 0, path, nullptr); // the settings lie beside it
    return true;
}

void QCLocalStoreMgr::LoadFinishTaskList() {
    QFile file(g_Config.history_path);
    if (g_Config.history_path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        CoreDebug("[task] Finish task list load failed");
        return;
    }
    // Split at line feeds only: a carriage return may belong to a path.
    const QString text = QString::fromUtf8(file.readAll());
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QStringList fields = SplitFields(line);
        if (fields.size() < 6)
            continue;
        FILE_INFO record;
        record.path = fields.at(0);
        record.name = fields.at(1);
        record.size = fields.at(2).toULongLong();
        record.finish_time = fields.at(3).toUInt();
        record.local_path = fields.at(4);
        record.is_download = fields.at(5).toInt() > 0;
        record.percent = 100;
        record.is_dir = false;
        m_finishedList.UpdateToEnd(record);
    }
    g_Config.finish_task_count = quint32(g_Config.ReadUserProfileInt(QStringLiteral("finish_task_count"), 0));
    g_Config.finish_task_have_count =
        quint32(g_Config.ReadUserProfileInt(QStringLiteral("finish_task_have_count"), 0));
    g_Config.finish_task_have_size = g_Config.ReadUserProfileInt64(QStringLiteral("finish_task_have_size"), 0);
    g_Config.finish_task_save_time =
        quint32(g_Config.ReadUserProfileInt(QStringLiteral("finish_task_save_time"), 0));
    g_Config.finish_task_last_uspeed =
        quint32(g_Config.ReadUserProfileInt(QStringLiteral("finish_task_last_uspeed"), 200));
}

void QCLocalStoreMgr::DeleteFinishTask() {
    g_Config.finish_task_have_count = 0;
    g_Config.finish_task_have_size = 0;
    g_Config.pending_bytes = 0;
    g_Config.pending_seconds = 0;
    g_Config.finish_task_save_time = 0;
    g_Config.finish_task_last_uspeed = 200;
    g_Config.finish_task_count = 0;
    g_Config.SaveUserProfileInt(QStringLiteral("finish_task_count"), 0);
    m_finishedList.Clear();
    SaveFinishTaskList();
    g_Config.CallOuter(new QCTaskHistoryCleanCleanEvent());
}

void QCLocalStoreMgr::GetTaskDetail(TASK_LIST_TYPE type, TASKLIST_NOTIFY& out) const {
    const quint32 failed = m_failedList.Size();
    const quint32 down = m_downList.Size();
    const quint32 up = m_upList.Size();
    const quint32 finished = m_finishedList.Size();
    auto capped = [](quint32 size) { return std::min<quint32>(size, kSnapshotMax); };
    out.type = type;
    if (type == TASK_LIST_RUNNING) {
        out.list_size = failed + down + up;
        out.tasks.clear();
        int remaining = int(capped(failed) + capped(down) + capped(up));
        out.tasks.reserve(size_t(remaining));
        if (failed != 0)
            remaining -= m_failedList.Get(out.tasks, FILE_STATUS_ERR, std::min(remaining, kSnapshotMax));
        if (down != 0)
            remaining -= m_downList.Get(out.tasks, FILE_STATUS_DOWNING, std::min(remaining, kSnapshotMax));
        if (up != 0)
            m_upList.Get(out.tasks, FILE_STATUS_UPING, std::min(remaining, kSnapshotMax));
        out.running_count = quint32(out.tasks.size());
        out.finished_count = capped(finished);
        out.count = out.running_count;
    } else if (type == TASK_LIST_FINISHED) {
        out.list_size = g_Config.finish_task_count.load();
        const int n = int(capped(finished));
        if (n != 0) {
            out.tasks.reserve(size_t(n));
            out.recorded_count = g_Config.finish_task_have_count.load();
            out.finished_bytes = quint64(g_Config.finish_task_have_size.load());
            out.finished_seconds = g_Config.finish_task_save_time.load() + PendingSeconds();
            m_finishedList.Get(out.tasks, FILE_STATUS_SYNCED, n);
        }
        out.finished_count = quint32(out.tasks.size());
        out.running_count = capped(failed) + capped(down) + capped(up);
        out.count = out.finished_count;
    }
}
