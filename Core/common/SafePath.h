#pragma once
// Operations on the user's items inside the sync folder that never follow a symbolic link below
// it. A path is resolved from the sync folder `root` (which itself may be reached through links:
// the user chose it) one folder at a time with openat(O_NOFOLLOW | O_DIRECTORY), and the last
// name is acted on by the *at call that does not follow it either. A link on the way fails the
// call (errno ELOOP or ENOTDIR), so nothing outside the mirror is ever read, written, renamed or
// removed through one; a link as the last name is described as a link by Stat, is never opened,
// and is renamed or removed as the link itself (callers check what they act on first).
//
// Paths are absolute and "/"-separated, `root` itself or below it, compared with letter case as
// the disk does; any other path, and a "." or ".." name, fails with EINVAL.
//
// Stateless apart from the test hook; any thread. A bool result is false with errno set on
// failure; a descriptor belongs to the caller, who closes it (-1 on failure).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

#include <sys/types.h>

// One item as the disk describes it, a link not followed: what a re-check right before a replace
// or a removal compares with the look taken when the decision was made.
struct LocalStat {
    bool exists = false;
    bool is_dir = false;
    bool is_file = false; // a regular file
    bool is_link = false;
    bool denied = false; // not `exists`, but not known to be absent: a folder above may not be searched
    quint64 size = 0;    // 0 for a folder
    qint64 mtime_ns = 0; // Unix time in nanoseconds
    qint64 ctime_ns = 0; // the last change of content or attributes
    quint64 device = 0;
    quint64 inode = 0;

    // The modification time in whole seconds (as stat's st_mtime), as the journal keeps it.
    quint32 Mtime() const {
        return quint32(mtime_ns >= 0 ? mtime_ns / 1000000000 : (mtime_ns + 1) / 1000000000 - 1);
    }
    // A file or a folder: what the sync looks at (never a link, a device, a socket or a pipe).
    bool Synced() const { return is_file || is_dir; }
    // Every field equal: a save within the same second, of the same size, still differs.
    bool operator==(const LocalStat& other) const;
    bool operator!=(const LocalStat& other) const { return !(*this == other); }
};

namespace SafePath {

// The name of a disk entry as text. A name that is not UTF-8 (its text would not encode back to
// the same bytes) keeps each byte that does not decode as the lone surrogate U+DC00 + byte, so two
// such names never become one, and no name of valid text ever reads like one.
QString DecodeName(const QByteArray& name);
// The bytes of a name or path that DecodeName made (the reverse of it); what the functions here
// use, so that they reach such an entry too.
QByteArray EncodeName(const QString& name);
// `path` holds a name that was not valid text: it cannot be synced.
bool IsUndecodable(const QString& path);

// `path` (at or below `root`) described; `exists` false when it is missing or lies behind a link,
// and `denied` too when the look was refused (EACCES).
LocalStat Stat(const QString& root, const QString& path);
// Whether the folder `folder` may be listed and its entries looked at: read and search permission
// for the effective user.
bool CanList(const QString& root, const QString& folder);
// The folder that holds `path` (an O_PATH descriptor, for the *at calls) and the last name of
// `path`; -1 for `root` itself.
int OpenParent(const QString& root, const QString& path, QByteArray& name);
// The folder `folder` opened for listing (O_RDONLY | O_DIRECTORY).
int OpenFolder(const QString& root, const QString& folder);
// openat of the last name with `flags` | O_NOFOLLOW | O_CLOEXEC: a link fails with ELOOP.
int Open(const QString& root, const QString& path, int flags, mode_t mode = 0666);
// Makes `folder` and the missing folders above it, up to `root` (true when it is there already).
bool MakeFolders(const QString& root, const QString& folder);
// Renames `from` to `to`; without `replace` never over an existing name (EEXIST).
bool Rename(const QString& root, const QString& from, const QString& to, bool replace);
// Removes a file (or a link itself); an empty folder.
bool Remove(const QString& root, const QString& path);
bool RemoveFolder(const QString& root, const QString& folder);
// Removes `folder` and everything below it; links below are removed as links, never entered.
bool RemoveTree(const QString& root, const QString& folder);
// Whether `folder` is a folder with no entry at all.
bool IsEmptyFolder(const QString& root, const QString& folder);
// Appends the paths of the regular files below `folder` (a folder's own before its subfolders'),
// never entering a link.
void ListFiles(const QString& root, const QString& folder, QStringList& out);
// Sets the access and modification times (Unix seconds) of the item itself.
bool SetTimes(const QString& root, const QString& path, qint64 accessTime, qint64 modificationTime);

// Durability: fsync of a file's content, or of a folder's entries (after a rename into it).
bool SyncFile(const QString& root, const QString& path);
bool SyncFolder(const QString& root, const QString& folder);
// The same for a path outside any sync folder (a download into a folder the user chose).
bool SyncOutside(const QString& path, bool folder);
// Test hook: called after every fsync of the three above with the path and whether it is a
// folder. Empty: none.
void SetSyncHookForTests(std::function<void(const QString& path, bool folder)> hook);

} // namespace SafePath
