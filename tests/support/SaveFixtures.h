#pragma once
// The out-upload lists that coredrv's "SaveOutList" writes and the kill tests recognise: save i
// holds OutListEntries(i) entries, 10 to 60, their number going up and down from save to save, so
// that the page count (1 or 2 pages of long source paths) grows and shrinks, and a list of two
// pages replaces one of two. Entry j of save i carries i as its size and j as its time.

#include "sync/SyncRecords.h"

#include <QString>

inline int OutListEntries(int save) {
    static const int kEntries[] = {10, 55, 60};
    return kEntries[save % 3];
}

inline OUT_UPLOAD_FILE OutListEntry(int save, int entry) {
    OUT_UPLOAD_FILE item;
    item.source = QStringLiteral("/outside/%1/").arg(entry) + QString(10000, QLatin1Char('s'));
    item.cloud_path = QStringLiteral("/o/%1").arg(entry, 3, 10, QLatin1Char('0'));
    item.size = quint64(save);
    item.mtime = quint32(entry);
    return item;
}
