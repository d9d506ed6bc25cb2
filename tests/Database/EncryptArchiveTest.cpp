// The archive container: layout, checks of the loader, and saves that replace a file whole even
// when the writer fails or is killed.
#include "Database/EncryptArchive.h"

#include "support/Unprivileged.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<char, FreeDeleter>;

Block Load(const QString& path) {
    return Block(static_cast<char*>(EncryptArchiveLoad(path)));
}

ARCHIVE_HEADER HeaderOf(const char* bytes) {
    ARCHIVE_HEADER header;
    std::memcpy(&header, bytes, sizeof header);
    return header;
}

QByteArray PayloadOf(const Block& block) {
    return QByteArray(block.get() + ARCHIVE_HEADER_SIZE, int(HeaderOf(block.get()).length));
}

// Reproducible pseudo-random bytes.
QByteArray RandomBytes(int size, quint64 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << file.errorString().toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size()) << file.errorString().toStdString();
}

bool Save(const QString& path, const QByteArray& payload, long long value1 = 0, long long value2 = 0) {
    return EncryptArchiveSave(path, payload.constData(), payload.size(), value1, value2);
}

class EncryptArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()) << m_dir.errorString().toStdString(); }
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QStringList FolderEntries() const {
        return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    QTemporaryDir m_dir;
};

TEST_F(EncryptArchiveTest, OneMebibyteRoundTripsWithItsHeader) {
    const QString path = Path(QStringLiteral("big.dat"));
    const QByteArray payload = RandomBytes(1 << 20, 1);
    ASSERT_TRUE(Save(path, payload, -5, 1LL << 40));

    const QByteArray file = ReadFile(path);
    ASSERT_EQ(file.size(), ARCHIVE_HEADER_SIZE + payload.size());
    EXPECT_EQ(file.left(4), QByteArray("AR02"));
    const ARCHIVE_HEADER stored = HeaderOf(file.constData());
    EXPECT_EQ(quint32(stored.crc),
              ::crc32(0, reinterpret_cast<const Bytef*>(payload.constData()), uInt(payload.size())));
    EXPECT_EQ(quint32(stored.length), quint32(payload.size()));
    EXPECT_NE(file.mid(ARCHIVE_HEADER_SIZE), payload) << "the payload is stored scrambled";

    const Block block = Load(path);
    ASSERT_TRUE(block);
    const ARCHIVE_HEADER loaded = HeaderOf(block.get());
    EXPECT_EQ(std::memcmp(&loaded, file.constData(), sizeof loaded), 0) << "the header comes back as stored";
    EXPECT_EQ(qint64(loaded.value1), -5); // fields of a packed record: read by value
    EXPECT_EQ(qint64(loaded.value2), 1LL << 40);
    EXPECT_EQ(PayloadOf(block), payload);
    EXPECT_EQ(QByteArray(block.get() + ARCHIVE_HEADER_SIZE + payload.size(), 4), QByteArray(4, '\0'));
}

TEST_F(EncryptArchiveTest, EverySingleByteChangeOfThePayloadFailsTheLoad) {
    const QString path = Path(QStringLiteral("flip.dat"));
    const QByteArray payload = RandomBytes(4096, 2);
    ASSERT_TRUE(Save(path, payload));
    const QByteArray good = ReadFile(path);
    for (int i = ARCHIVE_HEADER_SIZE; i < good.size(); ++i) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ char((i * 7) % 255 + 1)); // a different non-zero change at each place
        WriteFile(path, bad);
        ASSERT_FALSE(Load(path)) << "change at payload byte " << i - ARCHIVE_HEADER_SIZE << " went unnoticed";
    }
    WriteFile(path, good);
    EXPECT_TRUE(Load(path)) << "the untouched file still loads";
}

TEST_F(EncryptArchiveTest, ByteChangesAcrossALargePayloadFailTheLoad) {
    const QString path = Path(QStringLiteral("flip-big.dat"));
    ASSERT_TRUE(Save(path, RandomBytes(1 << 20, 3)));
    const QByteArray good = ReadFile(path);
    std::mt19937 rng(3);
    for (int round = 0; round < 48; ++round) {
        const int i = round == 0 ? ARCHIVE_HEADER_SIZE
                      : round == 1
                          ? good.size() - 1
                          : ARCHIVE_HEADER_SIZE + int(rng() % unsigned(good.size() - ARCHIVE_HEADER_SIZE));
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ char(rng() % 255 + 1));
        WriteFile(path, bad);
        ASSERT_FALSE(Load(path)) << "change at file byte " << i;
    }
}

// A file that differs from a good one in one way, and must not load.
struct BrokenFile {
    const char* label;
    QByteArray (*make)(const QByteArray& good);
};

void PrintTo(const BrokenFile& row, std::ostream* os) {
    *os << row.label;
}

