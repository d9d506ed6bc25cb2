#pragma once
// The output line of coredrv for a core event (2000-2999): "event" and the payload's fields.

#include "support/JsonLine.h"

#include "common/SharedTypes.h"

class QEvent;

// Every member of `info`, by its name.
void AddSyncInfo(JsonLine& line, const SYNC_INFO& info);
// `event` must be a core event; its payload's class is picked by its type.
JsonLine CoreEventLine(QEvent* event);
