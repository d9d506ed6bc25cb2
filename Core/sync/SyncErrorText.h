#pragma once
// The words of the engine's error report: the message the user sees for an error kind
// (SYNC_ERROR) and its number, and the text of the global error event. Pure functions; the engine
// decides where the words go (Core/sync/QCLocalStoreMgrError.cpp).

#include "common/SharedTypes.h"

#include <QString>

struct SyncErrorText {
    QString message;  // the composed message
    QString item;     // the item to store with it
    bool show = true; // whether the error may be shown to the user as a message box
};

// The message of a transport (Network) or HTTP (Server) failure.
QString NetworkErrorMessage(int kind, int code);
// The message, item and show flag of any other kind. `syncFolder` stands in for a disk error that
// names no path; `context` may be null.
SyncErrorText ComposeSyncError(int kind, int code, const QString& item, const CMD_STAT_DEBUG* context,
                               const QString& syncFolder);
// The text of the global error event: "同步失败\n" and the message, then the item to show (its
// middle left out when it is longer than 100 characters).
QString GlobalErrorText(const QString& message, const QString& shownItem);
