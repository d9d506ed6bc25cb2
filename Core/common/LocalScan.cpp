#include "common/LocalScan.h"

#include "common/SafePath.h"
#include "common/SkipRules.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Size, times, folder flag and attribute bits of an item already stat'ed; `writable` tells
// whether the current user may write it.
void Describe(const QString& name, const struct stat& st, bool writable, FILE_INFO& info) {
    info.size = quint64(st.st_size);
    info.mtime = quint32(st.st_mtime);
    info.ctime = quint32(st.st_ctime); // Linux keeps no creation time: the last status change serves
    info.is_dir = S_ISDIR(st.st_mode);
    if (info.is_dir) {
        info.size = 0;
        info.attrs = FILE_ATTR_DIRECTORY;
    }
    if (!writable)
        info.attrs |= FILE_ATTR_READONLY;
    if (name.startsWith(QLatin1Char('.')))
        info.attrs |= FILE_ATTR_HIDDEN;
    if (info.attrs == 0)
        info.attrs = FILE_ATTR_NORMAL;
}

struct Entry {
    QString name;
    QByteArray native;
    struct stat st;
};

// Walks one tree from descriptor to descriptor: a link is never followed (nor listed), so the
// walk cannot leave the tree or loop. `root` fixes the prefix cut off the paths.
template <typename Sink>
class Walker {
public:
    // With `tooLong`, an entry whose absolute path reaches PATH_MAX is appended there instead of
    // being listed or entered. With `unreadable`, the absolute path of every folder the walk may
    // not list (EACCES) is appended there: what it holds is unknown, not absent.
    Walker(const QString& root, Sink& sink, QStringList* tooLong = nullptr, QStringList* unreadable = nullptr)
        : m_root(root), m_sink(sink), m_tooLong(tooLong), m_unreadable(unreadable) {}

    void Walk(const QString& dir) {
        QString base = m_root;
        while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
            base.chop(1);
        const QString absolute = QDir(dir).absolutePath();
        const int fd = SafePath::OpenFolder(QDir(base).absolutePath(), absolute);
        if (fd >= 0)
            WalkFolder(fd, absolute);
        else
            Denied(absolute);
    }

private:
    // Takes `fd`, an open folder.
    void WalkFolder(int fd, const QString& dir) {
        DIR* handle = fdopendir(fd);
        if (!handle) {
            close(fd);
            return;
        }
        const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
        bool denied = false;
        const std::vector<Entry> entries = List(handle, denied);
        if (denied)
            Denied(dir);
        for (const Entry& entry : entries) {
            FILE_INFO info;
            Describe(entry.name, entry.st, faccessat(dirfd(handle), entry.native.constData(), W_OK, 0) == 0,
                     info);
            info.name = entry.name;
            const QString absolute = prefix + entry.name;
            if (m_tooLong && SafePath::EncodeName(absolute).size() >= PATH_MAX) {
                m_tooLong->append(absolute);
                continue;
            }
            m_sink(info, absolute, absolute.mid(m_root.size()));
            if (!S_ISDIR(entry.st.st_mode) || SafePath::IsUndecodable(entry.name))
                continue; // the record of a folder whose name is not text stands for its contents
            const int sub = openat(dirfd(handle), entry.native.constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                WalkFolder(sub, absolute);
            else
                Denied(absolute); // its siblings go on
        }
        closedir(handle);
    }

    // Notes `dir` as unreadable when the call that just failed was refused.
    void Denied(const QString& dir) {
        if (errno == EACCES && m_unreadable)
            m_unreadable->append(dir);
    }

    // The files and folders of the open folder whose names take part in the sync, ordered by name
    // ignoring case. Links, special files and entries gone since the listing are left out; none
    // when the folder's entries may not be looked at (`denied` is set, errno EACCES).
    static std::vector<Entry> List(DIR* handle, bool& denied) {
        std::vector<Entry> entries;
        while (const dirent* d = readdir(handle)) {
            const QString name = SafePath::DecodeName(d->d_name);
            if (!IsSyncedName(name))
                continue;
            Entry entry{name, QByteArray(d->d_name), {}};
            if (fstatat(dirfd(handle), d->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != EACCES)
                    continue;
                denied = true; // listed but not searchable: no entry can be described
                return {};
            }
            if (!(S_ISDIR(entry.st.st_mode) || S_ISREG(entry.st.st_mode)))
                continue;
            entries.push_back(std::move(entry));
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            const int c = QString::compare(a.name, b.name, Qt::CaseInsensitive);
            return c != 0 ? c < 0 : a.name < b.name;
        });
        return entries;
    }

