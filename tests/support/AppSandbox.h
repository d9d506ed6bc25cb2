#pragma once
// Private surroundings for code that reads and writes the application's files: QStandardPaths in
// test mode under a temporary HOME (so the application data folder is the test's own) and a
// temporary working directory (for "sync.ini" and "test.ini"). Enter() switches to them and
// Leave() (or the destructor) puts back what was there.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class AppSandbox {
public:
    AppSandbox() = default;
    ~AppSandbox() { Leave(); }
    AppSandbox(const AppSandbox&) = delete;
    AppSandbox& operator=(const AppSandbox&) = delete;

    // False when the temporary folders could not be made or entered.
    bool Enter();
    void Leave();

    QTemporaryDir home;
    QTemporaryDir work;

private:
    bool m_entered = false;
    bool m_hadHome = false;
    QByteArray m_oldHome;
    QString m_oldCwd;
};
