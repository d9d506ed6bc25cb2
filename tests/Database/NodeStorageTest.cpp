// The node snapshot: records round-trip with every stored field and any text, large trees split
// into parts, and every kind of broken or mixed snapshot fails to load and is cleaned up.
#include "Database/NodeStorage.h"

#include "Database/EncryptArchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sys/stat.h>

namespace {

using NodeMap = std::map<QString, FILE_INFO>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<char, FreeDeleter>;

Block LoadArchive(const QString& path) {
    return Block(static_cast<char*>(EncryptArchiveLoad(path)));
}

ARCHIVE_HEADER ArchiveHeaderOf(const Block& block) {
    ARCHIVE_HEADER header;
    std::memcpy(&header, block.get(), sizeof header);
    return header;
}

// The stored fields of a record as one text, for comparisons with readable failures.
std::string Stored(const FILE_INFO& f) {
    return QStringLiteral("nid=%1 pid=%2 name=%3 dir=%4 size=%5 status=%6 ctime=%7 mtime=%8 attrs=%9 ")
               .arg(f.nid, f.pid, f.name)
               .arg(f.is_dir)
               .arg(f.size)
               .arg(f.status)
               .arg(f.ctime)
               .arg(f.mtime)
               .arg(f.attrs)
               .toStdString() +
           QStringLiteral(
               "hash=%1 version=%2 nv=%3 share=%4 share_name=%5 share_qid=%6 sync=%7 qid=%8 spare=%9 ")
               .arg(f.file_hash)
               .arg(f.version)
               .arg(f.nv)
               .arg(f.is_share)
               .arg(f.share_name, f.share_qid)
               .arg(f.is_sync)
               .arg(f.qid)
               .arg(f.spare_flag)
               .toStdString() +
           QStringLiteral("link=%1").arg(f.is_link).toStdString();
}

FILE_INFO MakeRecord(int i) {
    FILE_INFO f;
    f.nid = QString::number(100000 + i);
    f.pid = QString::number(100000 + i / 10);
    f.name = QStringLiteral("file %1.txt").arg(i);
    f.is_dir = i % 5 == 0;
    f.size = quint64(i) * 977;
    f.status = quint32(i % 3);
    f.ctime = 1600000000u + quint32(i);
    f.mtime = 1600000500u + quint32(i);
    f.attrs = f.is_dir ? 16 : 128;
    f.file_hash = QStringLiteral("%1").arg(quint64(i) * 2654435761u, 40, 16, QLatin1Char('0'));
    f.version = quint32(i % 7 + 1);
    f.nv = quint64(i) + 5;
    f.is_share = i % 11 == 0;
    f.share_name = f.is_share ? QStringLiteral("share %1").arg(i) : QString();
    f.share_qid = f.is_share ? QStringLiteral("77") : QString();
    f.is_sync = i % 2 == 0;
    f.qid = QStringLiteral("4242");
    f.spare_flag = i % 13 == 0;
    f.is_link = i % 17 == 0;
    return f;
}

NodeMap MakeTree(int count, int firstIndex = 0) {
    NodeMap nodes;
    for (int i = firstIndex; i < firstIndex + count; ++i) {
        FILE_INFO f = MakeRecord(i);
        nodes[f.nid] = f;
    }
    return nodes;
}

void ExpectSameRecords(const NodeMap& expected, const NodeMap& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (const auto& entry : expected) {
        const auto it = actual.find(entry.first);
        ASSERT_NE(it, actual.end()) << "missing " << entry.first.toStdString();
        ASSERT_EQ(Stored(entry.second), Stored(it->second));
    }
}

// The records of one part file, read on their own.
NodeMap ReadPart(const QString& partPath) {
    NodeMap nodes;
    const Block block = LoadArchive(partPath);
    if (!block)
        return nodes;
    const ARCHIVE_HEADER header = ArchiveHeaderOf(block);
    NodeStorage::ParsePart(reinterpret_cast<const wchar_t*>(block.get() + ARCHIVE_HEADER_SIZE),
                           header.length / sizeof(wchar_t), nodes);
    return nodes;
}

class NodeStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid()) << m_dir.errorString().toStdString();
        m_path = m_dir.filePath(QStringLiteral("nodes_page.dat"));
    }
    QString Part(quint32 n) const { return NodeStorage::PartPath(m_path, n); }
    bool Exists(const QString& path) const { return QFileInfo::exists(path); }
    quint32 PartFilesOnDisk() const {
        quint32 n = 0;
        while (Exists(Part(n + 1)))
            ++n;
        return n;
    }
    // Writes a snapshot by hand: a header and parts holding the given text.
    void WriteSnapshot(quint64 tick, quint64 version, const std::vector<std::wstring>& parts) {
        NodeStorage::STORAGE_HEADER header;
        header.storage_version = NodeStorage::STORAGE_VERSION;
        header.save_tick = tick;
        header.part_count = quint32(parts.size());
        header.node_version = version;
        ASSERT_TRUE(EncryptArchiveSave(m_path, &header, int(sizeof header), 0, 0));
        for (size_t i = 0; i < parts.size(); ++i) {
            ASSERT_TRUE(EncryptArchiveSave(Part(quint32(i + 1)), parts[i].data(),
                                           int(parts[i].size() * sizeof(wchar_t)), qint64(tick),
                                           qint64(version)));
        }
    }
    // A tree of exactly `parts` parts, with long names to keep it small: about half a part more
    // than `parts` - 1 full ones.
    static NodeMap MultiPartTree(int parts) {
        const QString padding(2000, QLatin1Char('n'));
        auto record = [&](int i) {
            FILE_INFO f = MakeRecord(i);
            f.name = padding + f.name;
            return f;
        };
        std::wstring line;
        NodeStorage::FileInfo2Stream(record(0), line);
        const size_t count = (2 * size_t(parts) - 1) * NodeStorage::PART_THRESHOLD / (2 * line.size());
        NodeMap nodes;
        for (size_t i = 0; i < count; ++i) {
            const FILE_INFO f = record(int(i));
            nodes[f.nid] = f;
        }
        return nodes;
    }

    QTemporaryDir m_dir;
    QString m_path;
};

