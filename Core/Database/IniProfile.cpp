#include "Database/IniProfile.h"

#include "common/CoreLog.h"
#include "common/IuCoreUtils.h"
#include "common/TsanAnnotations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QVariant>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SettingsKey(const QString& section, const QString& key) {
    return section + QLatin1Char('/') + key;
}

// QSettings shares one cache of parsed files between the threads of the process, behind Qt's own
// locks; every use of a QSettings below holds a TsanIgnoreAccesses so that ThreadSanitizer does
// not take that sharing for races.

std::mutex g_writeLock;

// A name beside `file` that no other write of this process has used.
QString NameBeside(const QString& file) {
    static std::atomic<unsigned> counter{0};
    return file + QStringLiteral(".%1-%2.ini.tmp").arg(getpid()).arg(counter++);
}

// QSettings reads an unquoted value that contains commas as a list; the caller asked for text.
QString ValueText(const QVariant& value) {
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

} // namespace

QString GetPrivateProfileString(QString section, QString key, QString def, QString file) {
    if (file.isEmpty())
        return def;
    const TsanIgnoreAccesses qtSettingsCache;
    const QSettings settings(file, QSettings::IniFormat);
    return ValueText(settings.value(SettingsKey(section, key), def));
}

int GetPrivateProfileInt(QString section, QString key, int def, QString file) {
    const QString text = GetPrivateProfileString(section, key, QString::number(def), file);
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

bool WritePrivateProfileString(QString section, QString key, QString value, QString file) {
    if (file.isEmpty() || !QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    const QString name = SettingsKey(section, key);
    // Each write rewrites the whole file: two at once would lose one's key.
    const std::lock_guard<std::mutex> lock(g_writeLock);
    const TsanIgnoreAccesses qtSettingsCache;
    // QSettings writes the new file as a copy beside it, but its own write reports success on a
    // full disk and leaves an empty file: the copy is read back and only a copy holding every key
    // replaces the file, through the checked writer.
    QMap<QString, QVariant> wanted;
    const QString copy = NameBeside(file);
    bool ok = false;
    {
        const QSettings current(file, QSettings::IniFormat);
        QSettings next(copy, QSettings::IniFormat);
        for (const QString& k : current.allKeys())
            wanted.insert(k, current.value(k));
        wanted.insert(name, value);
        for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
            next.setValue(it.key(), it.value());
        next.sync();
        ok = current.status() == QSettings::NoError && next.status() == QSettings::NoError;
    }
    // Read back under a name QSettings has not seen: its cache of the copy would answer from memory.
    const QString check = NameBeside(file);
    ok = ok && QFile::rename(copy, check);
    QByteArray bytes;
    if (ok) {
        const QSettings back(check, QSettings::IniFormat);
        ok = back.status() == QSettings::NoError && back.allKeys().size() == wanted.size();
        for (auto it = wanted.cbegin(); ok && it != wanted.cend(); ++it)
            ok = back.value(it.key()) == it.value();
        QFile read(check);
        ok = ok && read.open(QIODevice::ReadOnly);
        bytes = read.readAll();
        ok = ok && read.error() == QFileDevice::NoError;
    }
    QFile::remove(copy);
    QFile::remove(check);
    ok = ok && IuCoreUtils::PutFileContents(QFile::encodeName(file).toStdString(), bytes.constData(),
                                            size_t(bytes.size()));
    if (!ok)
        CoreDebug("[config] %s not written to %s: %s", qUtf8Printable(name), qUtf8Printable(file), strerror(errno));
    return ok;
}

bool WritePrivateProfileInt(QString section, QString key, int value, QString file) {
    return WritePrivateProfileString(section, key, QString::number(value), file);
}

void MyIniReadSection(QString section, QStringList& list, QString file) {
    list.clear();
    if (file.isEmpty())
        return;
    const TsanIgnoreAccesses qtSettingsCache;
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(section);
    const QStringList keys = settings.childKeys();
    for (const QString& key : keys) {
        const QString value = ValueText(settings.value(key));
        if (key.isEmpty() || value.isEmpty())
            continue;
        list.append(key.trimmed() + QLatin1Char('=') + value.trimmed());
    }
    settings.endGroup();
}

bool PreparePrivateFile(const QString& file) {
    const QString folder = QFileInfo(file).absolutePath();
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (!QDir().mkpath(folder) || !QFile::setPermissions(folder, ownerOnly)) {
        CoreDebug("[config] cannot make %s private", qUtf8Printable(folder));
        return false;
    }
    const QByteArray native = QFile::encodeName(file);
    const int fd = ::open(native.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        CoreDebug("[config] cannot create %s: %s", native.constData(), strerror(errno));
        return false;
    }
    const bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ::close(fd);
    return ok;
}

bool WritePrivateIni(const QString& section, const QString& key, const QString& value, const QString& file) {
    return !file.isEmpty() && PreparePrivateFile(file) && WritePrivateProfileString(section, key, value, file);
}
