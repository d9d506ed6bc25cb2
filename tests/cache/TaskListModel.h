#pragma once
// A transfer task list kept the plain way, as the reference that QCFileInfoCache is checked and
// measured against: a set of lower-case paths before a linear search, and a walk over every entry
// for each recomputation of the percent. Shared by the tests and bench_tasklist.

#include "common/FileInfo.h"
#include "common/SharedTypes.h"

#include <algorithm>
#include <list>
#include <set>
#include <string>
#include <vector>

struct TaskListModel {
    std::list<FILE_INFO> entries;
    std::set<QString> paths;
    quint64 total = 0, finished = 0;
    quint32 percent = 0;
    bool update = true;

    static quint32 Cap(quint64 p, quint64 done) {
        return p == 0 && done ? 1 : quint32(std::min<quint64>(p, 100));
    }
    std::list<FILE_INFO>::iterator Find(const QString& path) {
        if (!paths.count(path.toLower()))
            return entries.end();
        return std::find_if(entries.begin(), entries.end(), [&](const FILE_INFO& e) {
            return QString::compare(e.path, path, Qt::CaseInsensitive) == 0;
        });
    }
    void Drop(std::list<FILE_INFO>::iterator it) {
        paths.erase(it->path.toLower());
        entries.erase(it);
    }
    void Add(const FILE_INFO& r) {
        entries.push_back(r);
        paths.insert(r.path.toLower());
        const quint64 done = percent * total / 100;
        total += r.size == 0 ? 1 : r.size;
        percent = Cap(done * 100 / total, done);
    }
    void Update(const FILE_INFO& r) {
        const auto it = Find(r.path);
        if (it == entries.end())
            return Add(r);
        *it = r;
        if (r.done_size != 0)
            Recompute();
    }
    void UpdateToEnd(const FILE_INFO& r) {
        if (entries.size() > 0x168)
            Drop(entries.begin());
        if (Find(r.path) != entries.end())
            Drop(Find(r.path));
        Add(r);
    }
    void Del(const FILE_INFO& r) {
        if (Find(r.path) != entries.end())
            Drop(Find(r.path));
        if (r.percent == 100)
            finished += r.size == 0 ? 1 : r.size;
        if (update)
            Recompute();
    }
    void UpdateStatus(const QString& path, quint32 status) {
        if (Find(path) != entries.end())
            Find(path)->file_status = status;
    }
    void Recompute() {
        if (entries.empty()) {
            percent = 100;
            return;
        }
        quint64 sumDone = 0, sumSize = 0;
        for (const FILE_INFO& e : entries) {
            sumDone += e.done_size;
            sumSize += e.size;
        }
        total = sumSize;
        const quint64 of = sumSize + finished == 0 ? 1 : sumSize + finished;
        percent = Cap((finished + sumDone) * 100 / of, finished + sumDone);
    }
    std::string Get() const {
        std::vector<const FILE_INFO*> order;
        for (const FILE_INFO& e : entries)
            order.push_back(&e);
        std::stable_sort(order.begin(), order.end(), [](const FILE_INFO* a, const FILE_INFO* b) {
            return a->priority > b->priority || (a->priority == b->priority && a->sequence > b->sequence);
        });
        std::string text;
        for (const FILE_INFO* e : order)
            text += " " + e->path.toStdString() + ":" + (e->file_status == FILE_STATUS_PAUSE ? "6" : "5");
        return text;
    }
};
