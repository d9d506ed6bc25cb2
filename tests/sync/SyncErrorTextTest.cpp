// The words of the error report, one row per case of its tables.
#include "sync/SyncErrorText.h"
#include "common/CommonDef.h"

#include <gtest/gtest.h>

namespace {

QString U(const char* text) {
    return QString::fromUtf8(text);
}

struct WordRow {
    const char* label;
    int kind;
    int code;
    const char* item;
    const char* message;
    const char* storedItem; // the item kept with it
    bool show;
};

void PrintTo(const WordRow& row, std::ostream* os) {
    *os << row.label;
}

class SyncErrorWordsTest : public ::testing::TestWithParam<WordRow> {};

TEST_P(SyncErrorWordsTest, ComposesTheMessage) {
    const WordRow& row = GetParam();
    CMD_STAT_DEBUG context{U("File.rename"), U("two"), U("/the/context/item")};
    const SyncErrorText text = ComposeSyncError(row.kind, row.code, U(row.item), &context, U("/home/u/Sync"));
    EXPECT_EQ(text.message, U(row.message));
    EXPECT_EQ(text.item, U(row.storedItem));
    EXPECT_EQ(text.show, row.show);
}

using namespace SYNC_ERROR;

INSTANTIATE_TEST_SUITE_P(
    Kinds, SyncErrorWordsTest,
    ::testing::Values(
        WordRow{"DiskFullDrive", DiskFull, 0, "D:/x", "D盘空间不足", "D:/x", true},
        WordRow{"DiskFullPath", DiskFull, 0, "/home/u/x", "目标位置磁盘空间不足", "/home/u/x", true},
        WordRow{"DiskFullNoItemTakesTheSyncFolder", DiskFull, 0, "", "目标位置磁盘空间不足", "", true},
        WordRow{"Fat32Drive", FAT32_4G, 0, "E:/big", "E盘的FAT32分区不支持4G以上文件，请转换为NTFS分区",
                "E:/big", true},
        WordRow{"Fat32Path", FAT32_4G, 0, "/m/big", "目标位置不支持4G以上文件，请转换为NTFS分区", "/m/big",
                true},
        WordRow{"DiskDir", DiskDir, 0, "/a", "文件夹创建失败", "/a", true},
        WordRow{"NameTooLong", NameTooLong, 0, "/a", "文件名长度超过系统限制", "/a", true},
        WordRow{"BadName", BadName, 0, "/a", "文件名不是有效的UTF-8编码，无法同步", "/a", true},
        WordRow{"DiskWrite", DiskWrite, 0, "/a", "磁盘写入失败", "/a", true},
        WordRow{"FileUsing", FileUsing, 0, "/a", "文件被占用中，无法更新", "/a", true},
        WordRow{"CloudFull", CloudFull, 0, "/a", "文件大小超过您的可用空间，请联系管理员。", "/a", true},
        WordRow{"ServerProtocol", ServerProtocol, 0, "/a", "服务器返回信息无法识别", "/a", true},
        WordRow{"ServerData", ServerData, 0, "/a", "数据校验错误", "/a", true},
        WordRow{"Maintain", Maintain, 9999, "维护中", "维护中", "/the/context/item", true},
        WordRow{"Banned", Banned, 91002, "封禁", "封禁", "/the/context/item", true},
        WordRow{"Restricted", Restricted, 8908, "受限", "受限", "/the/context/item", true},
        WordRow{"NoPerm", NoPerm, 81001, "/a", "权限不足", "/a", true},
        WordRow{"CloudBigFile", CloudBigFile, 0, "/a", "单文件大小超出限制", "/a", true},
        WordRow{"Password", Password, 91001, "/a", "自动登录过期，请重新登录", "/a", false},
        WordRow{"Login2027", Login, 2027, "x", "本IP激活用户超限，请明日再试", "", false},
        WordRow{"Login2041", Login, 2041, "x", "参数错误，企业不存在", "", false},
        WordRow{"Login2032", Login, 2032, "服务说明", "服务说明", "", false},
        WordRow{"Login40004", Login, 40004, "服务说明", "服务说明", "", false},
        WordRow{"Login2008", Login, 2008, "服务说明", "服务说明", "", false},
        WordRow{"Login60000", Login, 60000, "x", "登录失败，请检查您的网络:60000", "", false},
        WordRow{"LoginOther", Login, 1234, "x", "登录失败(1234)", "", false},
        WordRow{"NotSupport", NotSupport, 1007, "/a", "请升级到最新版本", "/a", false},
        WordRow{"DiskCancel", DiskCancel, 0, "/a", "下载完成时暂停同步", "/a", false},
        WordRow{"Logic3109", Logic, 3109, "/a", "您的文件数量超出了限制，请手动删除部分文件", "/a", true},
        WordRow{"Logic3001", Logic, 3001, "/a", "错误3001: 文件不存在", "/a", true},
        WordRow{"Logic3004", Logic, 3004, "/a", "错误3004: 上一级文件夹不存在", "/a", true},
        WordRow{"Logic3005", Logic, 3005, "/a", "错误3005: 同名文件已存在", "/a", true},
        WordRow{"Logic3008", Logic, 3008, "/a", "错误3008: 源文件不存在", "/a", true},
        WordRow{"Logic3009", Logic, 3009, "/a", "错误3009: 目标文件不存在", "/a", true},
        WordRow{"Logic3022", Logic, 3022, "/a", "错误3022: 文件名不合法", "/a", true},
        WordRow{"Logic3023", Logic, 3023, "/a", "错误3023: 文件名不合法", "/a", true},
        WordRow{"Logic3021", Logic, 3021, "/a", "错误3021: 文件名太长，请修改本地文件名后重新上传", "/a",
                true},
        WordRow{"Logic4407", Logic, 4407, "/a", "下载服务升级中，请您过段时间再试", "/a", true},
        WordRow{"Logic6011", Logic, 6011, "/a", "错误6011: 删除文件过多，请分批删除", "/a", true},
        WordRow{"Logic82003", Logic, 82003, "/a", "同步文件夹不允许共享，移动，删除。请先取消同步", "/a",
                true},
        WordRow{"Logic3132", Logic, 3132, "/a", "错误3132: 文件已被加锁，不能删除", "/a", true},
        WordRow{"Logic3133", Logic, 3133, "/a", "错误3133", "/a", true},
        WordRow{"Logic3128", Logic, 3128, "/a", "错误3128", "/a", true},
        WordRow{"Logic3028", Logic, 3028, "/a/b/c.txt", "文件非法：c.txt", "/a/b/c.txt", true},
        WordRow{"Logic2061", Logic, 2061, "/a", "错误2061:文件夹共享者的可用空间不足，请联系管理员", "/a",
                true},
        WordRow{"Logic2048", Logic, 2048, "/a", "错误2048:文件夹共享者的可用空间不足，请为其分配空间", "/a",
                true},
        WordRow{"Logic2055", Logic, 2055, "/a", "错误2055:文件大小超过云盘可用空间，请升级套餐扩容", "/a",
                true},
        WordRow{"Logic2062", Logic, 2062, "/a", "错误2062:文件大小超过云盘可用空间，请升级套餐扩容", "/a",
                true},
        WordRow{"Logic2046", Logic, 2046, "/a", "错误2046:企业空间不足，请联系管理员升级套餐", "/a", true},
        WordRow{"Logic2047", Logic, 2047, "/a", "错误2047:企业空间不足，请升级套餐", "/a", true},
        WordRow{"Logic2056", Logic, 2056, "/a", "错误2056:文件大小超过企业可用空间，请联系管理员", "/a",
                true},
        WordRow{"LogicOther", Logic, 1, "/a", "错误1: 服务器忙，请稍候重试", "/a", true},
        WordRow{"OtherKind", 99, 0, "/a", "错误99", "/a", true},
        WordRow{"OtherKindWithCode", 99, 7, "/a", "错误99(7)", "/a", true}),
    [](const ::testing::TestParamInfo<WordRow>& info) { return std::string(info.param.label); });

TEST(SyncErrorWordsTest, NetworkAndServerFailures) {
    EXPECT_EQ(NetworkErrorMessage(Network, 12007), U("无法解析服务器域名"));
    EXPECT_EQ(NetworkErrorMessage(Network, 7), U("无法连接服务器(7)"));
    for (int code : {404, 502, 514})
        EXPECT_EQ(NetworkErrorMessage(Server, code), U("网络异常(%1)，请检查网络").arg(code));
    EXPECT_EQ(NetworkErrorMessage(Server, 500), U("服务不可用(500)"));
}

TEST(SyncErrorWordsTest, TheGlobalTextShortensLongItems) {
    EXPECT_EQ(GlobalErrorText(U("磁盘写入失败"), QString()), U("同步失败\n磁盘写入失败"));
    EXPECT_EQ(GlobalErrorText(U("磁盘写入失败"), U("/a")), U("同步失败\n磁盘写入失败\n\n/a"));
    const QString hundred(100, QLatin1Char('x'));
    EXPECT_EQ(GlobalErrorText(U("m"), hundred), U("同步失败\nm\n\n") + hundred);
    const QString item =
        QString(40, QLatin1Char('a')) + QString(70, QLatin1Char('b')) + QString(40, QLatin1Char('c'));
    EXPECT_EQ(GlobalErrorText(U("m"), item), U("同步失败\nm\n\n") + QString(40, QLatin1Char('a')) + U("...") +
                                                 QString(40, QLatin1Char('c')));
}

} // namespace
