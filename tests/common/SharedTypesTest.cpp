#include "common/SharedTypes.h"
#include "common/CommonDef.h"

#include <gtest/gtest.h>

namespace {

TEST(NameTablesTest, ShellStatus) {
    EXPECT_EQ(GetShellStatusString(0), QStringLiteral("unknow"));
    EXPECT_EQ(GetShellStatusString(FILE_STATUS_WAIT_DOWN), QStringLiteral("wait down"));
    EXPECT_EQ(GetShellStatusString(11), QStringLiteral("not down"));
    EXPECT_EQ(GetShellStatusString(7), QStringLiteral("undefined"));
    EXPECT_EQ(GetShellStatusString(12), QStringLiteral("undefined"));
    EXPECT_EQ(GetShellStatusString(-1), QStringLiteral("undefined"));
}

TEST(NameTablesTest, LocalStatusSyncTypeAndErrorType) {
    EXPECT_EQ(GetLocalStatusString(LOCAL_STATUS_CHECK_OFFLINE), QByteArray("CheckOffline"));
    EXPECT_EQ(GetLocalStatusString(8), QByteArray("stop"));
    EXPECT_TRUE(GetLocalStatusString(9).isEmpty());
    EXPECT_EQ(GetSyncTypeString(SYNC_CHANGE_NOT_FOUND), QStringLiteral("not_found"));
    EXPECT_EQ(GetSyncTypeString(5), QStringLiteral("unknown"));
    EXPECT_EQ(GetSyncErrTypeString(SYNC_ERROR::ServerProtocol), QStringLiteral("ServerProtoco"));
    EXPECT_EQ(GetSyncErrTypeString(SYNC_ERROR::CloudFull), QStringLiteral("CloudFul"));
    EXPECT_EQ(GetSyncErrTypeString(12), QStringLiteral("Unknown"));
}

TEST(SharedRecordsTest, DownloadRequestsCompareByPathIgnoringCase) {
    DOWNLOAD_REQUEST a;
    a.path = QStringLiteral("/Docs/a.txt");
    a.target = QStringLiteral("/home/x");
    DOWNLOAD_REQUEST b;
    b.path = QStringLiteral("/docs/A.TXT");
    b.to_cache = true;
    EXPECT_TRUE(a == b);
    b.path = QStringLiteral("/docs/b.txt");
    EXPECT_FALSE(a == b);
}

TEST(SharedRecordsTest, ConstructionDefaults) {
    const TASKLIST_NOTIFY finished(TASK_LIST_FINISHED);
    EXPECT_EQ(finished.type, 1);
    EXPECT_TRUE(finished.tasks.empty());
    EXPECT_EQ(finished.count, 0u);
    for (char c : finished.text)
        ASSERT_EQ(c, 0);

    const JumpUrlParam jump(JUMP_NODE_ID, QStringLiteral("12"), QStringLiteral("34"));
    EXPECT_EQ(jump.owner_id, QStringLiteral("12"));
    EXPECT_EQ(jump.item, QStringLiteral("34"));

    ENTERPRISE_INFO list;
    list.items.push_back({QStringLiteral("1"), QStringLiteral("A"), ENTERPRISE_OWNER});
    list.can_create_more = true;
    list.max_num_created_ent = 3;
    list.Reset();
    EXPECT_TRUE(list.items.empty());
    EXPECT_FALSE(list.can_create_more);
    EXPECT_EQ(list.max_num_created_ent, 0);

    const SYNC_INFO info;
    EXPECT_EQ(info.status, UI_STATUS_LOGINING);
    EXPECT_TRUE(info.online_service.isEmpty());
    EXPECT_EQ(info.total_size + info.used_size, 0u);
    EXPECT_EQ(info.used_percent, 0.0f);
}

TEST(SharedRecordsTest, ArraySizeComesFromTheType) {
    char buffer[128];
    const QString names[9];
    static_assert(ArraySize(buffer) == 128);
    const AUTOCOMMIT_NOTIFY commit;
    EXPECT_EQ(ArraySize(commit.text), 1024u);
    EXPECT_EQ(ArraySize(names), 9u);
}

TEST(ConstantsTest, ThumbNoneIsEmptyNotNull) {
    EXPECT_TRUE(CLOUD_THUMB::none.isEmpty());
    EXPECT_FALSE(CLOUD_THUMB::none.isNull());
    EXPECT_EQ(CLOUD_DEV_TYPE::Linux, QStringLiteral("ecs_linux"));
}

} // namespace
