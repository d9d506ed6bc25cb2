#include "common/SkipRules.h"

#include "common/PathUtils.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

bool NeedSkipSync(const QString& path, bool no_skip) {
    if (no_skip)
        return false;
    const QString name = GetOnlyFilename(path);
    if (name.startsWith(QLatin1String("~$")) || name.endsWith(QLatin1String(".dw")) ||
        name.endsWith(QLatin1String(".dwl2")))
        return true;
    if (name.startsWith(QLatin1String("~tmp"), Qt::CaseInsensitive))
        return true;
    if (name.compare(QLatin1String("Desktop.ini"), Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String("Thumbs.db"), Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String(".NimboSysLib"), Qt::CaseInsensitive) == 0)
        return true;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0 && name.mid(dot).compare(QLatin1String(".laccdb"), Qt::CaseInsensitive) == 0)
        return true;
    if (name.endsWith(QLatin1String(".tmp"), Qt::CaseInsensitive))
        return true;
    return (name.size() == 7 || name.size() == 8) && IsHexString(name);
}

bool IsIgnoreCacheFile(const QString& text) {
    // Our own cache folder, then those other sync clients leave in a folder, then our system folder.
    static const char* const names[] = {
        ".Nimbocache",        ".dropbox.cache",   ".stversions", ".SynologyWorkingDirectory",
        ".tmp.drivedownload", ".tmp.driveupload", ".Nimbosyslib"};
    for (const char* name : names) {
        if (text.contains(QLatin1String(name)))
            return true;
    }
    return false;
}

bool IsSyncedName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !IsIgnoreCacheFile(name);
}

bool IsSyncedPath(const QString& relative) {
    const QStringList names = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return std::all_of(names.begin(), names.end(), IsSyncedName);
}

bool MaybeOfficeTemp(const QString& path) {
    QString name = GetOnlyFilename(path);
    if (name.endsWith(QLatin1String(".tmp"), Qt::CaseInsensitive))
        name.chop(4);
    if (name.size() != 7 && name.size() != 8)
        return false;
    static const QRegularExpression run(QStringLiteral("[A-Za-z0-9]{7,8}"));
    return run.match(name).hasMatch();
}

bool IsHexString(const QString& text) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        const bool hex = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!hex)
            return false;
    }
    return true;
}