TEST_F(NodeStorageTest, ThreeRecordsRoundTrip) {
    NodeMap nodes = MakeTree(3);
    nodes.begin()->second.path = QStringLiteral("/not/stored");
    nodes.begin()->second.local_path = QStringLiteral("/not/stored/either");
    nodes.begin()->second.percent = 50;
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("12345"), m_path, nodes, false));

    NodeStorage::STORAGE_HEADER header;
    ASSERT_TRUE(NodeStorage::LoadHeader(m_path, header));
    EXPECT_EQ(quint32(header.storage_version), 1u); // packed fields: read by value
    EXPECT_EQ(quint32(header.part_count), 1u);
    EXPECT_EQ(quint64(header.node_version), 12345u);
    EXPECT_EQ(PartFilesOnDisk(), 1u);
    const Block part = LoadArchive(Part(1));
    ASSERT_TRUE(part);
    EXPECT_EQ(quint64(ArchiveHeaderOf(part).value1), quint64(header.save_tick));
    EXPECT_EQ(qint64(ArchiveHeaderOf(part).value2), 12345);
    const std::wstring text(reinterpret_cast<const wchar_t*>(part.get() + ARCHIVE_HEADER_SIZE),
                            ArchiveHeaderOf(part).length / sizeof(wchar_t));
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 3);
    EXPECT_EQ(text.back(), L'\n');

    QString version;
    NodeMap loaded;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_EQ(version, QStringLiteral("12345"));
    ExpectSameRecords(nodes, loaded);
    const FILE_INFO& first = loaded.begin()->second;
    EXPECT_TRUE(first.path.isEmpty());
    EXPECT_TRUE(first.local_path.isEmpty());
    EXPECT_EQ(first.percent, 0u);
}

