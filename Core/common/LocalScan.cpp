#include "common/LocalScan.h"

#include "common/SkipRules.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Steps shared by every scan: size, times, folder flag and attribute bits from a followed stat.
void Describe(const QByteArray& native, const QString& name, const struct stat& st, FILE_INFO& info) {
    info.size = quint64(st.st_size);
    info.mtime = quint32(st.st_mtime);
    info.ctime = quint32(st.st_ctime); // Linux keeps no creation time: the last status change serves
    info.is_dir = S_ISDIR(st.st_mode);
    if (info.is_dir) {
        info.size = 0;
        info.attrs = FILE_ATTR_DIRECTORY;
    }
    if (access(native.constData(), W_OK) != 0)
        info.attrs |= FILE_ATTR_READONLY;
    if (name.startsWith(QLatin1Char('.')))
        info.attrs |= FILE_ATTR_HIDDEN;
    if (info.attrs == 0)
        info.attrs = FILE_ATTR_NORMAL;
}

QByteArray CanonicalPath(const QByteArray& native) {
    char* resolved = realpath(native.constData(), nullptr);
    if (!resolved)
        return QByteArray();
    QByteArray result(resolved);
    free(resolved);
    return result;
}

bool IsInside(const QByteArray& path, const QByteArray& root) {
    if (root == "/")
        return path.startsWith('/');
    return path == root || (path.startsWith(root) && path.at(root.size()) == '/');
}

struct Entry {
    QString name;
    QByteArray native;
    bool is_link;
};

// Walks one tree. `root` fixes the prefix cut off the paths and the bounds of followed links.
template <typename Sink>
class Walker {
public:
    Walker(const QString& root, Sink& sink) : m_root(root), m_sink(sink) {
        m_rootCanonical = CanonicalPath(QFile::encodeName(root));
    }

    void Walk(const QString& dir) {
        const QString absolute = QDir(dir).absolutePath();
        const QByteArray canonical = CanonicalPath(QFile::encodeName(absolute));
        if (canonical.isEmpty() || m_rootCanonical.isEmpty())
            return;
        m_ancestors.push_back(canonical);
        WalkFolder(absolute, canonical);
    }

private:
    void WalkFolder(const QString& dir, const QByteArray& canonical) {
        const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
        for (const Entry& entry : List(prefix)) {
            struct stat st {};
            if (stat(entry.native.constData(), &st) != 0)
                continue; // broken link, or gone since listing
            if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
                continue; // devices, sockets, pipes

            QByteArray target;
            if (entry.is_link) {
                target = CanonicalPath(entry.native);
                if (target.isEmpty() || !IsInside(target, m_rootCanonical))
                    continue; // never follow a link out of the scanned tree
            } else {
                target = canonical + (canonical.endsWith('/') ? "" : "/") + QFile::encodeName(entry.name);
            }
            const bool isDir = S_ISDIR(st.st_mode);
            if (isDir && std::find(m_ancestors.begin(), m_ancestors.end(), target) != m_ancestors.end())
                continue; // a link back into its own ancestry

            FILE_INFO info;
            Describe(entry.native, entry.name, st, info);
            info.name = entry.name;
            const QString absolute = prefix + entry.name;
            m_sink(info, absolute, absolute.mid(m_root.size()));

            if (isDir) {
                m_ancestors.push_back(target);
                WalkFolder(absolute, target);
                m_ancestors.pop_back();
            }
        }
    }

    // Visible entries of `prefix`, ignored cache folders left out, ordered by name ignoring case.
    static std::vector<Entry> List(const QString& prefix) {
        std::vector<Entry> entries;
        const QByteArray nativePrefix = QFile::encodeName(prefix);
        DIR* handle = opendir(nativePrefix.constData());
        if (!handle)
            return entries; // cannot be listed: no entries, siblings go on
        while (const dirent* d = readdir(handle)) {
            if (d->d_name[0] == '.')
                continue; // ".", ".." and hidden entries
            const QString name = QFile::decodeName(d->d_name);
            if (IsIgnoreCacheFile(name))
                continue;
            Entry entry{name, nativePrefix + d->d_name, d->d_type == DT_LNK};
            if (d->d_type == DT_UNKNOWN) {
                struct stat lst {};
                entry.is_link = lstat(entry.native.constData(), &lst) == 0 && S_ISLNK(lst.st_mode);
            }
            entries.push_back(std::move(entry));
        }
        closedir(handle);
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            const int c = QString::compare(a.name, b.name, Qt::CaseInsensitive);
            return c != 0 ? c < 0 : a.name < b.name;
        });
        return entries;
    }

    const QString m_root;
    Sink& m_sink;
    QByteArray m_rootCanonical;
    std::vector<QByteArray> m_ancestors; // canonical paths of the folders being walked
};

template <typename Sink>
void Walk(const QString& dir, const QString& root, Sink sink) {
    if (dir.isEmpty() || root.isEmpty())
        return;
    Walker<Sink> walker(root, sink);
    walker.Walk(dir);
}

} // namespace

bool GetLocalBaseFileInfo(const QString& path, FILE_INFO* info) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (!info || native.isEmpty() || stat(native.constData(), &st) != 0)
        return false;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    Describe(native, path.mid(slash + 1), st, *info);
    info->path = path;
    return true;
}

void BuildLocalFileList(std::list<FILE_INFO>& out, const QString& dir, const QString& root) {
    Walk(dir, root, [&out](FILE_INFO& info, const QString&, const QString& relative) {
        info.path = relative;
        out.push_back(std::move(info));
    });
}

void BuildLocalFileMap(std::map<QString, FILE_INFO>& out, const QString& dir, const QString& root,
                       bool full_path) {
    Walk(dir, root, [&out, full_path](FILE_INFO& info, const QString& absolute, const QString& relative) {
        info.path = full_path ? absolute : relative;
        const QString key = info.path.toLower();
        out[key] = std::move(info);
    });
}
