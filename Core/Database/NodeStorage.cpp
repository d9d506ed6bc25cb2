#include "Database/NodeStorage.h"

#include "Database/EncryptArchive.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kFieldCount = 19;
// Room for one part and the line that takes it past the threshold.
constexpr size_t kBufferReserve = 0x42000;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using ArchiveBlock = std::unique_ptr<char, FreeDeleter>;

ARCHIVE_HEADER HeaderOf(const ArchiveBlock& block) {
    ARCHIVE_HEADER header;
    std::memcpy(&header, block.get(), sizeof header);
    return header;
}

// --- Writing ---

void AppendNumber(std::wstring& out, quint64 value) {
    wchar_t digits[20];
    int n = 0;
    do {
        digits[n++] = wchar_t(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

void AppendBool(std::wstring& out, bool value) {
    out.push_back(value ? L'1' : L'0');
}

// UTF-16 to UTF-32 with the three escapes of the line format. A lone surrogate is kept as its
// code unit.
void AppendText(std::wstring& out, const QString& text) {
    const QChar* p = text.constData();
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const ushort c = p[i].unicode();
        if (c == u'\\') {
            out += L"\\\\";
        } else if (c == u'|') {
            out += L"\\p";
        } else if (c == u'\n') {
            out += L"\\n";
        } else if (QChar::isHighSurrogate(c) && i + 1 < n && p[i + 1].isLowSurrogate()) {
            out.push_back(wchar_t(QChar::surrogateToUcs4(c, p[i + 1].unicode())));
            ++i;
        } else {
            out.push_back(wchar_t(c));
        }
    }
}

// --- Reading ---

struct Field {
    const wchar_t* begin;
    const wchar_t* end;
};

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The field as an unsigned number not above `max`; 0 when it is anything else.
quint64 ReadNumber(const Field& field, quint64 max) {
    if (field.begin == field.end)
        return 0;
    quint64 value = 0;
    for (const wchar_t* p = field.begin; p != field.end; ++p) {
        if (!IsDigit(*p))
            return 0;
        const quint64 digit = quint64(*p - L'0');
        if (value > (max - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

quint32 ReadNumber32(const Field& field) {
    return quint32(ReadNumber(field, 0xFFFFFFFFu));
}

// True when the field reads as an integer above 0.
bool ReadBool(const Field& field) {
    const wchar_t* p = field.begin;
    bool negative = false;
    if (p != field.end && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
    }
    if (p == field.end)
        return false;
    bool nonZero = false;
    for (; p != field.end; ++p) {
        if (!IsDigit(*p))
            return false;
        nonZero = nonZero || *p != L'0';
    }
    return nonZero && !negative;
}

// The field's text with its escapes undone, converted in one allocation. A code point that is no
// character (a surrogate, or above U+10FFFF) becomes U+FFFD.
QString ReadText(const Field& field) {
    int units = 0;
    for (const wchar_t* p = field.begin; p != field.end; ++p) {
        if (*p == L'\\' && p + 1 != field.end && (p[1] == L'\\' || p[1] == L'p' || p[1] == L'n'))
            ++p;
        units += quint32(*p) > 0xFFFF && quint32(*p) <= 0x10FFFF ? 2 : 1;
    }
    if (units == 0)
        return QString();
    QString text(units, Qt::Uninitialized);
    QChar* out = text.data();
    for (const wchar_t* p = field.begin; p != field.end; ++p) {
        quint32 c = quint32(*p);
        if (c == u'\\' && p + 1 != field.end && (p[1] == L'\\' || p[1] == L'p' || p[1] == L'n')) {
            ++p;
            c = *p == L'p' ? u'|' : *p == L'n' ? u'\n' : u'\\';
        }
        if (c > 0xFFFF && c <= 0x10FFFF) {
            *out++ = QChar(QChar::highSurrogate(c));
            *out++ = QChar(QChar::lowSurrogate(c));
        } else {
            *out++ = QChar(c > 0xFFFF || QChar::isSurrogate(c) ? 0xFFFDu : c);
        }
    }
    return text;
}

// --- Files ---

bool WritePart(const QString& path, quint32 n, const std::wstring& text, quint64 tick, quint64 version) {
    const size_t bytes = text.size() * sizeof(wchar_t);
    if (bytes > size_t(ARCHIVE_MAX_PAYLOAD))
        return false;
    return EncryptArchiveSave(NodeStorage::PartPath(path, n), text.empty() ? nullptr : text.data(),
                              int(bytes), qint64(tick), qint64(version));
}

// Removes the part files of `path` numbered above `keep`, wherever they are: an older, larger
// snapshot may have left them, with gaps where an earlier clean-up stopped.
void RemoveStaleParts(const QString& path, quint32 keep) {
    const QFileInfo header(path);
    const QString prefix = header.fileName() + QLatin1Char('.');
    QDirIterator it(header.absolutePath(), QDir::Files | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        if (!name.startsWith(prefix) || name.size() == prefix.size())
            continue;
        const QStringRef suffix = name.midRef(prefix.size());
        if (!std::all_of(suffix.begin(), suffix.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            continue;
        bool ok = false;
        const qulonglong n = suffix.toULongLong(&ok, 10);
        if (!ok || n > keep)
            QFile::remove(it.filePath());
    }
}

} // namespace

QString NodeStorage::PartPath(const QString& path, quint32 n) {
    // One pass: a "%" inside the path is never taken for a placeholder.
    return QStringLiteral("%1.%2").arg(path, QString::number(n));
}

void NodeStorage::FileInfo2Stream(const FILE_INFO& info, std::wstring& out) {
    AppendText(out, info.nid);
    out.push_back(L'|');
    AppendText(out, info.pid);
    out.push_back(L'|');
    AppendText(out, info.name);
    out.push_back(L'|');
    AppendBool(out, info.is_dir);
    out.push_back(L'|');
    AppendNumber(out, info.size);
    out.push_back(L'|');
    AppendNumber(out, info.status);
    out.push_back(L'|');
    AppendNumber(out, info.ctime);
    out.push_back(L'|');
    AppendNumber(out, info.mtime);
    out.push_back(L'|');
    AppendNumber(out, info.attrs);
    out.push_back(L'|');
    AppendText(out, info.file_hash);
    out.push_back(L'|');
    AppendNumber(out, info.version);
    out.push_back(L'|');
    AppendNumber(out, info.nv);
    out.push_back(L'|');
    AppendBool(out, info.is_share);
    out.push_back(L'|');
    AppendText(out, info.share_name);
    out.push_back(L'|');
    AppendText(out, info.share_qid);
    out.push_back(L'|');
    AppendBool(out, info.is_sync);
    out.push_back(L'|');
    AppendText(out, info.qid);
    out.push_back(L'|');
    AppendBool(out, info.spare_flag);
    out.push_back(L'|');
    AppendBool(out, info.is_link);
    out.push_back(L'\n');
}

bool NodeStorage::Line2FileInfo(const wchar_t* line, size_t length, FILE_INFO& info) {
    Field fields[kFieldCount];
    int count = 0;
    const wchar_t* end = line + length;
    const wchar_t* start = line;
    for (const wchar_t* p = line; count < kFieldCount; ++p) {
        if (p == end || *p == L'|') {
            fields[count++] = Field{start, p};
            if (p == end)
                break;
            start = p + 1;
        }
    }
    if (count < kFieldCount)
        return false;

    info = FILE_INFO();
    info.nid = ReadText(fields[0]);
    info.pid = ReadText(fields[1]);
    info.name = ReadText(fields[2]);
    info.is_dir = ReadBool(fields[3]);
    info.size = ReadNumber(fields[4], ~quint64(0));
    info.status = ReadNumber32(fields[5]);
    info.ctime = ReadNumber32(fields[6]);
    info.mtime = ReadNumber32(fields[7]);
    info.attrs = ReadNumber32(fields[8]);
    info.file_hash = ReadText(fields[9]);
    info.version = ReadNumber32(fields[10]);
    info.nv = ReadNumber(fields[11], ~quint64(0));
    info.is_share = ReadBool(fields[12]);
    info.share_name = ReadText(fields[13]);
    info.share_qid = ReadText(fields[14]);
    info.is_sync = ReadBool(fields[15]);
    info.qid = ReadText(fields[16]);
    info.spare_flag = ReadBool(fields[17]);
    info.is_link = ReadBool(fields[18]);
    return true;
}

bool NodeStorage::ParsePart(const wchar_t* text, size_t length, std::map<QString, FILE_INFO>& nodes) {
    bool good = true;
    const wchar_t* end = text + length;
    FILE_INFO info;
    for (const wchar_t* line = text; line < end;) {
        const wchar_t* lineEnd = std::find(line, end, L'\n');
        if (lineEnd != line) {
            if (Line2FileInfo(line, size_t(lineEnd - line), info)) {
                QString key = info.nid;
                // Parts are written in key order: appending at the end is the usual case.
                nodes.insert_or_assign(nodes.end(), std::move(key), std::move(info));
            } else {
                good = false;
            }
        }
        line = lineEnd + (lineEnd != end ? 1 : 0);
    }
    return good;
}

bool NodeStorage::Save(const QString& version, const QString& path, const std::map<QString, FILE_INFO>& nodes,
                       bool force) {
    bool ok = false;
    quint64 nodeVersion = version.toULongLong(&ok, 10);
    if (!ok)
        nodeVersion = 0;
    const quint64 tick = GetTickCount();
    if (!force && nodeVersion != 0 && CheckSame(nodeVersion, path))
        return true;

    std::wstring buffer;
    buffer.reserve(kBufferReserve);
    quint32 parts = 0;
    ok = true;
    for (const auto& entry : nodes) {
        const FILE_INFO& info = entry.second;
        if (info.name.contains(QLatin1String(".Nimboshare")))
            continue; // the share folder is never stored
        const size_t lineStart = buffer.size();
        FileInfo2Stream(info, buffer);
        if (buffer.size() <= PART_THRESHOLD)
            continue;
        if (CoreLog::Enabled()) {
            const QString line =
                QString::fromWCharArray(buffer.data() + lineStart, int(buffer.size() - lineStart));
            CoreDebug("[nodes] last : %s", line.toUtf8().constData());
        }
        ok = WritePart(path, ++parts, buffer, tick, nodeVersion);
        buffer.clear();
        if (!ok)
            break;
    }
    // An empty buffer with no part yet means nothing to store: the archive refuses it below.
    if (ok && (!buffer.empty() || parts == 0))
        ok = WritePart(path, ++parts, buffer, tick, nodeVersion);
    if (ok) {
        STORAGE_HEADER header;
        header.storage_version = STORAGE_VERSION;
        header.save_tick = tick;
        header.part_count = parts;
        header.node_version = nodeVersion;
        ok = EncryptArchiveSave(path, &header, int(sizeof header), 0, 0);
    }
    if (!ok) {
        Clean(path);
        return false;
    }
    RemoveStaleParts(path, parts);
    return true;
}

bool NodeStorage::LoadHeader(const QString& path, STORAGE_HEADER& header) {
    const ArchiveBlock block(static_cast<char*>(EncryptArchiveLoad(path)));
    if (!block || HeaderOf(block).length != sizeof(STORAGE_HEADER))
        return false;
    std::memcpy(&header, block.get() + ARCHIVE_HEADER_SIZE, sizeof header);
    // A save always writes at least one part; a header of none would pass for an empty tree.
    return header.storage_version == STORAGE_VERSION && header.part_count > 0;
}

bool NodeStorage::CheckSame(unsigned long long version, const QString& path) {
    STORAGE_HEADER header;
    if (!LoadHeader(path, header) || header.node_version != version)
        return false;
    for (quint32 n = 1; n <= header.part_count; ++n) {
        if (!QFileInfo::exists(PartPath(path, n)))
            return false;
    }
    return true;
}

bool NodeStorage::LoadCore(QString& version, const QString& path, std::map<QString, FILE_INFO>& nodes) {
    STORAGE_HEADER header;
    if (!LoadHeader(path, header))
        return false;
    quint32 read = 0;
    for (quint32 n = 1; n <= header.part_count; ++n) {
        const QString partPath = PartPath(path, n);
        if (!QFileInfo::exists(partPath))
            break;
        const ArchiveBlock block(static_cast<char*>(EncryptArchiveLoad(partPath)));
        if (!block)
            break;
        const ARCHIVE_HEADER part = HeaderOf(block);
        if (quint64(part.value1) != header.save_tick || quint64(part.value2) != header.node_version)
            break; // a part of another save
        // The payload is UTF-32: a length that is no multiple of 4 cannot be one.
        bool good = part.length % sizeof(wchar_t) == 0;
        if (good) {
            const auto* text = reinterpret_cast<const wchar_t*>(block.get() + ARCHIVE_HEADER_SIZE);
            good = ParsePart(text, part.length / sizeof(wchar_t), nodes);
        }
        if (!good) {
            CoreDebug("[archive] read allnodes failed");
            break;
        }
        ++read;
    }
    if (read != header.part_count)
        return false;
    version = QString::number(header.node_version);
    return true;
}

bool NodeStorage::Load(QString& version, const QString& path, std::map<QString, FILE_INFO>& nodes) {
    if (LoadCore(version, path, nodes))
        return true;
    nodes.clear();
    Clean(path);
    return false;
}

void NodeStorage::Clean(const QString& path) {
    QFile::remove(path);
    for (quint32 n = 1;; ++n) {
        const QString partPath = PartPath(path, n);
        if (!QFileInfo::exists(partPath))
            break;
        QFile::remove(partPath);
    }
}