TEST_F(NodeStorageTest, PercentSignsInThePathAreNoPlaceholders) {
    const QString path = m_dir.filePath(QStringLiteral("50%2 %1/nodes_page.dat"));
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("3"), path, MakeTree(3), false));
    EXPECT_TRUE(Exists(path + QStringLiteral(".1")));
    QString version;
    NodeMap loaded;
    EXPECT_TRUE(NodeStorage::Load(version, path, loaded));
    EXPECT_EQ(loaded.size(), 3u);
}

TEST_F(NodeStorageTest, NumbersAndFlagsSurviveAtTheirLimits) {
    FILE_INFO f;
    f.nid = QStringLiteral("1");
    f.size = 5ull << 30; // above 4 GiB
    f.status = 0xFFFFFFFFu;
    f.ctime = 0xFFFFFFFEu;
    f.mtime = 1;
    f.attrs = 0x80000001u;
    f.version = 0xFFFFFFFFu;
    f.nv = ~0ull;
    f.is_dir = f.is_share = f.is_sync = f.spare_flag = f.is_link = true;
    FILE_INFO g;
    g.nid = QStringLiteral("2"); // every field at its default, texts empty
    const NodeMap nodes{{f.nid, f}, {g.nid, g}};
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("18446744073709551615"), m_path, nodes, false));
    QString version;
    NodeMap loaded;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_EQ(version, QStringLiteral("18446744073709551615"));
    ExpectSameRecords(nodes, loaded);
}

struct TextRow {
    const char* label;
    const char16_t* text;
};

void PrintTo(const TextRow& row, std::ostream* os) {
    *os << row.label;
}

const TextRow kTexts[] = {
    {"Pipe", u"a|b"},
    {"LineFeed", u"a\nb"},
    {"Backslash", u"a\\b"},
    {"EscapeLookalikes", u"\\p\\n\\\\"},
    {"TrailingBackslash", u"name\\"},
    {"OnlySeparators", u"|\n|\n"},
    {"CarriageReturnAndTab", u"a\r\nb\tc"},
    {"Chinese", u"新建文件夹|副本\n二"},
    {"OutsideBasicPlane", u"\U0001F600|\U00020000"},
    {"Empty", u""},
};

class NodeStorageTextTest : public NodeStorageTest, public ::testing::WithParamInterface<TextRow> {};

TEST_P(NodeStorageTextTest, EveryTextFieldRoundTrips) {
    const QString text = QString::fromUtf16(GetParam().text);
    FILE_INFO f = MakeRecord(1);
    f.nid = QStringLiteral("7") + text;
    f.pid = text;
    f.name = text;
    f.file_hash = text;
    f.share_name = text;
    f.share_qid = text;
    f.qid = text;
    const NodeMap nodes{{f.nid, f}, {MakeRecord(2).nid, MakeRecord(2)}};
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("9"), m_path, nodes, false));
    QString version;
    NodeMap loaded;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    ExpectSameRecords(nodes, loaded);
}

INSTANTIATE_TEST_SUITE_P(Rows, NodeStorageTextTest, ::testing::ValuesIn(kTexts),
                         [](const ::testing::TestParamInfo<TextRow>& info) { return info.param.label; });

TEST_F(NodeStorageTest, ShareFolderIsNotStored) {
    NodeMap nodes = MakeTree(3);
    FILE_INFO share = MakeRecord(50);
    share.name = QStringLiteral("x.Nimboshare");
    nodes[share.nid] = share;
    FILE_INFO other = MakeRecord(51);
    other.name = QStringLiteral("x.nimboshare"); // the test is case-sensitive
    nodes[other.nid] = other;
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("3"), m_path, nodes, false));
    QString version;
    NodeMap loaded;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_EQ(loaded.count(share.nid), 0u);
    EXPECT_EQ(loaded.count(other.nid), 1u);
    EXPECT_EQ(loaded.size(), 4u);
}

