#pragma once
// Payload records of the core's notifications that no other layer defines (the others are in
// SharedTypes.h). Plain values, filled by the producer before the event is posted.

#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

#include <vector>

// The entries of one folder view, search or update (events 2201 to 2203).
struct FILE_UPDATE_NOTIFY {
    std::vector<FileInfo> files; // this batch, in the order the view thread made them
    qint32 total = 0;            // entries still to deliver for this view, this batch included
    QString path;                // the folder (cloud path) of the entries; the keyword of a search
    QString marks;               // search marks of a search result
    bool search = false;         // the entries are search results
};

// The result of a server-side copy or move (events 2215, 2216).
struct CLOUD_COPY_TO {
    qint32 error_type = 0; // the engine's error kind, 0 none
    qint32 error_code = 0; // the service's "errno", 0 success
    QString message;       // the service's "errmsg"
    QString source;        // mirror path of the item before the operation
    QString destination;   // mirror path of the item after it
};

// The outcome of a cache clean (event 2207).
struct CACHE_CLEAN_NOTIFY {
    quint64 cleaned_bytes = 0; // local copies removed
    quint64 cleaned_files = 0;
    quint64 kept_bytes = 0; // local copies that could not be removed
    quint64 kept_files = 0;
};

// The answer to a request for a web page address (event 2214).
struct GET_TICKET_RESULT {
    qint32 result = 0; // the service's "errno", 0 success
    QString message;   // "errmsg", or "jump url not valid" when the reply had no data
    QString url;       // "jump_url" with its ticket
};
