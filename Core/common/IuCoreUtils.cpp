#include "common/IuCoreUtils.h"

#include "common/IuStringUtils.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <utf8.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kCopyPiece = 65536;
constexpr int kMimeTimeoutMs = 30000;
const char kOctetStream[] = "application/octet-stream";

// Switches the calling thread to the environment's character-type locale for its lifetime; other
// threads keep theirs, so the conversions stay reentrant.
class EnvironmentLocale {
public:
    EnvironmentLocale() {
        m_locale = newlocale(LC_CTYPE_MASK, "", locale_t(nullptr));
        if (!m_locale) // the environment names a locale that is not installed
            m_locale = newlocale(LC_CTYPE_MASK, "C", locale_t(nullptr));
        if (m_locale)
            m_previous = uselocale(m_locale);
    }
    ~EnvironmentLocale() {
        if (m_locale) {
            uselocale(m_previous);
            freelocale(m_locale);
        }
    }
    EnvironmentLocale(const EnvironmentLocale&) = delete;
    EnvironmentLocale& operator=(const EnvironmentLocale&) = delete;

private:
    locale_t m_locale = locale_t(nullptr);
    locale_t m_previous = locale_t(nullptr);
};

// Writes a file under a temporary name beside its target and renames it into place on Commit.
// Until then the target is untouched; a writer that is not committed removes its temporary file.
// Every write is a plain write(2) whose result is checked, so a full disk fails the write itself
// (a buffered stream would report it, if at all, only at a close nobody checks). On failure errno
// says why, whatever the clean-up did since.
class ReplacingWriter {
public:
    explicit ReplacingWriter(const std::string& target) : m_target(target) {
        static std::atomic<unsigned> counter{0};
        const std::string suffix = "." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            m_temp = target + suffix + (attempt ? std::to_string(attempt) : std::string());
            m_fd = open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (m_fd < 0 && errno == ENAMETOOLONG) {
                // The target's name is near the limit: a short name in the same folder.
                m_temp = IuCoreUtils::ExtractFilePath(target) + ".iu" + suffix +
                         (attempt ? std::to_string(attempt) : std::string());
                m_fd = open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            }
            if (m_fd < 0 && errno != EEXIST)
                break;
        }
        // The file it replaces decides who may read it (a store of credentials is 0600), before
        // any byte is written.
        struct stat old {};
        m_hadTarget = m_fd >= 0 && stat(m_target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
        if (m_hadTarget) {
            m_oldMtime = old.st_mtim;
            if (fchmod(m_fd, old.st_mode & 07777) != 0)
                Fail();
        }
    }
    ~ReplacingWriter() {
        const int error = errno;
        if (m_fd >= 0)
            close(m_fd);
        if (!m_committed && !m_temp.empty() && m_fd != kNotOpened)
            unlink(m_temp.c_str());
        errno = error;
    }
    ReplacingWriter(const ReplacingWriter&) = delete;
    ReplacingWriter& operator=(const ReplacingWriter&) = delete;

    bool IsOpen() const { return m_fd >= 0; }

    bool Write(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = write(m_fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = ENOSPC;
                return false;
            }
            data += n;
            size -= size_t(n);
        }
        return true;
    }

    // Syncs, closes and renames, then syncs the folder. Without `overwrite` an existing target is
    // never replaced.
    bool Commit(bool overwrite) {
        const int fd = m_fd;
        m_fd = kClosed;
        KeepTimeAfterOld(fd);
        if (fsync(fd) != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (close(fd) != 0)
            return false;
        if (overwrite) {
            if (rename(m_temp.c_str(), m_target.c_str()) != 0)
                return false;
        } else if (renameat2(AT_FDCWD, m_temp.c_str(), AT_FDCWD, m_target.c_str(), RENAME_NOREPLACE) != 0) {
            // Some file systems cannot refuse to replace; ask first there.
            if (errno != EINVAL && errno != ENOSYS)
                return false;
            if (IuCoreUtils::FileExists(m_target)) {
                errno = EEXIST;
                return false;
            }
            if (rename(m_temp.c_str(), m_target.c_str()) != 0)
                return false;
        }
        m_committed = true;
        SyncFolder();
        return true;
    }

private:
    void Fail() {
        const int error = errno;
        close(m_fd);
        unlink(m_temp.c_str());
        m_fd = kNotOpened;
        errno = error;
    }

    // The new file's time comes after the old one's, so that a reader caching the file by its
    // size and time (QSettings does) sees the change even within one tick of the clock.
    void KeepTimeAfterOld(int fd) const {
        struct stat now {};
        if (!m_hadTarget || fstat(fd, &now) != 0)
            return;
        const auto ms = [](const timespec& t) { return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000; };
        if (ms(now.st_mtim) > ms(m_oldMtime))
            return;
        const qint64 later = ms(m_oldMtime) + 1;
        const timespec times[2] = {{0, UTIME_OMIT}, {time_t(later / 1000), long(later % 1000) * 1000000}};
        futimens(fd, times); // at worst a cached reader sees the change a tick later
    }

    // The rename reaches the disk with the folder's entries; a file system that cannot sync a
    // folder (EINVAL) has nothing to sync.
    void SyncFolder() const {
        std::string folder = IuCoreUtils::ExtractFilePath(m_target);
        if (folder.empty())
            folder = ".";
        const int error = errno;
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            if (fsync(dir) != 0 && errno != EINVAL)
                qWarning("[file] the folder of %s could not be synced: %s", m_target.c_str(), strerror(errno));
            close(dir);
        }
        errno = error;
    }

    static constexpr int kNotOpened = -1;
    static constexpr int kClosed = -2; // the temporary file exists but its descriptor is closed
    std::string m_target;
    std::string m_temp;
    int m_fd = kNotOpened;
    bool m_committed = false;
    bool m_hadTarget = false;
    timespec m_oldMtime{};
};

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool MakeOneFolder(const std::string& path, unsigned int mode) {
    if (mkdir(path.c_str(), mode_t(mode)) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = ENOTDIR;
    return false;
}

} // namespace