QByteArray WithLength(QByteArray file, quint32 length) {
    return file.replace(int(offsetof(ARCHIVE_HEADER, length)), int(sizeof length),
                        QByteArray(reinterpret_cast<const char*>(&length), int(sizeof length)));
}

const BrokenFile kBrokenFiles[] = {
    {"Truncated_to_31_bytes", [](const QByteArray& good) { return good.left(31); }},
    {"One_byte_longer", [](const QByteArray& good) { return good + QByteArray(1, '\0'); }},
    {"One_byte_shorter", [](const QByteArray& good) { return good.left(good.size() - 1); }},
    {"Header_only", [](const QByteArray& good) { return WithLength(good.left(ARCHIVE_HEADER_SIZE), 0); }},
    {"Empty", [](const QByteArray&) { return QByteArray(); }},
    {"Other_magic", [](const QByteArray& good) { return QByteArray("AR01") + good.mid(4); }},
    {"Length_one_more", [](const QByteArray& good) { return WithLength(good, quint32(good.size() - 27)); }},
    {"Length_one_less", [](const QByteArray& good) { return WithLength(good, quint32(good.size() - 29)); }},
    {"Length_huge", [](const QByteArray& good) { return WithLength(good, 0xFFFFFFFFu); }},
    {"Three_byte_payload",
     [](const QByteArray& good) { return WithLength(good.left(ARCHIVE_HEADER_SIZE + 3), 3); }},
    {"Crc_changed",
     [](const QByteArray& good) {
         QByteArray bad = good;
         bad[4] = char(bad[4] ^ 1);
         return bad;
     }},
};

class BrokenArchiveTest : public EncryptArchiveTest, public ::testing::WithParamInterface<BrokenFile> {};

TEST_P(BrokenArchiveTest, FailsToLoad) {
    const QString path = Path(QStringLiteral("a.dat"));
    ASSERT_TRUE(Save(path, RandomBytes(100, 4)));
    const QByteArray bad = GetParam().make(ReadFile(path));
    WriteFile(path, bad);
    EXPECT_FALSE(Load(path));
    EXPECT_EQ(ReadFile(path), bad) << "a load leaves a bad file as it is";
}

INSTANTIATE_TEST_SUITE_P(Rows, BrokenArchiveTest, ::testing::ValuesIn(kBrokenFiles),
                         [](const ::testing::TestParamInfo<BrokenFile>& info) { return info.param.label; });

TEST_F(EncryptArchiveTest, LoadOfAMissingFileCreatesNothing) {
    const QString path = Path(QStringLiteral("missing.dat"));
    EXPECT_FALSE(Load(path));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(Load(Path(QStringLiteral("no/such/folder.dat"))));
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("no"))));
}

TEST_F(EncryptArchiveTest, LoadOfAFolderFails) {
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("folder.dat")));
    EXPECT_FALSE(Load(Path(QStringLiteral("folder.dat"))));
}

TEST_F(EncryptArchiveTest, FileAboveTheBoundIsRefusedWithoutReadingIt) {
    // A sparse file whose header states exactly its size: only the bound can refuse it.
    const QString path = Path(QStringLiteral("huge.dat"));
    ASSERT_TRUE(Save(path, RandomBytes(64, 5)));
    const quint32 length = quint32(ARCHIVE_MAX_PAYLOAD + 1);
    WriteFile(path, WithLength(ReadFile(path).left(ARCHIVE_HEADER_SIZE), length));
    ASSERT_TRUE(QFile::resize(path, ARCHIVE_HEADER_SIZE + qint64(length)));
    EXPECT_FALSE(Load(path));
}

