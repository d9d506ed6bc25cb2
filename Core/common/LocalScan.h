#pragma once
// The local scan: describing a local item as a FILE_INFO and walking a folder tree into records.
// Touches only its arguments and the file system; any thread.

#include "common/FileInfo.h"

#include <QString>

#include <list>
#include <map>

// Describes the local item at `path` into `*info` (a freshly constructed record): size, times,
// folder flag and attribute bits, and `path`; `name` stays empty. False, leaving the record
// untouched, when the item does not exist.
bool GetLocalBaseFileInfo(const QString& path, FILE_INFO* info);

// Appends a record for every entry below `dir`, depth first, a folder before its contents, with
// paths made by cutting the length of `root` off the absolute path. Hidden entries, special files
// and the cache folders of IsIgnoreCacheFile are left out. A symbolic link is taken as what it
// points to, but only when its target lies inside `root` and does not lead back into the folders
// being walked. Nothing happens when `dir` or `root` is empty.
void BuildLocalFileList(std::list<FILE_INFO>& out, const QString& dir, const QString& root);

// The same walk, each record stored under its lower-cased path (of two entries differing only in
// case the later one wins). With `full_path` the stored paths are absolute.
void BuildLocalFileMap(std::map<QString, FILE_INFO>& out, const QString& dir, const QString& root,
                       bool full_path);
