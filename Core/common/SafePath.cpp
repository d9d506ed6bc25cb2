#include "common/SafePath.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex g_hookLock;
std::function<void(const QString&, bool)> g_syncHook; // guarded by g_hookLock

// Closes its descriptor, keeping errno as the failure left it.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd) {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

bool Fail(int error) {
    errno = error;
    return false;
}

// The names of `path` below `root`; false (EINVAL) unless it is `root` or lies below it and every
// name is one a folder can hold.
bool Split(const QString& root, const QString& path, std::vector<QByteArray>& names) {
    QString base = root;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (!base.startsWith(QLatin1Char('/')) || !path.startsWith(base))
        return Fail(EINVAL);
    const QString rest = path.mid(base.size());
    if (base != QLatin1String("/") && !rest.isEmpty() && !rest.startsWith(QLatin1Char('/')))
        return Fail(EINVAL); // "/a/bc" is not below "/a/b"
    for (const QString& name : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            return Fail(EINVAL);
        names.push_back(SafePath::EncodeName(name));
    }
    return true;
}

// The folder reached by the first `count` names, as an O_PATH descriptor; the root is followed,
// nothing below it is.
int Walk(const QString& root, const std::vector<QByteArray>& names, size_t count) {
    Fd fd(::open(QFile::encodeName(root).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; i < count && fd.Get() >= 0; ++i)
        fd.Reset(::openat(fd.Get(), names[i].constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return fd.Release();
}

LocalStat Describe(const struct stat& st) {
    LocalStat stat;
    stat.exists = true;
    stat.is_dir = S_ISDIR(st.st_mode);
    stat.is_file = S_ISREG(st.st_mode);
    stat.is_link = S_ISLNK(st.st_mode);
    stat.size = stat.is_dir ? 0 : quint64(st.st_size);
    stat.mtime_ns = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stat.ctime_ns = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stat.device = quint64(st.st_dev);
    stat.inode = quint64(st.st_ino);
    return stat;
}

bool Fsync(int fd, const QString& path, bool folder) {
    if (fd < 0 || ::fsync(fd) != 0)
        return false;
    std::function<void(const QString&, bool)> hook;
    {
        std::lock_guard<std::mutex> lock(g_hookLock);
        hook = g_syncHook;
    }
    if (hook)
        hook(path, folder);
    return true;
}

// The names the open folder `dir` holds, without "." and ".."; `dir` stays open and unmoved.
bool NamesIn(int dir, std::vector<QByteArray>& names) {
    Fd listing(::dup(dir));
    DIR* handle = listing.Get() >= 0 ? ::fdopendir(listing.Get()) : nullptr;
    if (!handle)
        return false;
    listing.Release();
    while (const dirent* entry = ::readdir(handle)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(handle);
    return true;
}

// Removes what the open folder `dir` holds; its entries' folders are opened without following.
bool EmptyFolder(int dir) {
    std::vector<QByteArray> names;
    if (!NamesIn(dir, names))
        return false;
    bool ok = true;
    for (const QByteArray& name : names) {
        struct stat st {};
        if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISDIR(st.st_mode)) {
            Fd sub(::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            ok = sub.Get() >= 0 && EmptyFolder(sub.Get()) && ok;
            ok = ::unlinkat(dir, name.constData(), AT_REMOVEDIR) == 0 && ok;
        } else {
            ok = ::unlinkat(dir, name.constData(), 0) == 0 && ok;
        }
    }
    return ok;
}

void FilesIn(int dir, const QString& prefix, QStringList& out) {
    std::vector<QByteArray> names;
    if (!NamesIn(dir, names))
        return;
    std::sort(names.begin(), names.end());
    std::vector<QByteArray> folders;
    for (const QByteArray& name : names) {
        struct stat st {};
        if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode))
            out.append(prefix + SafePath::DecodeName(name));
        else if (S_ISDIR(st.st_mode))
            folders.push_back(name);
    }
    for (const QByteArray& name : folders) {
        Fd sub(::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.Get() >= 0)
            FilesIn(sub.Get(), prefix + SafePath::DecodeName(name) + QLatin1Char('/'), out);
    }
}

} // namespace

bool LocalStat::operator==(const LocalStat& o) const {
    return exists == o.exists && is_dir == o.is_dir && is_file == o.is_file && is_link == o.is_link &&
           denied == o.denied && size == o.size && mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns &&
           device == o.device && inode == o.inode;
}

namespace SafePath {

QString DecodeName(const QByteArray& name) {
    const QString text = QFile::decodeName(name);
    if (QFile::encodeName(text) == name)
        return text;
    QString out;
    for (int i = 0; i < name.size();) {
        const uchar lead = uchar(name.at(i));
        const int length = lead < 0x80             ? 1
                           : (lead & 0xE0) == 0xC0 ? 2
                           : (lead & 0xF0) == 0xE0 ? 3
                           : (lead & 0xF8) == 0xF0 ? 4
                                                   : 0;
        const QByteArray sequence = name.mid(i, length);
        const QString piece = length > 0 ? QString::fromUtf8(sequence) : QString();
        if (length > 0 && sequence.size() == length && piece.toUtf8() == sequence) {
            out += piece;
            i += length;
        } else {
            out += QChar(ushort(0xDC00 + lead));
            ++i;
        }
    }
    return out;
}

QByteArray EncodeName(const QString& name) {
    if (!IsUndecodable(name))
        return QFile::encodeName(name);
    QByteArray out;
    int from = 0;
    for (int i = 0; i <= name.size(); ++i) {
        const bool kept = i < name.size() && name.at(i).unicode() >= 0xDC80 &&
                          name.at(i).unicode() <= 0xDCFF && (i == 0 || !name.at(i - 1).isHighSurrogate());
        if (!kept && i < name.size())
            continue;
        out += name.mid(from, i - from).toUtf8();
        if (kept)
            out += char(name.at(i).unicode() - 0xDC00);
        from = i + 1;
    }
    return out;
}

bool IsUndecodable(const QString& path) {
    for (int i = 0; i < path.size(); ++i) {
        if (path.at(i).isLowSurrogate() && (i == 0 || !path.at(i - 1).isHighSurrogate()))
            return true;
    }
    return false;
}

int OpenParent(const QString& root, const QString& path, QByteArray& name) {
    std::vector<QByteArray> names;
    if (!Split(root, path, names))
        return -1;
    if (names.empty()) {
        errno = EINVAL;
        return -1;
    }
    name = names.back();
    return Walk(root, names, names.size() - 1);
}

LocalStat Stat(const QString& root, const QString& path) {
    std::vector<QByteArray> names;
    struct stat st {};
    if (!Split(root, path, names))
        return LocalStat();
    LocalStat failed;
    if (names.empty()) {
        if (::stat(QFile::encodeName(root).constData(), &st) == 0)
            return Describe(st);
        failed.denied = errno == EACCES;
        return failed;
    }
    Fd parent(Walk(root, names, names.size() - 1));
    if (parent.Get() < 0 ||
        ::fstatat(parent.Get(), names.back().constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        failed.denied = errno == EACCES;
        return failed;
    }
    return Describe(st);
}

bool CanList(const QString& root, const QString& folder) {
    std::vector<QByteArray> names;
    if (!Split(root, folder, names))
        return false;
    if (names.empty())
        return ::faccessat(AT_FDCWD, QFile::encodeName(root).constData(), R_OK | X_OK, AT_EACCESS) == 0;
    Fd parent(Walk(root, names, names.size() - 1));
    return parent.Get() >= 0 && ::faccessat(parent.Get(), names.back().constData(), R_OK | X_OK,
                                            AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

int OpenFolder(const QString& root, const QString& folder) {
    std::vector<QByteArray> names;
    if (!Split(root, folder, names))
        return -1;
    if (names.empty())
        return ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Fd parent(Walk(root, names, names.size() - 1));
    if (parent.Get() < 0)
        return -1;
    return ::openat(parent.Get(), names.back().constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int Open(const QString& root, const QString& path, int flags, mode_t mode) {
    QByteArray name;
    Fd parent(OpenParent(root, path, name));
    if (parent.Get() < 0)
        return -1;
    return ::openat(parent.Get(), name.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool MakeFolders(const QString& root, const QString& folder) {
    std::vector<QByteArray> names;
    if (!Split(root, folder, names))
        return false;
    Fd fd(Walk(root, names, 0));
    for (const QByteArray& name : names) {
        if (fd.Get() < 0)
            return false;
        const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(fd.Get(), name.constData(), flags);
        if (next < 0 && errno == ENOENT &&
            (::mkdirat(fd.Get(), name.constData(), 0777) == 0 || errno == EEXIST))
            next = ::openat(fd.Get(), name.constData(), flags);
        fd.Reset(next);
    }
    return fd.Get() >= 0;
}

bool Rename(const QString& root, const QString& from, const QString& to, bool replace) {
    QByteArray fromName;
    QByteArray toName;
    Fd fromParent(OpenParent(root, from, fromName));
    if (fromParent.Get() < 0)
        return false;
    Fd toParent(OpenParent(root, to, toName));
    if (toParent.Get() < 0)
        return false;
    return ::renameat2(fromParent.Get(), fromName.constData(), toParent.Get(), toName.constData(),
                       replace ? 0 : RENAME_NOREPLACE) == 0;
}

bool Remove(const QString& root, const QString& path) {
    QByteArray name;
    Fd parent(OpenParent(root, path, name));
    return parent.Get() >= 0 && ::unlinkat(parent.Get(), name.constData(), 0) == 0;
}

bool RemoveFolder(const QString& root, const QString& folder) {
    QByteArray name;
    Fd parent(OpenParent(root, folder, name));
    return parent.Get() >= 0 && ::unlinkat(parent.Get(), name.constData(), AT_REMOVEDIR) == 0;
}

bool RemoveTree(const QString& root, const QString& folder) {
    Fd fd(OpenFolder(root, folder));
    if (fd.Get() < 0)
        return false;
    const bool emptied = EmptyFolder(fd.Get());
    fd.Reset(-1);
    return emptied && RemoveFolder(root, folder);
}

bool IsEmptyFolder(const QString& root, const QString& folder) {
    Fd fd(OpenFolder(root, folder));
    DIR* handle = fd.Get() >= 0 ? ::fdopendir(fd.Get()) : nullptr;
    if (!handle)
        return false;
    fd.Release();
    bool empty = true;
    while (const dirent* entry = ::readdir(handle)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    ::closedir(handle);
    return empty;
}

void ListFiles(const QString& root, const QString& folder, QStringList& out) {
    Fd fd(OpenFolder(root, folder));
    if (fd.Get() >= 0)
        FilesIn(fd.Get(), folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'), out);
}

bool SetTimes(const QString& root, const QString& path, qint64 accessTime, qint64 modificationTime) {
    QByteArray name;
    Fd parent(OpenParent(root, path, name));
    const timespec times[2] = {{time_t(accessTime), 0}, {time_t(modificationTime), 0}};
    return parent.Get() >= 0 && ::utimensat(parent.Get(), name.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool SyncFile(const QString& root, const QString& path) {
    Fd fd(Open(root, path, O_RDONLY));
    return Fsync(fd.Get(), path, false);
}

bool SyncFolder(const QString& root, const QString& folder) {
    Fd fd(OpenFolder(root, folder));
    return Fsync(fd.Get(), folder, true);
}

bool SyncOutside(const QString& path, bool folder) {
    Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0)));
    return Fsync(fd.Get(), path, folder);
}

void SetSyncHookForTests(std::function<void(const QString&, bool)> hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_syncHook = std::move(hook);
}

} // namespace SafePath