ino_t InodeOf(const QString& path) {
    struct stat st {};
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(NodeStorageTest, SameVersionIsKeptUnlessForced) {
    const NodeMap nodes = MakeTree(3);
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("8"), m_path, nodes, false));
    // Every save replaces a file by a new one, so an unchanged inode means no write.
    const ino_t header = InodeOf(m_path);
    const ino_t part = InodeOf(Part(1));
    ASSERT_NE(header, 0u);
    EXPECT_TRUE(NodeStorage::CheckSame(8, m_path));

    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("8"), m_path, MakeTree(5), false));
    EXPECT_EQ(InodeOf(m_path), header);
    EXPECT_EQ(InodeOf(Part(1)), part);

    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("8"), m_path, nodes, true));
    EXPECT_NE(InodeOf(m_path), header);
    EXPECT_NE(InodeOf(Part(1)), part);
}

TEST_F(NodeStorageTest, VersionZeroOrNotANumberIsAlwaysWritten) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("abc"), m_path, MakeTree(3), false));
    NodeStorage::STORAGE_HEADER header;
    ASSERT_TRUE(NodeStorage::LoadHeader(m_path, header));
    EXPECT_EQ(quint64(header.node_version), 0u);
    const ino_t before = InodeOf(Part(1));
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("0"), m_path, MakeTree(3), false));
    EXPECT_NE(InodeOf(Part(1)), before);
}

TEST_F(NodeStorageTest, CheckSameNeedsTheVersionAndEveryPart) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("21"), m_path, MultiPartTree(2), false));
    ASSERT_GE(PartFilesOnDisk(), 2u);
    EXPECT_TRUE(NodeStorage::CheckSame(21, m_path));
    EXPECT_FALSE(NodeStorage::CheckSame(22, m_path));
    ASSERT_TRUE(QFile::remove(Part(2)));
    EXPECT_FALSE(NodeStorage::CheckSame(21, m_path));
    EXPECT_FALSE(NodeStorage::CheckSame(21, m_dir.filePath(QStringLiteral("other.dat"))));
}

TEST_F(NodeStorageTest, NothingToStoreFailsAndLeavesNoSnapshot) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("4"), m_path, MakeTree(3), false));
    EXPECT_FALSE(NodeStorage::Save(QStringLiteral("5"), m_path, NodeMap(), false));
    EXPECT_FALSE(Exists(m_path));
    EXPECT_FALSE(Exists(Part(1)));

    FILE_INFO share = MakeRecord(1);
    share.name = QStringLiteral(".Nimboshare");
    EXPECT_FALSE(NodeStorage::Save(QStringLiteral("5"), m_path, NodeMap{{share.nid, share}}, false));
    EXPECT_FALSE(Exists(m_path));
    EXPECT_FALSE(Exists(Part(1)));
}

TEST_F(NodeStorageTest, LargeTreeSpansPartsWithEveryRecordInExactlyOne) {
    constexpr int kCount = 100000;
    // Short records keep the test quick, also under ThreadSanitizer: about 70 characters a line,
    // still well over three parts.
    auto record = [](int i) {
        FILE_INFO f;
        f.nid = QString::number(1000000 + i);
        f.pid = QString::number(1000000 + i / 100);
        f.name = QStringLiteral("f%1").arg(i);
        f.size = quint64(i) * 977;
        f.mtime = 1600000000u + quint32(i);
        f.is_sync = i % 2 == 0;
        return f;
    };
    NodeMap nodes;
    for (int i = 0; i < kCount; ++i) {
        FILE_INFO f = record(i);
        nodes.emplace(f.nid, f);
    }
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("777"), m_path, nodes, false));
    NodeStorage::STORAGE_HEADER header;
    ASSERT_TRUE(NodeStorage::LoadHeader(m_path, header));
    ASSERT_GE(quint32(header.part_count), 3u);
    EXPECT_EQ(PartFilesOnDisk(), quint32(header.part_count));

    std::set<QString> seen;
    size_t total = 0;
    for (quint32 n = 1; n <= header.part_count; ++n) {
        const NodeMap part = ReadPart(Part(n));
        ASSERT_FALSE(part.empty()) << "part " << n;
        const qint64 chars = (QFileInfo(Part(n)).size() - ARCHIVE_HEADER_SIZE) / qint64(sizeof(wchar_t));
        if (n < header.part_count) {
            EXPECT_GT(chars, qint64(NodeStorage::PART_THRESHOLD)) << "part " << n << " closed early";
        }
        EXPECT_LT(chars, qint64(NodeStorage::PART_THRESHOLD) + 1000) << "part " << n << " closed late";
        total += part.size();
        for (const auto& entry : part)
            seen.insert(entry.first);
    }
    EXPECT_EQ(total, size_t(kCount)) << "records stored more than once or lost";
    EXPECT_EQ(seen.size(), size_t(kCount));

    QString version;
    NodeMap loaded;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_EQ(version, QStringLiteral("777"));
    ASSERT_EQ(loaded.size(), size_t(kCount));
    for (int i : {0, 1, kCount / 2, kCount - 1}) {
        const FILE_INFO f = record(i);
        EXPECT_EQ(Stored(loaded[f.nid]), Stored(f));
    }
}