namespace IuCoreUtils {

std::wstring Utf8ToWstring(const std::string& text) {
    const auto valid_end = utf8::find_invalid(text.begin(), text.end());
    std::wstring result;
    utf8::unchecked::utf8to32(text.begin(), valid_end, std::back_inserter(result));
    return result;
}

std::string WstringToUtf8(const std::wstring& text) {
    std::string result;
    for (const wchar_t c : text) {
        const auto code = uint32_t(c);
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            break;
        utf8::unchecked::append(code, std::back_inserter(result));
    }
    return result;
}

std::string Utf8ToSystemLocale(const std::string& text) {
    const std::wstring wide = Utf8ToWstring(text);
    EnvironmentLocale locale;
    std::string result;
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (const wchar_t c : wide) {
        if (c == L'\0')
            break;
        const size_t n = std::wcrtomb(buffer, c, &state);
        if (n == size_t(-1))
            break;
        result.append(buffer, n);
    }
    return result;
}

std::string SystemLocaleToUtf8(const std::string& text) {
    std::wstring wide;
    {
        EnvironmentLocale locale;
        std::mbstate_t state{};
        const char* p = text.c_str();
        size_t left = text.size();
        while (left > 0) {
            wchar_t c = 0;
            const size_t n = std::mbrtowc(&c, p, left, &state);
            if (n == 0 || n == size_t(-1) || n == size_t(-2))
                break;
            wide.push_back(c);
            p += n;
            left -= n;
        }
    }
    return WstringToUtf8(wide);
}

std::string ConvertToUtf8(const std::string& text, const std::string& /*codepage*/) {
    return text;
}

std::FILE* fopen_utf8(const char* path, const char* mode) {
    if (!path || !mode)
        return nullptr;
    return std::fopen(path, mode);
}

int64_t getFileSize(const std::string& path) {
    struct stat64 st {};
    if (stat64(path.c_str(), &st) != 0)
        return -1;
    return int64_t(st.st_size);
}

bool FileExists(const std::string& path) {
    return getFileSize(path) != -1;
}

bool copyFile(const std::string& src, const std::string& dst, bool overwrite) {
    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    bool ok = overwrite || !FileExists(dst);
    if (ok) {
        ReplacingWriter out(dst);
        ok = out.IsOpen();
        std::vector<char> piece(kCopyPiece);
        while (ok) {
            const ssize_t n = read(in, piece.data(), piece.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            ok = out.Write(piece.data(), size_t(n));
        }
        ok = ok && out.Commit(overwrite);
    }
    close(in);
    return ok;
}

bool createDirectory(const std::string& path, unsigned int mode) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' && path[i - 1] != '/' && !MakeOneFolder(path.substr(0, i), mode))
            return false;
    }
    return MakeOneFolder(path, mode);
}

