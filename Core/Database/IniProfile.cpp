#include "Database/IniProfile.h"

#include "common/CoreLog.h"
#include "common/TsanAnnotations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <cerrno>
#include <cstring>

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
    if (file.isEmpty())
        return false;
    const TsanIgnoreAccesses qtSettingsCache;
    QSettings settings(file, QSettings::IniFormat);
    const QString name = SettingsKey(section, key);
    const QVariant before = settings.value(name);
    settings.setValue(name, value);
    // contains() only says what the store holds in memory; sync() and status() say whether it
    // also reached the disk.
    settings.sync();
    if (settings.status() == QSettings::NoError && settings.contains(name))
        return true;
    // QSettings keeps unsaved changes in a per-process cache of the file: later reads would see
    // the value and a later successful write would carry it to disk. Put the old value back.
    if (before.isValid())
        settings.setValue(name, before);
    else
        settings.remove(name);
    return false;
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
