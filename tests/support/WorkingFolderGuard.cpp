#include "support/WorkingFolderGuard.h"

#include <QDir>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

// The top-level entries of the source tree, without what builds and editors put there.
QSet<QString> SourceEntries() {
    QSet<QString> names;
    const QStringList entries =
        QDir(QStringLiteral(NIMBO_SOURCE_DIR)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        if (!name.startsWith(QLatin1String("build")) && name != QLatin1String(".cache") &&
            name != QLatin1String("compile_commands.json"))
            names.insert(name);
    }
    return names;
}

class Guard : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override {
        m_before = SourceEntries();
        m_folder = std::make_unique<QTemporaryDir>();
        if (!m_folder->isValid() || !QDir::setCurrent(m_folder->path()))
            ADD_FAILURE() << "no temporary working folder";
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        QDir::setCurrent(QDir::tempPath());
        m_folder.reset();
        const QSet<QString> added = SourceEntries() - m_before;
        if (!added.isEmpty()) {
            // The test's result is sealed by now: the run's exit code carries the failure.
            std::printf("%s.%s wrote into the source tree: %s\n", info.test_suite_name(), info.name(),
                        qPrintable(QStringList(added.values()).join(QStringLiteral(", "))));
            s_failed = true;
        }
    }
    static bool s_failed;

private:
    QSet<QString> m_before;
    std::unique_ptr<QTemporaryDir> m_folder;
};

bool Guard::s_failed = false;

} // namespace

void InstallWorkingFolderGuard() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Guard); // owned by GoogleTest
}

int WorkingFolderExitCode(int result) {
    return Guard::s_failed ? 1 : result;
}
