#pragma once
// Path, name, number and system helpers. Stateless; any thread. Paths use "/" separators; most
// helpers also accept "\". Cloud paths begin with "/", the cloud root that maps to the sync root.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Whether `path` is `parent` or lies below it, ignoring case. With `allow_prefix` a plain text
// prefix is enough (/ab counts as below /a).
bool IsSubPath(QString parent, QString path, bool allow_prefix = false);
// Text before the last "/" (or, without one, before the last "\"); empty when there is neither.
QString GetParentPath(const QString& path);
// Last component: after the last "/", but the last "\" of the whole text wins when present.
QString GetOnlyFilename(const QString& path);
// The direct child of `parent` through which a path at least two levels deeper passes; else empty.
QString FindChildChild(const QString& parent, const QString& path);
// `base` and `rel` joined with exactly one "/". `rel` is returned unchanged only when it starts
// with a resource or URL scheme ("qrc:/", "file:/", "http://", "https://"); "." and ".."
// components of `rel` are dropped, so a joined path never climbs out of `base`.
QString MyCombinePath(QString base, QString rel);
// Last name of the path. `flag` comes back false when a name was extracted, true when the path
// names nothing (empty, or ends with a separator); callers search the name only when it is false.
QString GetFileNameFast(const QString& path, bool& flag);
// Lower-case extension of the last component, with or without its dot; empty when none.
QString GetFileExt(const QString& path, bool with_dot);
// The same into a caller's buffer without allocating: at most size - 2 bytes of UTF-8 (never a
// partial character) and a terminating zero; ASCII capitals lower-cased. Nothing when size is 0.
void GetFileExtFastNoMalloc(const QString& path, bool with_dot, char* buffer, int size);
// Appends the absolute paths of the files below `dir` whose suffix equals `suffix` ignoring case
// (every file when `suffix` is empty); a folder's files come before its subfolders' files.
void MyFindAllFiles(const QString& dir, QStringList& list, const QString& suffix);
// Path of a conflict copy of `path`: "(word-who-HHmmss-yyyyMMdd)" before the last "." of the name
// (or appended), in the same folder; a counter is added while that name is taken on disk.
QString GetNewFileName(const QString& path, const QString& who, const QString& word);

// Equal after mapping only "A".."Z" to "a".."z".
bool CompCharNoCase(wchar_t a, wchar_t b);
// Index of `pattern` in `text` under CompCharNoCase; 0 for an empty pattern; -1 when absent or
// when either pointer is null.
int FindNoCase(const wchar_t* text, const wchar_t* pattern);

// A size for the user: "0 KB", "1 KB", "1.5 KB", "2.0 MB", ...
QString FormatBytesSize(qint64 bytes);
// Decimal with "," between groups of three digits: 1,234,567.
QString GetNumDotString(quint64 n);
// "a.b.c.d" of an IPv4 address held most significant byte first.
QString GetIpString(quint32 ip);
// Milliseconds of the monotonic clock.
quint64 GetTickCount();
// Bytes available to the user on the file system holding `path`; 0 when it cannot be queried.
quint64 DiskFreeSpace(const QByteArray& path);
// Sets the access and modification times of `path` (Unix seconds); true when that worked.
bool MyChangeFileTime(const QString& path, qint64 access_time, qint64 modification_time);
// Normalises search keywords in place (separators to ";", full-width digits, letters and symbols
// to ASCII) and returns a copy of the result.
QString SymbolFullToHalf(QString& text);

// Takes Q and T out of a stored credential "Q=...; T=...;". Only ";"-terminated pairs whose name
// is exactly "Q" or "T" count. Both outputs are set only when both pairs are there; on
// failure they stay as they were.
bool FindQTFromPwd(const QString& credential, QString& q, QString& t);
// The text three characters after the first `marker` in `host`, up to the next "."; else empty.
QString ClusterIDFromHost(const QString& host, const QString& marker);