TEST_F(EncryptArchiveTest, SaveWithoutDataDeletesTheFile) {
    const QString path = Path(QStringLiteral("gone.dat"));
    const QByteArray payload = RandomBytes(64, 6);
    ASSERT_TRUE(Save(path, payload));
    EXPECT_FALSE(EncryptArchiveSave(path, nullptr, 64, 0, 0));
    EXPECT_FALSE(QFileInfo::exists(path));

    ASSERT_TRUE(Save(path, payload));
    EXPECT_FALSE(EncryptArchiveSave(path, payload.constData(), 0, 0, 0));
    EXPECT_FALSE(QFileInfo::exists(path));

    ASSERT_TRUE(Save(path, payload));
    EXPECT_FALSE(EncryptArchiveSave(path, payload.constData(), -1, 0, 0));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(EncryptArchiveTest, PayloadsTheLoadWouldRefuseAreNotSaved) {
    const QString path = Path(QStringLiteral("keep.dat"));
    const QByteArray old = RandomBytes(64, 7);
    ASSERT_TRUE(Save(path, old));
    for (int length = 1; length < ARCHIVE_MIN_PAYLOAD; ++length)
        EXPECT_FALSE(EncryptArchiveSave(path, old.constData(), length, 0, 0)) << length;
    // Refused on its length alone: the data behind the pointer is never read.
    EXPECT_FALSE(EncryptArchiveSave(path, old.constData(), int(ARCHIVE_MAX_PAYLOAD + 1), 0, 0));
    const Block block = Load(path);
    ASSERT_TRUE(block);
    EXPECT_EQ(PayloadOf(block), old);

    const QByteArray smallest = RandomBytes(ARCHIVE_MIN_PAYLOAD, 8);
    ASSERT_TRUE(Save(path, smallest));
    EXPECT_EQ(QFileInfo(path).size(), 32);
    const Block loaded = Load(path);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(PayloadOf(loaded), smallest);
}

TEST_F(EncryptArchiveTest, SaveCreatesMissingFolders) {
    const QString path = Path(QStringLiteral("a/b/c.dat"));
    ASSERT_TRUE(Save(path, RandomBytes(64, 9)));
    EXPECT_TRUE(Load(path));
}

TEST_F(EncryptArchiveTest, SaveIntoAReadOnlyFolderKeepsTheOldFile) {
    RUN_UNPRIVILEGED_IF_ROOT();
    const QString path = Path(QStringLiteral("ro/a.dat"));
    const QByteArray old = RandomBytes(64, 10);
    ASSERT_TRUE(Save(path, old));
    const QString folder = Path(QStringLiteral("ro"));
    ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const bool saved = Save(path, RandomBytes(64, 11));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(saved);
    const Block block = Load(path);
    ASSERT_TRUE(block);
    EXPECT_EQ(PayloadOf(block), old);
}

// Runs `body` in a forked child and returns its exit status (or -1 when it did not exit).
template <typename Body>
int RunInChild(Body body) {
    const pid_t child = fork();
    if (child == 0)
        _exit(body());
    if (child < 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(EncryptArchiveTest, SaveOnAFullDiskKeepsTheOldFileAndLeavesNothingElse) {
    const QString path = Path(QStringLiteral("full.dat"));
    const QByteArray old = RandomBytes(1000, 12);
    ASSERT_TRUE(Save(path, old));
    // A file size limit makes the write fail the way a full disk does.
    const int status = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
        return Save(path, RandomBytes(1 << 20, 13)) ? 1 : 0;
    });
    ASSERT_EQ(status, 0) << "the save in the child should have failed (3: no limit, 1: it succeeded)";
    const Block block = Load(path);
    ASSERT_TRUE(block);
    EXPECT_EQ(PayloadOf(block), old);
    EXPECT_EQ(FolderEntries(), QStringList{QStringLiteral("full.dat")}) << "no half-written file is left";
}

// The payload of save number `seq` in the crash test: its number, then bytes derived from it.
QByteArray CrashPayload(quint64 seq) {
    QByteArray payload = RandomBytes(256 * 1024 + int(seq % 4096), seq);
    std::memcpy(payload.data(), &seq, sizeof seq);
    return payload;
}

TEST_F(EncryptArchiveTest, KilledSaveLeavesTheOldOrTheNewContent) {
    const QString path = Path(QStringLiteral("crash.dat"));
    quint64 last = 0;
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(Save(path, CrashPayload(last)));
    // Kills land anywhere within about three saves, however fast this disk is.
    const qint64 window = std::max<qint64>(3 * timer.nsecsElapsed() / 1000, 1000);
    std::mt19937 rng(std::random_device{}());
    constexpr int kRounds = 40;
    int advanced = 0;
    for (int round = 0; round < kRounds; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0) << std::strerror(errno);
        const quint64 first = last + 1;
        const pid_t child = fork();
        ASSERT_GE(child, 0) << std::strerror(errno);
        if (child == 0) {
            close(ready[0]);
            // Saves one content after the other until killed; tells the parent once it is busy.
            for (quint64 seq = first;; ++seq) {
                if (seq == first + 1 && write(ready[1], "x", 1) != 1)
                    _exit(2);
                if (!Save(path, CrashPayload(seq)))
                    _exit(3);
            }
        }
        close(ready[1]);
        char byte = 0;
        const bool busy = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        // The random point of the kill: somewhere within the next few saves.
        usleep(useconds_t(rng() % quint64(window)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(busy && WIFSIGNALED(status)) << "the saving child ended by itself, status " << status;

        const Block block = Load(path);
        ASSERT_TRUE(block) << "round " << round << ": the file does not load after the kill";
        const QByteArray payload = PayloadOf(block);
        quint64 seq = 0;
        ASSERT_GE(payload.size(), int(sizeof seq));
        std::memcpy(&seq, payload.constData(), sizeof seq);
        ASSERT_GE(seq, first) << "round " << round << ": a finished save was lost";
        ASSERT_EQ(payload, CrashPayload(seq)) << "round " << round << ": content mixed from two saves";
        advanced += seq > first ? 1 : 0;
        last = seq;
    }
    EXPECT_GT(advanced, 0) << "no kill landed after the first save of its round";
}

} // namespace
