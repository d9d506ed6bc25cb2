#pragma once
// The one narrow layer through which the core reads and writes its small INI files (the tuning
// file, the machine's, the login's and the user's "config.ini", the owner mark, the test log).
// Each call opens the file in QSettings' INI format, does one thing and closes it again: nothing
// is cached between calls, so a write is seen by any later read in any thread. A value is
// addressed as section + "/" + key; integers are stored as base-10 text. Stateless, any thread.

#include <QString>
#include <QStringList>

// The API host configured in the tuning file.
struct INI_HOST {
    QString host;  // the host name as configured
    QString host2; // kept for the file's layout; nothing fills or reads it
};

// The stored text of section/key; `def` when the file, the section or the key is absent or the
// path is empty. A value written as a comma list comes back joined with ",".
QString GetPrivateProfileString(QString section, QString key, QString def, QString file);
// The stored text as a base-10 32-bit integer; `def` when absent; 0 when present but not a valid
// integer (an empty value included).
int GetPrivateProfileInt(QString section, QString key, int def, QString file);
// Stores `value` under section/key, creating the file and its missing parent folders. QSettings
// writes a copy of the file with the change, which is read back, and only a copy holding every key
// replaces the file, through IuCoreUtils::PutFileContents. True only when the new file is on disk;
// otherwise the old file stays whole (errno may say why). False also for an empty path. Writes of
// the process go one at a time.
bool WritePrivateProfileString(QString section, QString key, QString value, QString file);
// As WritePrivateProfileString with the base-10 text of `value`.
bool WritePrivateProfileInt(QString section, QString key, int value, QString file);
// Replaces `list` with "key=value" for each key of the section, both trimmed, in the store's key
// order; keys whose name or value is empty are left out. Empty for a missing file or section.
void MyIniReadSection(QString section, QStringList& list, QString file);

// Makes sure `file` exists with mode 0600 inside a folder of mode 0700 (made with its parents when
// missing) before a credential text may be written into it. A write replaces the file by one of
// the same mode, so the mode stays.
bool PreparePrivateFile(const QString& file);
// WritePrivateProfileString into a file that PreparePrivateFile made private first; false when
// either step failed or the path is empty.
bool WritePrivateIni(const QString& section, const QString& key, const QString& value, const QString& file);
