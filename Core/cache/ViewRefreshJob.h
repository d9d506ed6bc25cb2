#pragma once
// The job record of the view thread of the local index: a listing, search, update or delete
// request queued on the thread's job list. Copying a job copies every field and nothing else.

#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

struct VIEW_REFRESH_JOB {
    qint32 type = 0;     // the job kind, 0 unknown
    QString path;        // folder of a listing, text of a search
    FileInfo file;       // the record of an update or delete notice
    qint32 count = 9999; // page size of a listing or search
    bool clear = false;  // reset the view state
};