TEST_F(NodeStorageTest, MissingPartFailsTheLoadAndCleansUpToTheGap) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("6"), m_path, MultiPartTree(3), false));
    ASSERT_EQ(PartFilesOnDisk(), 3u);
    ASSERT_TRUE(QFile::remove(Part(2)));
    QString version = QStringLiteral("untouched");
    NodeMap loaded = MakeTree(1, 999999); // the caller's own entries go too
    EXPECT_FALSE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_TRUE(loaded.empty());
    EXPECT_EQ(version, QStringLiteral("untouched"));
    EXPECT_FALSE(Exists(m_path));
    EXPECT_FALSE(Exists(Part(1)));
    EXPECT_TRUE(Exists(Part(3))) << "the clean-up stops at the first missing part";

    // The next save removes what the clean-up left.
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("6"), m_path, MakeTree(3), false));
    EXPECT_FALSE(Exists(Part(3)));
}

TEST_F(NodeStorageTest, SmallerSaveRemovesStalePartFiles) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("30"), m_path, MultiPartTree(3), false));
    ASSERT_EQ(PartFilesOnDisk(), 3u);
    const QByteArray stray("x");
    for (const char* name : {"nodes_page.dat.9", "nodes_page.dat.bak", "nodes_page.dat.2x", "other.dat.4"}) {
        QFile file(m_dir.filePath(QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name;
        file.write(stray);
    }
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("31"), m_path, MakeTree(3), false));
    EXPECT_TRUE(Exists(Part(1)));
    EXPECT_FALSE(Exists(Part(2)));
    EXPECT_FALSE(Exists(Part(3)));
    EXPECT_FALSE(Exists(Part(9)));
    for (const char* kept : {"nodes_page.dat.bak", "nodes_page.dat.2x", "other.dat.4"}) {
        EXPECT_TRUE(Exists(m_dir.filePath(QLatin1String(kept)))) << kept;
    }
    QString version;
    NodeMap loaded;
    EXPECT_TRUE(NodeStorage::Load(version, m_path, loaded));
}

TEST_F(NodeStorageTest, FailedPartWriteDeletesTheSnapshot) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("40"), m_path, MakeTree(3), false));
    ASSERT_TRUE(QFile::remove(Part(1)));
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QFileInfo(Part(1)).fileName())); // a folder cannot be replaced
    EXPECT_FALSE(NodeStorage::Save(QStringLiteral("41"), m_path, MakeTree(3), true));
    EXPECT_FALSE(Exists(m_path));
}

// Line texts of a part written by hand.
std::wstring Line(int fields, const wchar_t* nid = L"1") {
    std::wstring line = nid;
    for (int i = 1; i < fields; ++i)
        line += L"|" + std::to_wstring(i);
    return line + L"\n";
}

