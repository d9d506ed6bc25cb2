#pragma once
// Names that are never synchronised. The predicates look only at the text, never at the disk.

#include <QString>

// True when the last component of `path` is a temporary, lock or system file that is never
// synchronised. `no_skip` true answers false at once.
bool NeedSkipSync(const QString& path, bool no_skip = false);
// True when `text` contains, case-sensitively, the private cache folder ".Nimbocache", the
// private ".Nimbosyslib", or the cache folder of another sync client.
bool IsIgnoreCacheFile(const QString& text);
// The one rule for which local names take part in the sync, asked by the local scan, both cloud
// comparisons, the watcher, the offline comparison and the cache clean: every name but "." and
// "..", and the cache folders of IsIgnoreCacheFile (the private folder among them). Hidden names
// (beginning with ".") take part like any other. What a name cannot tell is asked of the disk:
// links and special files never take part (LocalStat::Synced).
bool IsSyncedName(const QString& name);
// Whether every name of `relative` (a path below the sync folder, "/a/b") takes part.
bool IsSyncedPath(const QString& relative);
// True when the last component looks like the temporary file an office program writes on save.
bool MaybeOfficeTemp(const QString& path);
// True when `text` is not empty and holds hexadecimal digits only.
bool IsHexString(const QString& text);