bool RemoveFile(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

bool MoveFileOrFolder(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool ReadUtf8TextFile(const std::string& path, std::string& out) {
    std::FILE* file = fopen_utf8(path.c_str(), "rb");
    if (!file)
        return false;
    std::string bytes;
    char piece[8192];
    size_t n = 0;
    while ((n = std::fread(piece, 1, sizeof piece, file)) > 0)
        bytes.append(piece, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return false;

    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        out = bytes.substr(3);
    } else if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        // The text starts right after the two-byte mark; a trailing odd byte is no unit.
        std::u16string units;
        units.reserve((bytes.size() - 2) / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            units.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
        out = QString::fromUtf16(units.data(), int(units.size())).toUtf8().toStdString();
    } else {
        out = bytes;
    }
    return true;
}

bool PutFileContents(const std::string& path, const std::string& data) {
    return PutFileContents(path, data.data(), data.size());
}

bool PutFileContents(const std::string& path, const char* data, size_t size) {
    ReplacingWriter out(path);
    return out.IsOpen() && out.Write(data, size) && out.Commit(true);
}

std::string GetFileMimeType(const std::string& path) {
    QProcess process;
    process.setProgram(QStringLiteral("file"));
    // "--" ends the options: a name that starts with "-" stays a name. With -E a file that cannot
    // be opened makes the command fail instead of printing an error text in place of a type.
    process.setArguments({QStringLiteral("-E"), QStringLiteral("-b"), QStringLiteral("--mime-type"),
                          QStringLiteral("--"), QString::fromUtf8(path.data(), int(path.size()))});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(kMimeTimeoutMs))
        return kOctetStream;
    if (!process.waitForFinished(kMimeTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return kOctetStream;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::string(); // the file could not be opened: its output is an error text
    return IuStringUtils::Trim(process.readAllStandardOutput().toStdString());
}

std::string GetDefaultExtensionForMimeType(const std::string& mime) {
    if (mime == "image/gif")
        return "gif";
    if (mime == "image/png")
        return "png";
    if (mime == "image/jpeg")
        return "jpg";
    return std::string();
}

std::string ExtractFileName(const std::string& path) {
    std::string name = path;
    const size_t query = name.rfind('?');
    if (query != std::string::npos)
        name.erase(query);
    const size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string ExtractFileExt(const std::string& path) {
    const std::string name = ExtractFileName(path);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string ExtractFilePath(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileNameNoExt(const std::string& path) {
    const std::string name = ExtractFileName(path);
    return name.substr(0, name.rfind('.'));
}

std::string StrReplace(const std::string& text, const std::string& find, const std::string& repl) {
    if (find.empty())
        return text;
    std::string result;
    size_t from = 0;
    for (size_t at = text.find(find); at != std::string::npos; at = text.find(find, from)) {
        result.append(text, from, at - from).append(repl);
        from = at + find.size();
    }
    return result.append(text, from, std::string::npos);
}

std::string timeStampToString(int64_t t) {
    const auto seconds = time_t(t);
    struct tm local {};
    if (!localtime_r(&seconds, &local))
        return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

int64_t stringToint64_t(const std::string& text, bool* ok) {
    return zstrtoll(text.c_str(), nullptr, 10, ok);
}

int64_t zstrtoll(const char* s, const char** end, int base, bool* ok) {
    const auto fail = [&](int64_t value) {
        if (ok)
            *ok = false;
        if (end)
            *end = s;
        return value;
    };
    if (!s || base < 0 || base == 1 || base > 36)
        return fail(0);
    const char* p = s;
    while (IsBlank(*p))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) >= 0 &&
        DigitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }

    // The magnitude is checked before each step, so it can neither wrap nor pass the 64-bit range.
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    uint64_t magnitude = 0;
    bool overflow = false;
    const char* digits = p;
    for (int d = DigitValue(*p); d >= 0 && d < base; d = DigitValue(*++p)) {
        if (magnitude > (limit - uint64_t(d)) / uint64_t(base))
            overflow = true;
        else
            magnitude = magnitude * uint64_t(base) + uint64_t(d);
    }
    if (overflow)
        return fail(INT64_MIN);
    if (p == digits)
        return fail(0);
    if (ok)
        *ok = true;
    if (end)
        *end = p;
    if (!negative)
        return int64_t(magnitude);
    return magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
}

std::string fileSizeToString(int64_t n) {
    if (n < 0)
        return "n/a";
    if (n < 1024)
        return toString(double(n), 0) + " bytes";
    if (n < 1048576)
        return toString(double(n) / 1024.0, 0) + " KB";
    if (n <= 1073741823)
        return toString(double(n) / 1048576.0, 1) + " MB";
    return toString(double(n) / 1073741824.0, 1) + " GB";
}

std::string toString(int value) {
    return std::to_string(value);
}

std::string toString(unsigned int value) {
    return std::to_string(value);
}

std::string toString(double value, int decimals) {
    if (decimals < 0)
        decimals = 0;
    const int size = std::snprintf(nullptr, 0, "%.*f", decimals, value);
    if (size < 0)
        return std::string();
    std::string text(size_t(size) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%.*f", decimals, value);
    text.resize(size_t(size));
    return text;
}

std::string int64_tToString(int64_t value) {
    return std::to_string(value);
}

} // namespace IuCoreUtils
