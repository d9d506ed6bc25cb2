#include "network/CmdTable.h"
#include "network/RequestRecords.h"

#include "common/CommonDef.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(CmdTableTest, EveryRowHasItsMethod) {
    const std::vector<std::pair<int, const char*>> rows = {{1, "User.getConfig"},
                                                           {2, "User.login"},
                                                           {3, "User.logout"},
                                                           {4, "User.getUserDetail"},
                                                           {5, "User.getVersion"},
                                                           {8, "User.getUserDetail"},
                                                           {10, "File.getAllNodes"},
                                                           {11, "File.getNodeList"},
                                                           {13, "File.getNodeList"},
                                                           {14, "File.getThumb"},
                                                           {15, "Incr.getBgsp"},
                                                           {16, "Incr.getGlobalNodes"},
                                                           {17, "Incr.getIncrGlobal"},
                                                           {20, "File.createDir"},
                                                           {21, "File.recycle"},
                                                           {22, "File.rename"},
                                                           {23, "File.move"},
                                                           {24, "File.copyFile"},
                                                           {30, "Sync.getDownloadInfo"},
                                                           {31, "Download.getMetaInfo"},
                                                           {32, "Download.downloadBlock"},
                                                           {40, "Sync.getAddr"},
                                                           {41, "Upload.request"},
                                                           {42, "Upload.block"},
                                                           {43, "Upload.commit"},
                                                           {44, "Sync.addFile"},
                                                           {45, "Upload.uploadFile"},
                                                           {60, "Enterprise.getListByUser"},
                                                           {73, "User.getConfig"},
                                                           {77, "User.DirectTest"},
                                                           {78, "User.ProxyTest"},
                                                           {80, "Share.preShare"},
                                                           {81, "Share.createShare"},
                                                           {82, "Share.cancelShare"},
                                                           {83, "Share.cancelShareNode"},
                                                           {84, "Share.setPassword"},
                                                           {85, "Link.getShareNodeNamesByQid"},
                                                           {100, "File.setSync"},
                                                           {300, "Video.getPlayUrlByPath"},
                                                           {380, "User.getJumpUrl"},
                                                           {382, "Async.submit"},
                                                           {384, "Share.setExpire"},
                                                           {386, "Async.query"},
                                                           {388, "Share.getShareInfoBySid"}};
    ASSERT_EQ(rows.size(), 44u);
    std::set<int> known;
    for (const auto& row : rows) {
        EXPECT_EQ(GetCmdString(row.first), QLatin1String(row.second)) << row.first;
        known.insert(row.first);
    }
    for (int command = -5; command < 1000; ++command) {
        if (!known.count(command)) {
            EXPECT_EQ(GetCmdString(command), QStringLiteral("unknown")) << command;
        }
    }
    EXPECT_EQ(GetCmdString(CMD::QueryConfig), QStringLiteral("unknown"));
    EXPECT_EQ(GetCmdString(CMD::GetShareLinkList), QStringLiteral("unknown"));
}

TEST(RequestRecordsTest, CopiesShareNothing) {
    RENAME_REQ rename;
    rename.old_path = QStringLiteral("/a");
    rename.new_path = QStringLiteral("/b");
    rename.is_dir = true;
    RENAME_REQ renameCopy(rename);
    rename.old_path[1] = QLatin1Char('z');
    rename.new_path.append(QLatin1Char('x'));
    EXPECT_EQ(renameCopy.old_path, QStringLiteral("/a"));
    EXPECT_EQ(renameCopy.new_path, QStringLiteral("/b"));
    EXPECT_TRUE(renameCopy.is_dir);

    GLOBAL_NODES_REQ nodes;
    nodes.gsp = QStringLiteral("g");
    nodes.count = 2000;
    GLOBAL_NODES_REQ nodesCopy(nodes);
    nodes.gsp[0] = QLatin1Char('h');
    EXPECT_EQ(nodesCopy.gsp, QStringLiteral("g"));
    EXPECT_EQ(nodesCopy.count, 2000);

    INCR_GLOBAL_REQ incr;
    incr.spnid = QStringLiteral("s");
    incr.from_comet = true;
    INCR_GLOBAL_REQ incrCopy(incr);
    incr.spnid[0] = QLatin1Char('t');
    EXPECT_EQ(incrCopy.spnid, QStringLiteral("s"));
    EXPECT_TRUE(incrCopy.from_comet);

    DL_META_REQ meta;
    meta.file_hash = QStringLiteral("f");
    DL_META_REQ metaCopy(meta);
    meta.file_hash[0] = QLatin1Char('e');
    EXPECT_EQ(metaCopy.file_hash, QStringLiteral("f"));
}

} // namespace
