#include "support/DriverTestSupport.h"

#include "support/CoreDriverProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray ReadFileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFileBytes(const QString& path, const QByteArray& bytes) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(file.errorString());
    ASSERT_EQ(file.write(bytes), bytes.size()) << qPrintable(file.errorString());
}

QJsonObject WaitForResult(CoreDriverProcess& driver, const char* command, int timeoutMs) {
    QJsonObject found;
    driver.WaitForLine(
        [&](const QJsonObject& line) {
            if (line.value(QStringLiteral("cmd")) != QLatin1String(command))
                return false;
            found = line;
            return true;
        },
        timeoutMs);
    return found;
}

void LogInDriver(CoreDriverProcess& driver, const QString& home, const QString& work, const QString& mirror,
                 int uiStatus) {
    constexpr int kLongMs = 120000;
    ASSERT_TRUE(driver.Start(home, work));
    driver.Send(QStringLiteral("Init"));
    driver.Send(QStringLiteral("SetUser u1 \"Q=a; T=b;\" 0 \"\""));
    const QJsonObject user = WaitForResult(driver, "SetUser");
    ASSERT_FALSE(user.isEmpty()) << qPrintable(driver.Output());
    // The first login appends the enterprise by itself; later ones are given it.
    const QString eid = user.value(QStringLiteral("result")).toString();
    driver.Send(QStringLiteral("MapSyncPath ") + (eid.isEmpty() ? mirror : QDir(mirror).filePath(eid)));
    driver.Send(QStringLiteral("Login"));
    if (uiStatus <= 0) {
        ASSERT_FALSE(WaitForResult(driver, "Login").isEmpty()) << qPrintable(driver.Output());
        return;
    }
    driver.Send(QStringLiteral("wait 2205 status=%1 %2").arg(uiStatus).arg(kLongMs));
    ASSERT_EQ(WaitForResult(driver, "wait", kLongMs + 10000).value(QStringLiteral("result")).toString(),
              QStringLiteral("ok"))
        << qPrintable(driver.Output());
}

void DriverTest::SetUp() {
    ASSERT_TRUE(home.isValid() && work.isValid());
    ASSERT_TRUE(standIn.Start()) << standIn.errorText();
    ServeCoreDriver(api, standIn, work.path());
    mirror = QDir(home.path()).filePath(QStringLiteral("mirror"));
}
