#include "support/AppSandbox.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

bool AppSandbox::Enter() {
    if (m_entered)
        return true;
    if (!home.isValid() || !work.isValid())
        return false;
    m_hadHome = qEnvironmentVariableIsSet("HOME");
    m_oldHome = qgetenv("HOME");
    m_oldCwd = QDir::currentPath();
    qputenv("HOME", QFile::encodeName(home.path()));
    QStandardPaths::setTestModeEnabled(true);
    m_entered = true;
    return QDir::setCurrent(work.path());
}

void AppSandbox::Leave() {
    if (!m_entered)
        return;
    QDir::setCurrent(m_oldCwd);
    QStandardPaths::setTestModeEnabled(false);
    if (m_hadHome)
        qputenv("HOME", m_oldHome);
    else
        qunsetenv("HOME");
    m_entered = false;
}
