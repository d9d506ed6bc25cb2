#pragma once
// Names that are never synchronised. The predicates look only at the text, never at the disk.

#include <QString>

// True when the last component of `path` is a temporary, lock or system file that is never
// synchronised. `no_skip` true answers false at once.
bool NeedSkipSync(const QString& path, bool no_skip = false);
// True when `text` contains, case-sensitively, the private cache folder ".Nimbocache", the
// private ".Nimbosyslib", or the cache folder of another sync client.
bool IsIgnoreCacheFile(const QString& text);
// True when the last component looks like the temporary file an office program writes on save.
bool MaybeOfficeTemp(const QString& path);
// True when `text` is not empty and holds hexadecimal digits only.
bool IsHexString(const QString& text);
