#pragma once
// The index over a fake engine, with a compact way to fill it and to print what it holds.

#include "support/FakeCacheHost.h"

#include "cache/QCCache.h"
#include "common/PathUtils.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

// Failure messages show texts as texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// One entry to store: a cloud path, its status, folder or file, size and bytes done.
struct Item {
    const char* path;
    int status;
    bool dir = false;
    quint64 size = 0;
    quint64 done = 0;
    quint32 version = 0;
};

inline FILE_INFO Record(const QString& path, bool dir, quint64 size = 0) {
    FILE_INFO f;
    f.path = path;
    f.name = GetOnlyFilename(path);
    f.is_dir = dir;
    f.size = size;
    return f;
}

class CacheFixture {
public:
    void Put(const Item& item) {
        FILE_INFO f = Record(QString::fromUtf8(item.path), item.dir, item.size);
        f.done_size = item.done;
        f.version = item.version;
        cache.Update(f.path, f, FILE_STATUS(item.status), false, false, true);
    }
    void Put(const std::vector<Item>& items) {
        for (const Item& item : items)
            Put(item);
        host.ClearRecords();
    }
    // "key=status" of every entry in key order, separated by " ".
    QString Dump() {
        std::vector<FileInfo> all;
        cache.ListAll(QStringLiteral("/"), all);
        return Names(all, true);
    }
    // The cloud paths of records (with "=status" when asked), separated by " ".
    QString Names(const std::vector<FileInfo>& records, bool withStatus = false) const {
        QStringList names;
        for (const FileInfo& r : records)
            names << host.GetVirtualPath(r.path) +
                         (withStatus ? QStringLiteral("=%1").arg(r.status) : QString());
        return names.join(QLatin1Char(' '));
    }
    FileInfo Base(const char* path) {
        FileInfo out;
        EXPECT_TRUE(cache.GetBaseInfo(QString::fromUtf8(path), out)) << path;
        return out;
    }

    FakeCacheHost host;
    QCCache cache{host};
};
