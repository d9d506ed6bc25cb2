#pragma once
// What the view thread needs of the sync engine beyond what the index needs (QCCacheHost): a way
// to hand its events to the user interface, and the engine's map of requested downloads. The
// engine implements it; the view thread never links the engine. Tests use a recording fake.
//
// Threads: the view thread calls both, with no lock of its own held.

#include <QString>

class QCEventBase;

class QCViewHost {
public:
    virtual ~QCViewHost() = default;

    // Hands a notification (2201, 2202, 2204) to the user interface and takes ownership of it in
    // every case; false when it could not be delivered.
    virtual bool PostToUi(QCEventBase* event) = 0;
    // Whether the user asked for a download of `path` (a local path; case is not significant).
    virtual bool IsDownloadRequested(const QString& path) const = 0;
};
