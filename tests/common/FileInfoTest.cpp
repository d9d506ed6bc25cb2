#include "common/FileInfo.h"

#include <gtest/gtest.h>

#include <map>

namespace {

FILE_INFO FilledRecord() {
    FILE_INFO r;
    r.path = QStringLiteral("/own/path.txt");
    r.size = 123456789012ULL;
    r.ctime = 1600000000;
    r.mtime = 1700000000;
    r.attrs = 3;
    r.version = 7;
    r.file_hash = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    r.name = QStringLiteral("path.txt");
    r.is_dir = false;
    r.compare_result = 3;
    r.file_status = 5;
    r.done_size = 99;
    r.nid = QStringLiteral("12345");
    r.pid = QStringLiteral("11");
    r.eid = QStringLiteral("18446744073709551615");
    r.qid = QStringLiteral("用户7");
    r.local_path = QStringLiteral("/tmp/x");
    r.is_download = true;
    r.finish_time = 1700000100;
    r.percent = 42;
    r.sequence = 4;
    r.priority = 9;
    r.nv = 77;
    r.status = 1;
    r.is_share = true;
    r.share_qid = QStringLiteral("555");
    r.owner = QStringLiteral("boss");
    r.share_name = QStringLiteral("shared");
    r.is_sync = true;
    r.spare_flag = true;
    r.is_link = true;
    return r;
}

TEST(FileRecordTest, DefaultsAreEmpty) {
    const FILE_INFO r;
    EXPECT_TRUE(r.path.isEmpty() && r.file_hash.isEmpty() && r.name.isEmpty() && r.nid.isEmpty());
    EXPECT_EQ(r.size + r.ctime + r.mtime + r.attrs + r.version + r.done_size + r.nv, 0u);
    EXPECT_FALSE(r.is_dir || r.is_download || r.is_share || r.is_sync || r.spare_flag || r.is_link);
    const FileInfo f;
    EXPECT_EQ(f.status + f.mtime + f.ctime + f.size + f.nid + f.eid + f.attrs, 0u);
    EXPECT_TRUE(f.path.isEmpty() && f.file_hash.isEmpty() && f.qid.isEmpty());
}

TEST(FileRecordTest, Base2UiCarriesFields) {
    const FILE_INFO r = FilledRecord();
    const FileInfo f = base2ui(QStringLiteral("/shown/here.txt"), r);
    EXPECT_EQ(f.path, QStringLiteral("/shown/here.txt"));
    EXPECT_EQ(f.nid, 12345u);
    EXPECT_EQ(f.eid, 18446744073709551615ULL);
    EXPECT_EQ(f.status, 5u);
    EXPECT_EQ(f.percent, 0u);
    EXPECT_EQ(f.done_size, 99u);
    EXPECT_EQ(f.mtime, 1700000000u);
    EXPECT_EQ(f.qid, QStringLiteral("用户7").toUtf8());
    EXPECT_TRUE(f.spare_flag);
}

TEST(FileRecordTest, Base2UiIdsThatAreNotNumbersGiveZero) {
    FILE_INFO r;
    EXPECT_EQ(base2ui(QString(), r).nid, 0u);
    r.nid = QStringLiteral("12a");
    EXPECT_EQ(base2ui(QString(), r).nid, 0u);
}

TEST(FileRecordTest, RoundTripKeepsAndLosesExactlyTheListedFields) {
    const FILE_INFO r = FilledRecord();
    const FILE_INFO back = ui2base(base2ui(QStringLiteral("/p/q/new.bin"), r));
    // Kept.
    EXPECT_EQ(back.size, r.size);
    EXPECT_EQ(back.ctime, r.ctime);
    EXPECT_EQ(back.mtime, r.mtime);
    EXPECT_EQ(back.attrs, r.attrs);
    EXPECT_EQ(back.version, r.version);
    EXPECT_EQ(back.file_hash, r.file_hash);
    EXPECT_EQ(back.share_qid, r.share_qid);
    EXPECT_EQ(back.qid, r.qid);
    EXPECT_EQ(back.is_dir, r.is_dir);
    EXPECT_EQ(back.is_sync, r.is_sync);
    EXPECT_EQ(back.is_link, r.is_link);
    EXPECT_EQ(back.finish_time, r.finish_time);
    EXPECT_EQ(back.priority, r.priority);
    EXPECT_EQ(back.sequence, r.sequence);
    EXPECT_EQ(back.path, QStringLiteral("/p/q/new.bin"));
    EXPECT_EQ(back.name, QStringLiteral("new.bin"));
    // Lost.
    EXPECT_TRUE(back.nid.isEmpty() && back.pid.isEmpty() && back.eid.isEmpty() && back.owner.isEmpty());
    EXPECT_TRUE(back.share_name.isEmpty() && back.local_path.isEmpty());
    EXPECT_FALSE(back.is_share || back.is_download || back.spare_flag);
    EXPECT_EQ(back.nv, 0u);
    EXPECT_EQ(back.status, 0u);
    EXPECT_EQ(back.file_status, 0u);
    EXPECT_EQ(back.done_size, 0u);
    EXPECT_EQ(back.percent, 0u);
    EXPECT_EQ(back.compare_result, 0u);
}

TEST(FileRecordTest, Ui2BaseKeepsLowThirtyTwoBitsOfTimes) {
    FileInfo f;
    f.mtime = 0x100000005ULL;
    f.path = QStringLiteral("plain");
    const FILE_INFO r = ui2base(f);
    EXPECT_EQ(r.mtime, 5u);
    EXPECT_EQ(r.name, QStringLiteral("plain"));
}

TEST(PathIndexTest, OrdersIgnoringCase) {
    const PathIndex upper(QStringLiteral("/A/b"));
    const PathIndex lower(QStringLiteral("/a/Z"));
    EXPECT_TRUE(upper < lower);
    EXPECT_FALSE(lower < upper);
    const PathIndex a(QStringLiteral("/a"));
    const PathIndex A(QStringLiteral("/A"));
    EXPECT_FALSE(a < A);
    EXPECT_FALSE(A < a);

    std::map<PathIndex, int> index;
    index[PathIndex(QStringLiteral("/Docs/File.txt"))] = 1;
    index[PathIndex(QStringLiteral("/docs/file.TXT"))] = 2;
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index.begin()->second, 2);
}

} // namespace