TEST_F(NodeStorageTest, LineWithTooFewFieldsFailsTheLoad) {
    WriteSnapshot(5, 6, {Line(19, L"1") + Line(18, L"2") + Line(19, L"3")});
    QString version;
    NodeMap loaded;
    EXPECT_FALSE(NodeStorage::LoadCore(version, m_path, loaded));
    EXPECT_EQ(loaded.size(), 2u) << "the other lines of a bad part are still read";
    EXPECT_FALSE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_TRUE(loaded.empty());
    EXPECT_FALSE(Exists(m_path));
}

TEST_F(NodeStorageTest, ExtraFieldsAndEmptyLinesAreIgnored) {
    std::wstring unterminated = Line(25, L"2");
    unterminated.pop_back();
    WriteSnapshot(5, 6, {L"\n" + Line(20, L"1") + L"\n\n" + unterminated});
    QString version;
    NodeMap loaded;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_EQ(version, QStringLiteral("6"));
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_TRUE(loaded[QStringLiteral("1")].is_link) << "field 19 reads \"18\"";
    EXPECT_EQ(loaded[QStringLiteral("2")].size, 4u);
}

TEST_F(NodeStorageTest, LoadedRecordsJoinTheCallersMap) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("2"), m_path, MakeTree(2), false));
    NodeMap loaded = MakeTree(1, 50);
    FILE_INFO replaced = MakeRecord(0);
    replaced.name = QStringLiteral("old name");
    loaded[replaced.nid] = replaced;
    QString version;
    ASSERT_TRUE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded[replaced.nid].name, MakeRecord(0).name);
    EXPECT_EQ(loaded.count(MakeRecord(50).nid), 1u);
}

// A snapshot on disk that is broken in one way.
struct BrokenSnapshot {
    const char* label;
    void (*breakIt)(const QString& path);
};

void PrintTo(const BrokenSnapshot& row, std::ostream* os) {
    *os << row.label;
}

void SaveHeader(const QString& path, const QByteArray& payload) {
    ASSERT_TRUE(EncryptArchiveSave(path, payload.constData(), payload.size(), 0, 0));
}

QByteArray CurrentHeader(const QString& path) {
    NodeStorage::STORAGE_HEADER header;
    EXPECT_TRUE(NodeStorage::LoadHeader(path, header));
    return QByteArray(reinterpret_cast<const char*>(&header), int(sizeof header));
}

void ResavePart(const QString& path, qint64 tickDelta, qint64 versionDelta, int dropBytes) {
    const Block block = LoadArchive(NodeStorage::PartPath(path, 1));
    ASSERT_TRUE(block);
    const ARCHIVE_HEADER h = ArchiveHeaderOf(block);
    ASSERT_TRUE(EncryptArchiveSave(NodeStorage::PartPath(path, 1), block.get() + ARCHIVE_HEADER_SIZE,
                                   int(h.length) - dropBytes, h.value1 + tickDelta, h.value2 + versionDelta));
}

const BrokenSnapshot kBrokenSnapshots[] = {
    {"HeaderMissing", [](const QString& path) { QFile::remove(path); }},
    {"HeaderOneByteLonger", [](const QString& path) { SaveHeader(path, CurrentHeader(path) + '\0'); }},
    {"HeaderOneByteShorter", [](const QString& path) { SaveHeader(path, CurrentHeader(path).chopped(1)); }},
    {"OtherFormatNumber",
     [](const QString& path) {
         QByteArray header = CurrentHeader(path);
         header[0] = 2;
         SaveHeader(path, header);
     }},
    {"NoParts",
     [](const QString& path) {
         QByteArray header = CurrentHeader(path);
         std::memset(header.data() + offsetof(NodeStorage::STORAGE_HEADER, part_count), 0, 4);
         SaveHeader(path, header);
     }},
    {"MorePartsThanFiles",
     [](const QString& path) {
         QByteArray header = CurrentHeader(path);
         header[int(offsetof(NodeStorage::STORAGE_HEADER, part_count))] = 2;
         SaveHeader(path, header);
     }},
    {"PartOfAnotherSaveTick", [](const QString& path) { ResavePart(path, 1, 0, 0); }},
    {"PartOfAnotherVersion", [](const QString& path) { ResavePart(path, 0, 1, 0); }},
    {"PartNotWholeCharacters", [](const QString& path) { ResavePart(path, 0, 0, 1); }},
    {"PartCorrupt",
     [](const QString& path) {
         QFile part(NodeStorage::PartPath(path, 1));
         ASSERT_TRUE(part.open(QIODevice::ReadWrite));
         ASSERT_TRUE(part.seek(40));
         const char byte = char(part.peek(1).at(0) ^ 0x10);
         ASSERT_EQ(part.write(&byte, 1), 1);
     }},
};

