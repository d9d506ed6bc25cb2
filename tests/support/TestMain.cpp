// The main of the core's test executables: a QCoreApplication lives for the whole run, as the core's
// process-wide objects expect one.
//
// Every test runs in a temporary working folder of its own, and a test after which the source tree
// holds a new entry fails: what a test writes belongs in its temporary folders.
#include <QCoreApplication>
#include <QDir>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

class WorkingFolderGuard : public ::testing::EmptyTestEventListener {
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
            // Reported as a failure of the test that wrote there.
            std::printf("%s.%s wrote into the source tree: %s\n", info.test_suite_name(), info.name(),
                        qPrintable(QStringList(added.values()).join(QStringLiteral(", "))));
            m_failed = true;
        }
    }
    bool Failed() const { return m_failed; }

private:
    QSet<QString> m_before;
    std::unique_ptr<QTemporaryDir> m_folder;
    bool m_failed = false;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    auto* guard = new WorkingFolderGuard; // owned by GoogleTest's listener list
    ::testing::UnitTest::GetInstance()->listeners().Append(guard);
    const int result = RUN_ALL_TESTS();
    return guard->Failed() ? 1 : result;
}
