#pragma once
// The local scan: describing a local item as a FILE_INFO and walking a folder tree into records.
// Touches only its arguments and the file system; any thread.

#include "common/FileInfo.h"

#include <QString>
#include <QStringList>

#include <functional>

#include <list>
#include <map>
#include <vector>

// Describes the local item at `path` into `*info` (a freshly constructed record): size, times,
// folder flag and attribute bits, and `path`; `name` stays empty. False, leaving the record
// untouched, when the item does not exist.
bool GetLocalBaseFileInfo(const QString& path, FILE_INFO* info);
// The same for an item of the sync folder `root`, resolved from it without following a link
// (SafePath): false also for a link, a special file or an item that lies behind a link.
bool GetLocalBaseFileInfo(const QString& root, const QString& path, FILE_INFO* info);

// Appends a record for every entry below `dir` (`root` or a folder below it), depth first, a
// folder before its contents, with paths made by cutting the length of `root` off the absolute
// path. Only files and folders whose names take part in the sync (IsSyncedName: hidden names do)
// are listed; symbolic links and special files are left out, and `dir` is reached from `root`
// without following a link. Nothing happens when `dir` or `root` is empty. A folder whose entries
// may not be listed or described (EACCES) is listed itself, without entries, and its path (as the
// records' paths) is appended to `unreadable` when given; so is `dir` when it cannot be opened.
// Names are decoded by SafePath::DecodeName; a folder whose name is not valid text is listed but
// not entered.
void BuildLocalFileList(std::list<FILE_INFO>& out, const QString& dir, const QString& root,
                        QStringList* unreadable = nullptr);

// The walk of BuildLocalFileList over the trees of `dirs` (`root` or folders below it), each tree
// once: a folder at or below another of `dirs` is walked as part of that one. The records go to
// `chunk` as they are found, at most `chunkSize` at a time, so that a deep or wide tree never lies
// in memory whole. An entry whose absolute path reaches the system's limit (PATH_MAX) is neither
// listed nor entered: its path is appended to `tooLong` (which may be null).
void ScanFolderTrees(const std::vector<QString>& dirs, const QString& root, size_t chunkSize,
                     const std::function<void(std::vector<FILE_INFO>&)>& chunk, QStringList* tooLong);

// The same walk, each record stored under its lower-cased path. Of entries differing only in case
// the first in byte order is stored and the others are appended to `shadowed` when given. With
// `full_path` the stored paths are absolute, and so are those appended to `unreadable`.
void BuildLocalFileMap(std::map<QString, FILE_INFO>& out, const QString& dir, const QString& root,
                       bool full_path, std::vector<FILE_INFO>* shadowed = nullptr,
                       QStringList* unreadable = nullptr);