class BrokenSnapshotTest : public NodeStorageTest, public ::testing::WithParamInterface<BrokenSnapshot> {};

TEST_P(BrokenSnapshotTest, FailsToLoadAndIsDeleted) {
    ASSERT_TRUE(NodeStorage::Save(QStringLiteral("15"), m_path, MakeTree(20), false));
    GetParam().breakIt(m_path);
    if (HasFatalFailure())
        return;
    QString version;
    NodeMap loaded = MakeTree(1, 500);
    EXPECT_FALSE(NodeStorage::Load(version, m_path, loaded));
    EXPECT_TRUE(loaded.empty());
    EXPECT_FALSE(Exists(m_path));
    EXPECT_FALSE(Exists(Part(1)));
}

INSTANTIATE_TEST_SUITE_P(Rows, BrokenSnapshotTest, ::testing::ValuesIn(kBrokenSnapshots),
                         [](const ::testing::TestParamInfo<BrokenSnapshot>& info) {
                             return info.param.label;
                         });

// Field texts that are not what the writer produces.
struct FieldRow {
    const char* label;
    const wchar_t* field; // placed in every number and boolean field
    quint64 size;
    quint32 status;
    bool flag;
};

void PrintTo(const FieldRow& row, std::ostream* os) {
    *os << row.label;
}

const FieldRow kFields[] = {
    {"Zero", L"0", 0, 0, false},
    {"Two", L"2", 2, 2, true},
    {"Negative", L"-1", 0, 0, false},
    {"PlusSign", L"+3", 0, 0, true},
    {"Letters", L"abc", 0, 0, false},
    {"DigitsThenLetters", L"12x", 0, 0, false},
    {"Empty", L"", 0, 0, false},
    {"Above32Bits", L"4294967296", 4294967296ull, 0, true},
    {"Max64Bits", L"18446744073709551615", ~0ull, 0, true},
    {"Above64Bits", L"18446744073709551616", 0, 0, true},
};

class NodeFieldTest : public ::testing::TestWithParam<FieldRow> {};

TEST_P(NodeFieldTest, NumbersAndBooleansReadAsDocumented) {
    const std::wstring number = GetParam().field;
    std::wstring line = L"id|p|name";
    for (int i = 4; i <= 19; ++i)
        line += L"|" + (i == 10 || i == 14 || i == 15 || i == 17 ? std::wstring(L"t") : number);
    FILE_INFO info;
    ASSERT_TRUE(NodeStorage::Line2FileInfo(line.data(), line.size(), info));
    EXPECT_EQ(info.size, GetParam().size);
    EXPECT_EQ(info.nv, GetParam().size);
    EXPECT_EQ(info.status, GetParam().status);
    EXPECT_EQ(info.version, GetParam().status);
    EXPECT_EQ(info.is_dir, GetParam().flag);
    EXPECT_EQ(info.is_link, GetParam().flag);
}

INSTANTIATE_TEST_SUITE_P(Rows, NodeFieldTest, ::testing::ValuesIn(kFields),
                         [](const ::testing::TestParamInfo<FieldRow>& info) { return info.param.label; });

} // namespace
