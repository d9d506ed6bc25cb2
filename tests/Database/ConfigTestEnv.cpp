#include "ConfigTestEnv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

void ConfigTest::SetUp() {
    ASSERT_TRUE(m_home.isValid()) << m_home.errorString().toStdString();
    ASSERT_TRUE(m_work.isValid()) << m_work.errorString().toStdString();
    ASSERT_TRUE(m_sandbox.Enter());
}

void ConfigTest::TearDown() {
    m_sandbox.Leave();
}

QString ConfigTest::WorkPath(const QString& name) const {
    return m_work.filePath(name);
}

void ConfigTest::WriteFile(const QString& path, const QByteArray& content) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath())) << path.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        << path.toStdString() << ": " << file.errorString().toStdString();
    ASSERT_EQ(file.write(content), content.size()) << file.errorString().toStdString();
}

QString ConfigTest::ExpectedAppData() const {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/');
}

QString ExpectedFolderName(const QString& text) {
    QByteArray bytes = text.toUtf8();
    for (char& c : bytes) {
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    }
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString ModeOf(const QString& path) {
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("stat failed: ") + QString::fromLocal8Bit(strerror(errno));
    return QString::number(st.st_mode & 0777, 8);
}
