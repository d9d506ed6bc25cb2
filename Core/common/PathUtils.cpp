#include "common/PathUtils.h"

#include "common/CoreLog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>

namespace {

bool IsSeparator(QChar c) {
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

// Index just after the last separator of `path` (0 when it has none).
int NameStart(const QString& path) {
    for (int i = path.size() - 1; i >= 0; --i) {
        if (IsSeparator(path.at(i)))
            return i + 1;
    }
    return 0;
}

// Index of the last "." of the last component, or -1 when a separator or the start comes first.
int ExtensionDot(const QString& path) {
    for (int i = path.size() - 1; i >= 0; --i) {
        const QChar c = path.at(i);
        if (c == QLatin1Char('.'))
            return i;
        if (IsSeparator(c))
            return -1;
    }
    return -1;
}

bool HasUrlScheme(const QString& rel) {
    static const char* const schemes[] = {"qrc:/", "file:/", "http://", "https://"};
    for (const char* scheme : schemes) {
        if (rel.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void FindAllFilesIn(const QString& dir, QStringList& list, const QString& suffix, QSet<QString>& ancestors) {
    QDir folder(dir);
    const QString canonical = folder.canonicalPath();
    // A link that leads back into its own ancestry would make the walk endless.
    if (canonical.isEmpty() || ancestors.contains(canonical))
        return;
    ancestors.insert(canonical);

    const QFileInfoList files =
        folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& file : files) {
        if (suffix.isEmpty() || file.suffix().compare(suffix, Qt::CaseInsensitive) == 0)
            list.append(file.absoluteFilePath());
    }
    const QFileInfoList dirs =
        folder.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& sub : dirs)
        FindAllFilesIn(sub.absoluteFilePath(), list, suffix, ancestors);

    ancestors.remove(canonical);
}

// Writes the UTF-8 form of text[from..] into out, at most `room` bytes, whole characters only.
int EncodeUtf8Bounded(const QString& text, int from, char* out, int room) {
    int written = 0;
    for (int i = from; i < text.size(); ++i) {
        uint cp = text.at(i).unicode();
        if (QChar::isHighSurrogate(cp) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(text.at(i).unicode(), text.at(i + 1).unicode());
            ++i;
        } else if (QChar::isSurrogate(cp)) {
            cp = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        char bytes[4];
        int n;
        if (cp < 0x80) {
            bytes[0] = char(cp);
            n = 1;
        } else if (cp < 0x800) {
            bytes[0] = char(0xC0 | (cp >> 6));
            bytes[1] = char(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            bytes[0] = char(0xE0 | (cp >> 12));
            bytes[1] = char(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = char(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            bytes[0] = char(0xF0 | (cp >> 18));
            bytes[1] = char(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = char(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = char(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (written + n > room)
            break;
        for (int k = 0; k < n; ++k)
            out[written++] = bytes[k];
    }
    return written;
}

QChar HalfWidthOf(QChar c) {
    const ushort u = c.unicode();
    switch (u) {
    case 0xFF1B: // full-width semicolon
    case u',':
    case 0xFF0C: // full-width comma
    case u' ':
    case 0x3000: // ideographic space
    case u'?':
    case 0xFF1F: // full-width question mark
        return QLatin1Char(';');
    case 0x3002:
        return QLatin1Char('.');
    case 0xFF0B:
        return QLatin1Char('+');
    case 0xFF0D:
        return QLatin1Char('-');
    case 0xFF05:
        return QLatin1Char('%');
    case 0xFF20:
        return QLatin1Char('@');
    case 0xFF03:
        return QLatin1Char('#');
    case 0xFF06:
        return QLatin1Char('&');
    case 0xFF01:
        return QLatin1Char('!');
    case 0xFF08:
        return QLatin1Char('(');
    case 0xFF09:
        return QLatin1Char(')');
    case 0x3010:
    case 0x300E:
        return QLatin1Char('[');
    case 0x3011:
    case 0x300F:
        return QLatin1Char(']');
    case 0x300A:
        return QLatin1Char('<');
    case 0x300B:
        return QLatin1Char('>');
    case 0xFF1A:
        return QLatin1Char(':');
    default:
        break;
    }
    if (u >= 0xFF10 && u <= 0xFF19)
        return QChar(u'0' + (u - 0xFF10));
    if (u >= 0xFF41 && u <= 0xFF5A)
        return QChar(u'a' + (u - 0xFF41));
    if (u >= 0xFF21 && u <= 0xFF3A)
        return QChar(u'a' + (u - 0xFF21));
    return c;
}

bool ExistsOnDisk(const QString& path) {
    QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

bool IsSubPath(QString parent, QString path, bool allow_prefix) {
    if (parent.endsWith(QLatin1Char('/')))
        parent.chop(1);
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.size() < parent.size())
        return false;
    if (!path.startsWith(parent, Qt::CaseInsensitive))
        return false;
    if (path.size() == parent.size() || allow_prefix)
        return true;
    return path.at(parent.size()) == QLatin1Char('/');
}

QString GetParentPath(const QString& path) {
    int pos = path.lastIndexOf(QLatin1Char('/'));
    if (pos < 0)
        pos = path.lastIndexOf(QLatin1Char('\\'));
    return pos < 0 ? QString() : path.left(pos);
}

QString GetOnlyFilename(const QString& path) {
    QString name = path;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0)
        name = path.mid(slash + 1);
    const int backslash = path.lastIndexOf(QLatin1Char('\\'));
    if (backslash >= 0)
        name = path.mid(backslash + 1);
    return name;
}

QString FindChildChild(const QString& parent, const QString& path) {
    if (parent.isEmpty() || path.isEmpty() || path.size() <= parent.size())
        return QString();
    QString prefix = parent;
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    if (!path.startsWith(prefix, Qt::CaseInsensitive))
        return QString();
    const int slash = path.indexOf(QLatin1Char('/'), prefix.size());
    return slash < 0 ? QString() : path.left(slash);
}

QString MyCombinePath(QString base, QString rel) {
    if (HasUrlScheme(rel))
        return rel;
    const QString doubled = QStringLiteral("//");
    const QString single = QStringLiteral("/");
    base.replace(doubled, single);
    rel.replace(doubled, single);

    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    while (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);

    // "." and ".." are never names of real items; dropping them keeps the result below `base`.
    QStringList parts = rel.split(QLatin1Char('/'));
    const int before = parts.size();
    parts.removeAll(QStringLiteral("."));
    parts.removeAll(QStringLiteral(".."));
    if (parts.size() != before) {
        rel = parts.join(QLatin1Char('/'));
        while (rel.startsWith(QLatin1Char('/')))
            rel.remove(0, 1);
    }
    return base + QLatin1Char('/') + rel;
}

QString GetFileNameFast(const QString& path, bool& flag) {
    const QString name = path.mid(NameStart(path));
    flag = name.isEmpty();
    return name;
}

QString GetFileExt(const QString& path, bool with_dot) {
    const int dot = ExtensionDot(path);
    if (dot < 0)
        return QString();
    return path.mid(with_dot ? dot : dot + 1).toLower();
}

void GetFileExtFastNoMalloc(const QString& path, bool with_dot, char* buffer, int size) {
    if (!buffer || size <= 0)
        return;
    buffer[0] = 0;
    buffer[size - 1] = 0;
    if (size < 2)
        return;
    const int dot = ExtensionDot(path);
    if (dot < 0)
        return;
    const int n = EncodeUtf8Bounded(path, with_dot ? dot : dot + 1, buffer, size - 2);
    for (int i = 0; i < n; ++i) {
        if (buffer[i] >= 'A' && buffer[i] <= 'Z')
            buffer[i] = char(buffer[i] - 'A' + 'a');
    }
    buffer[n] = 0;
}

void MyFindAllFiles(const QString& dir, QStringList& list, const QString& suffix) {
    QSet<QString> ancestors;
    FindAllFilesIn(dir, list, suffix, ancestors);
}

QString GetNewFileName(const QString& path, const QString& who, const QString& word) {
    const QDateTime now = QDateTime::currentDateTime();
    const QString tag =
        QStringLiteral("(%1-%2-%3-%4)")
            .arg(word, who, now.toString(QStringLiteral("HHmmss")), now.toString(QStringLiteral("yyyyMMdd")));
    const QString name = GetOnlyFilename(path);
    const QString parent = GetParentPath(path);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot >= 0 ? name.left(dot) : name;
    const QString ext = dot >= 0 ? name.mid(dot) : QString();

    QString candidate = MyCombinePath(parent, stem + tag + ext);
    for (int counter = 2; ExistsOnDisk(candidate); ++counter)
        candidate = MyCombinePath(parent, stem + tag + QStringLiteral("(%1)").arg(counter) + ext);
    return candidate;
}

bool CompCharNoCase(wchar_t a, wchar_t b) {
    if (a >= L'A' && a <= L'Z')
        a = a - L'A' + L'a';
    if (b >= L'A' && b <= L'Z')
        b = b - L'A' + L'a';
    return a == b;
}

int FindNoCase(const wchar_t* text, const wchar_t* pattern) {
    if (!text || !pattern)
        return -1;
    if (!*pattern)
        return 0;
    for (int i = 0; text[i]; ++i) {
        int k = 0;
        while (pattern[k] && text[i + k] && CompCharNoCase(text[i + k], pattern[k]))
            ++k;
        if (!pattern[k])
            return i;
    }
    return -1;
}

QString FormatBytesSize(qint64 bytes) {
    if (bytes < 1)
        return QStringLiteral("0 KB");
    if (bytes < 1024)
        return QStringLiteral("1 KB");
    const float value = float(bytes);
    if (bytes < 1048576)
        return QString::asprintf("%0.1f KB", double(value / 1024.0f));
    if (bytes < 1073741824)
        return QString::asprintf("%0.1f MB", double(value / 1048576.0f));
    if (bytes < 1099511627776LL)
        return QString::asprintf("%0.1f GB", double(value / 1073741824.0f));
    return QString::asprintf("%0.1f TB", double(value / 1099511627776.0f));
}

QString GetNumDotString(quint64 n) {
    QString digits = QString::number(n);
    for (int pos = digits.size() - 3; pos > 0; pos -= 3)
        digits.insert(pos, QLatin1Char(','));
    return digits;
}

QString GetIpString(quint32 ip) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg((ip >> 24) & 0xFF)
        .arg((ip >> 16) & 0xFF)
        .arg((ip >> 8) & 0xFF)
        .arg(ip & 0xFF);
}

quint64 GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return quint64(ts.tv_sec) * 1000 + quint64(ts.tv_nsec) / 1000000;
}

quint64 DiskFreeSpace(const QByteArray& path) {
    struct statvfs info {};
    if (path.isEmpty() || statvfs(path.constData(), &info) != 0)
        return 0;
    return quint64(info.f_bavail) * quint64(info.f_frsize);
}

bool MyChangeFileTime(const QString& path, qint64 access_time, qint64 modification_time) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return false;
    timespec times[2]{};
    times[0].tv_sec = time_t(access_time);
    times[1].tv_sec = time_t(modification_time);
    return utimensat(AT_FDCWD, native.constData(), times, 0) == 0;
}

QString SymbolFullToHalf(QString& text) {
    for (int i = 0; i < text.size(); ++i)
        text[i] = HalfWidthOf(text.at(i));
    return text;
}

bool FindQTFromPwd(const QString& credential, QString& q, QString& t) {
    if (credential.isEmpty()) {
        CoreDebug("[pwd] empty credential");
        return false;
    }
    // Only pairs closed by ";" count: the text after the last ";" is unterminated.
    QStringList pairs = credential.split(QLatin1Char(';'));
    pairs.removeLast();
    QString foundQ;
    QString foundT;
    bool haveQ = false;
    bool haveT = false;
    for (const QString& raw : pairs) {
        const QString pair = raw.trimmed();
        if (!haveQ && pair.startsWith(QLatin1String("Q="))) {
            foundQ = pair.mid(2);
            haveQ = true;
        } else if (!haveT && pair.startsWith(QLatin1String("T="))) {
            foundT = pair.mid(2);
            haveT = true;
        }
    }
    if (!haveQ)
        CoreDebug("[pwd] no Q= in credential");
    else if (!haveT)
        CoreDebug("[pwd] no T= in credential");
    if (!haveQ || !haveT)
        return false; // half a credential is none: the outputs stay as they were
    q = foundQ;
    t = foundT;
    return true;
}

QString ClusterIDFromHost(const QString& host, const QString& marker) {
    if (marker.isEmpty())
        return QString();
    const int at = host.indexOf(marker);
    if (at < 0)
        return QString();
    const int dot = host.indexOf(QLatin1Char('.'), at);
    const int start = at + 3;
    if (dot < 0 || dot < start)
        return QString();
    return host.mid(start, dot - start);
}
