#pragma once
// The surroundings of every configuration test: QStandardPaths in test mode under a temporary
// HOME (so the application data folder is the test's own), and a temporary working directory for
// "sync.ini" and "test.ini". Everything is restored when the test ends.

#include "support/AppSandbox.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Path of a file in the temporary working directory.
    QString WorkPath(const QString& name) const;
    // Writes `content` to `path`, creating its folder; fails the test when that is impossible.
    void WriteFile(const QString& path, const QByteArray& content);
    // The application data folder the configuration is expected to use, ending in "/".
    QString ExpectedAppData() const;

    AppSandbox m_sandbox;
    QTemporaryDir& m_home = m_sandbox.home;
    QTemporaryDir& m_work = m_sandbox.work;
};

// Lower-case hex MD5 of "USER_<qid> EID_<eid>" (or "USER_<qid>"), ASCII letters lowered first,
// computed independently of the code under test.
QString ExpectedFolderName(const QString& text);
// Permission bits of a path as octal text ("600"), or the OS error.
QString ModeOf(const QString& path);
