#include "sync/SyncErrorText.h"

#include "common/CommonDef.h"
#include "common/PathUtils.h"

namespace {

QString Fill(const char* text, qint64 number) {
    return QString::fromUtf8(text).arg(number);
}

// A disk error names the drive of its path, or "the target location" when it has none.
QString DiskMessage(const QString& item, const QString& syncFolder, const char* withDrive,
                    const char* without) {
    const QString path = item.isEmpty() ? syncFolder : item;
    const int colon = path.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        return path.left(colon) + QString::fromUtf8(withDrive);
    return QString::fromUtf8(without);
}

QString LogicMessage(int code, const QString& item) {
    switch (code) {
    case 3109:
        return QStringLiteral("您的文件数量超出了限制，请手动删除部分文件");
    case 3001:
        return Fill("错误%1: 文件不存在", code);
    case 3004:
        return Fill("错误%1: 上一级文件夹不存在", code);
    case 3005:
        return Fill("错误%1: 同名文件已存在", code);
    case 3008:
        return Fill("错误%1: 源文件不存在", code);
    case 3009:
        return Fill("错误%1: 目标文件不存在", code);
    case 3022:
    case 3023:
        return Fill("错误%1: 文件名不合法", code);
    case 3021:
        return Fill("错误%1: 文件名太长，请修改本地文件名后重新上传", code);
    case 4407:
        return QStringLiteral("下载服务升级中，请您过段时间再试");
    case 6011:
        return Fill("错误%1: 删除文件过多，请分批删除", code);
    case 82003:
        return QStringLiteral("同步文件夹不允许共享，移动，删除。请先取消同步");
    case 3132:
        return Fill("错误%1: 文件已被加锁，不能删除", code);
    case 3133:
    case 3128:
        return Fill("错误%1", code);
    case 3028:
        return QStringLiteral("文件非法：%1").arg(GetOnlyFilename(item));
    case 2061:
        return Fill("错误%1:文件夹共享者的可用空间不足，请联系管理员", code);
    case 2048:
        return Fill("错误%1:文件夹共享者的可用空间不足，请为其分配空间", code);
    case 2055:
    case 2062:
        return Fill("错误%1:文件大小超过云盘可用空间，请升级套餐扩容", code);
    case 2046:
        return Fill("错误%1:企业空间不足，请联系管理员升级套餐", code);
    case 2047:
        return Fill("错误%1:企业空间不足，请升级套餐", code);
    case 2056:
        return Fill("错误%1:文件大小超过企业可用空间，请联系管理员", code);
    default:
        return Fill("错误%1: 服务器忙，请稍候重试", code);
    }
}

QString LoginMessage(int code, const QString& item) {
    switch (code) {
    case 2027:
        return QStringLiteral("本IP激活用户超限，请明日再试");
    case 2041:
        return QStringLiteral("参数错误，企业不存在");
    case 2032:
    case 40004:
    case 2008:
        return item;
    case 60000:
        return Fill("登录失败，请检查您的网络:%1", code);
    default:
        return Fill("登录失败(%1)", code);
    }
}

} // namespace

QString NetworkErrorMessage(int kind, int code) {
    if (kind == SYNC_ERROR::Network)
        return code == 12007 ? QStringLiteral("无法解析服务器域名") : Fill("无法连接服务器(%1)", code);
    if (code == 404 || code == 502 || code == 514)
        return Fill("网络异常(%1)，请检查网络", code);
    return Fill("服务不可用(%1)", code);
}

SyncErrorText ComposeSyncError(int kind, int code, const QString& item, const CMD_STAT_DEBUG* context,
                               const QString& syncFolder) {
    SyncErrorText out;
    out.item = item;
    switch (kind) {
    case SYNC_ERROR::DiskFull:
        out.message = DiskMessage(item, syncFolder, "盘空间不足", "目标位置磁盘空间不足");
        break;
    case SYNC_ERROR::FAT32_4G:
        out.message = DiskMessage(item, syncFolder, "盘的FAT32分区不支持4G以上文件，请转换为NTFS分区",
                                  "目标位置不支持4G以上文件，请转换为NTFS分区");
        break;
    case SYNC_ERROR::DiskDir:
        out.message = QStringLiteral("文件夹创建失败");
        break;
    case SYNC_ERROR::NameTooLong:
        out.message = QStringLiteral("文件名长度超过系统限制");
        break;
    case SYNC_ERROR::BadName:
        out.message = QStringLiteral("文件名不是有效的UTF-8编码，无法同步");
        break;
    case SYNC_ERROR::DiskWrite:
        out.message = QStringLiteral("磁盘写入失败");
        break;
    case SYNC_ERROR::FileUsing:
        out.message = QStringLiteral("文件被占用中，无法更新");
        break;
    case SYNC_ERROR::CloudFull:
        out.message = QStringLiteral("文件大小超过您的可用空间，请联系管理员。");
        break;
    case SYNC_ERROR::ServerProtocol:
        out.message = QStringLiteral("服务器返回信息无法识别");
        break;
    case SYNC_ERROR::ServerData:
        out.message = QStringLiteral("数据校验错误");
        break;
    case SYNC_ERROR::Maintain:
    case SYNC_ERROR::Banned:
    case SYNC_ERROR::Restricted:
        out.message = item;
        out.item = context ? context->text3 : QString();
        break;
    case SYNC_ERROR::NoPerm:
        out.message = QStringLiteral("权限不足");
        break;
    case SYNC_ERROR::MassDelete:
        out.message = QStringLiteral("同步已暂停\n检测到大量删除，请检查同步文件夹");
        break;
    case SYNC_ERROR::CloudBigFile:
        out.message = QStringLiteral("单文件大小超出限制");
        break;
    case SYNC_ERROR::Password:
        out.message = QStringLiteral("自动登录过期，请重新登录");
        out.show = false;
        break;
    case SYNC_ERROR::Login:
        out.message = LoginMessage(code, item);
        out.item.clear();
        out.show = false;
        break;
    case SYNC_ERROR::NotSupport:
        out.message = QStringLiteral("请升级到最新版本");
        out.show = false;
        break;
    case SYNC_ERROR::DiskCancel:
        out.message = QStringLiteral("下载完成时暂停同步");
        out.show = false;
        break;
    case SYNC_ERROR::Logic:
        out.message = LogicMessage(code, item);
        break;
    default:
        out.message = Fill("错误%1", kind);
        if (code != 0)
            out.message += Fill("(%1)", code);
        break;
    }
    return out;
}

QString GlobalErrorText(const QString& message, const QString& shownItem) {
    QString text = QStringLiteral("同步失败\n%1").arg(message);
    if (shownItem.size() > 100)
        text +=
            QStringLiteral("\n\n%1").arg(shownItem.left(40) + QStringLiteral("...") + shownItem.right(40));
    else if (!shownItem.isEmpty())
        text += QStringLiteral("\n\n%1").arg(shownItem);
    return text;
}