    const QString m_root;
    Sink& m_sink;
    QStringList* const m_tooLong;
    QStringList* const m_unreadable;
};

// `unreadable` (may be null) takes the unreadable folders, absolute with `fullPath`, else relative
// as the records' paths.
template <typename Sink>
void Walk(const QString& dir, const QString& root, Sink sink, QStringList* unreadable, bool fullPath) {
    if (dir.isEmpty() || root.isEmpty())
        return;
    QStringList denied;
    Walker<Sink> walker(root, sink, nullptr, unreadable ? &denied : nullptr);
    walker.Walk(dir);
    for (const QString& folder : denied)
        unreadable->append(fullPath ? folder : folder.mid(root.size()));
}

} // namespace

bool GetLocalBaseFileInfo(const QString& path, FILE_INFO* info) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (!info || native.isEmpty() || stat(native.constData(), &st) != 0)
        return false;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    Describe(path.mid(slash + 1), st, access(native.constData(), W_OK) == 0, *info);
    info->path = path;
    return true;
}

bool GetLocalBaseFileInfo(const QString& root, const QString& path, FILE_INFO* info) {
    QByteArray name;
    const int parent = SafePath::OpenParent(root, path, name);
    if (!info || parent < 0)
        return false;
    struct stat st {};
    const bool found = fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode));
    if (found)
        Describe(SafePath::DecodeName(name), st, faccessat(parent, name.constData(), W_OK, 0) == 0, *info);
    close(parent);
    if (found)
        info->path = path;
    return found;
}

void BuildLocalFileList(std::list<FILE_INFO>& out, const QString& dir, const QString& root,
                        QStringList* unreadable) {
    Walk(
        dir, root,
        [&out](FILE_INFO& info, const QString&, const QString& relative) {
            info.path = relative;
            out.push_back(std::move(info));
        },
        unreadable, false);
}

void BuildLocalFileMap(std::map<QString, FILE_INFO>& out, const QString& dir, const QString& root,
                       bool full_path, std::vector<FILE_INFO>* shadowed, QStringList* unreadable) {
    Walk(
        dir, root,
        [&out, full_path, shadowed](FILE_INFO& info, const QString& absolute, const QString& relative) {
            info.path = full_path ? absolute : relative;
            // The walk lists names of one folder in byte order among those equal ignoring case.
            const auto placed = out.emplace(info.path.toLower(), info);
            if (!placed.second && shadowed)
                shadowed->push_back(std::move(info));
        },
        unreadable, full_path);
}

void ScanFolderTrees(const std::vector<QString>& dirs, const QString& root, size_t chunkSize,
                     const std::function<void(std::vector<FILE_INFO>&)>& chunk, QStringList* tooLong) {
    if (root.isEmpty())
        return;
    QStringList unused;
    if (!tooLong)
        tooLong = &unused;
    std::vector<QString> sorted;
    for (const QString& dir : dirs)
        sorted.push_back(QDir(dir).absolutePath());
    std::sort(sorted.begin(), sorted.end());
    std::vector<FILE_INFO> found;
    const auto sink = [&](FILE_INFO& info, const QString&, const QString& relative) {
        info.path = relative;
        found.push_back(std::move(info));
        if (found.size() >= chunkSize) {
            chunk(found);
            found.clear();
        }
    };
    // Sorted, a folder comes right after the folders that hold it.
    QString walked;
    for (const QString& dir : sorted) {
        if (!walked.isEmpty() &&
            (dir == walked || dir.startsWith(walked + QLatin1Char('/')) || walked == QLatin1String("/")))
            continue;
        walked = dir;
        Walker<decltype(sink)> walker(root, sink, tooLong);
        walker.Walk(dir);
    }
    if (!found.empty())
        chunk(found);
}
