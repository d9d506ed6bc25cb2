// Conflict copies and the trash: the local version is kept under another name, never over one.
#include "support/EngineTestSupport.h"

#include "common/CommonDef.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

class ConflictTest : public EngineTest {
protected:
    QString Write(const QString& name, const QByteArray& bytes) {
        const QString path = root + QLatin1Char('/') + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    QStringList Listing() const { return QDir(root).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name); }
};

TEST_F(ConflictTest, TheCopyIsNamedForTheUserAndKeepsItsMode) {
    MakeReady("{\"name\":\"u1\"}");
    const QString path = Write(QStringLiteral("d.txt"), "local bytes");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    ASSERT_TRUE(g_LocalStoreMgr.MakeConflict(path));
    const QStringList files = Listing();
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files[0].startsWith(QStringLiteral("d(冲突-u1-"))) << files[0].toStdString();
    EXPECT_TRUE(files[0].endsWith(QStringLiteral(".txt")));
    const QString copy = root + QLatin1Char('/') + files[0];
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(copy).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    QFile file(copy);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("local bytes"));
}

// A cloud name longer than the disk allows can never be placed: the failure says so, not "in use",
// and its temporary file goes instead of waiting for a try that cannot succeed.
TEST_F(ConflictTest, ANameTooLongForTheDiskIsNamedSoAndItsTemporaryFileGoes) {
    MakeReady("{\"name\":\"u1\"}");
    ASSERT_TRUE(QDir().mkpath(g_LocalStoreMgr.GetDropPath()));
    const QString temp = Write(QStringLiteral(".Nimbocache/files/1_x.tmp"), "bytes");
    const QString name(300, QLatin1Char('n'));
    FILE_INFO cloud;
    cloud.path = QLatin1Char('/') + name;
    cloud.size = 5;
    EXPECT_EQ(g_LocalStoreMgr.InstallDownload(temp, g_LocalStoreMgr.GetRootPath() + QLatin1Char('/') + name, cloud),
              SYNC_ERROR::NameTooLong);
    EXPECT_FALSE(QFile::exists(temp));
}

TEST_F(ConflictTest, NothingToKeepIsASuccess) {
    MakeReady();
    EXPECT_TRUE(g_LocalStoreMgr.MakeConflict(root + QStringLiteral("/none.txt")));
    EXPECT_TRUE(Listing().isEmpty());
}

TEST_F(ConflictTest, TheTrashNeverReplacesWhatItHolds) {
    MakeReady();
    const QString trash = g_LocalStoreMgr.TrashFolder();
    EXPECT_TRUE(trash.startsWith(g_LocalStoreMgr.GetPrivateRoot() + QStringLiteral("/trash/")));
    ASSERT_TRUE(g_LocalStoreMgr.MoveToTrash(Write(QStringLiteral("a.txt"), "first"), QStringLiteral("/x/a.txt"), trash));
    const QString second = Write(QStringLiteral("a.txt"), "second");
    EXPECT_FALSE(g_LocalStoreMgr.MoveToTrash(second, QStringLiteral("/x/a.txt"), trash));
    EXPECT_TRUE(QFileInfo::exists(second));
    QFile held(trash + QStringLiteral("/x/a.txt"));
    ASSERT_TRUE(held.open(QIODevice::ReadOnly));
    EXPECT_EQ(held.readAll(), QByteArray("first"));
}

} // namespace
