#pragma once
// Named constants shared by every layer: web page keys, user setting keys, device types, thumbnail
// sizes, API command numbers, sync error types and size units. Values never change at run time.

#include <QString>
#include <QtGlobal>

namespace CLOUD_WEB_JUMP {
inline const QString Home = QStringLiteral("my");
inline const QString File = QStringLiteral("file");
inline const QString Help = QStringLiteral("help");
inline const QString Feedback = QStringLiteral("feedback");
inline const QString UCENTER = QStringLiteral("ucenter");
inline const QString ChangeNickName = QStringLiteral("chname");
inline const QString ChangePassword = QStringLiteral("cpass");
inline const QString Recycle = QStringLiteral("recycle");
inline const QString ShareFold = QStringLiteral("share");
inline const QString AllPay = QStringLiteral("payment");
inline const QString Banned = QStringLiteral("banned");
inline const QString CreateEnterprise = QStringLiteral("regent");
inline const QString ManageMembers = QStringLiteral("member");
inline const QString EnterpriseInfo = QStringLiteral("info");
inline const QString VipInfo = QStringLiteral("vipinfo");
inline const QString VipRecord = QStringLiteral("records");
inline const QString FileHistory = QStringLiteral("file_history");
inline const QString LogoutUser = QStringLiteral("destoryuser");
inline const QString DaiKuan = QStringLiteral("activity_daikuan");
inline const QString Duplicate = QStringLiteral("dup_allfile");
inline const QString DuplicateFolder = QStringLiteral("dup_folder");
inline const QString InvalidShareLink = QStringLiteral("invalidsharelink");
inline const QString SFile = QStringLiteral("sfile");
inline const QString SFileIntro = QStringLiteral("safeboxintro");
inline const QString SFileStart = QStringLiteral("sfstartusing");
inline const QString SFileFindPwd = QStringLiteral("sfpwd");
inline const QString SFileChangePwd = QStringLiteral("sfmodpwd");
inline const QString BindMobile = QStringLiteral("bindmoblie");
} // namespace CLOUD_WEB_JUMP

namespace CLOUD_CFG_USER {
inline const QString syncpath = QStringLiteral("syncpath");
inline const QString eid = QStringLiteral("eid");
inline const QString ssl = QStringLiteral("ssl");
inline const QString speed_limit_up = QStringLiteral("speed_limit_up");
inline const QString speed_limit_down = QStringLiteral("speed_limit_down");
inline const QString vfolder = QStringLiteral("vfolder");
inline const QString join_plan = QStringLiteral("join_plan");
inline const QString tasks_up = QStringLiteral("tasks_up");
inline const QString tasks_down = QStringLiteral("tasks_down");
} // namespace CLOUD_CFG_USER

namespace CLOUD_DEV_TYPE {
inline const QString UI = QStringLiteral("ecs_UI");
inline const QString Web = QStringLiteral("ecs_web");
inline const QString Mini = QStringLiteral("ecs_mini");
inline const QString Box = QStringLiteral("ecs_box");
inline const QString Android = QStringLiteral("ecs_android");
inline const QString iPhone = QStringLiteral("ecs_iphone");
inline const QString Desk = QStringLiteral("ecs_Desk");
inline const QString Linux = QStringLiteral("ecs_linux");
} // namespace CLOUD_DEV_TYPE

namespace CLOUD_THUMB {
inline const QString none = QString(QLatin1String(""));
inline const QString size58 = QStringLiteral("58_58");
inline const QString size128 = QStringLiteral("128_128");
inline const QString size256 = QStringLiteral("256_256");
inline const QString size800 = QStringLiteral("800_600");
inline const QString size1280 = QStringLiteral("1280_1280");
inline const QString size640_60 = QStringLiteral("640_60");
} // namespace CLOUD_THUMB

// API command numbers. The range has gaps: tables indexed by command must allow for them.
namespace CMD {
constexpr int Unknown = 0;
constexpr int GetConfig = 1;
constexpr int Login = 2;
constexpr int Logout = 3;
constexpr int GetUserDetail = 4;
constexpr int GetVersion = 5;
constexpr int QueryConfig = 7;
constexpr int GetUserSpace = 8;
constexpr int GetAllNodes = 10;
constexpr int GetNodeList = 11;
constexpr int GetDirList = 13;
constexpr int GetThumb = 14;
constexpr int GetBgsp = 15;
constexpr int GetGlobalNodes = 16;
constexpr int GetIncrGlobal = 17;
constexpr int CreateDir = 20;
constexpr int DeleteNode = 21;
constexpr int Rename = 22;
constexpr int Move = 23;
constexpr int Copy = 24;
constexpr int DownloadInfo = 30;
constexpr int DownloadMeta = 31;
constexpr int DownloadBlock = 32;
constexpr int UploadInfo = 40;
constexpr int UploadMeta = 41;
constexpr int UploadBlock = 42;
constexpr int UploadCommit = 43;
constexpr int UploadAdd = 44;
constexpr int UploadFast = 45;
constexpr int GetEnterpriseList = 60;
constexpr int HttpsTest = 73;
constexpr int DirectTest = 77;
constexpr int ProxyTest = 78;
constexpr int LinkPre = 80;
constexpr int LinkCreate = 81;
constexpr int LinkCancelUrl = 82;
constexpr int LinkCancelPath = 83;
constexpr int LinkPassword = 84;
constexpr int LinkList = 85;
constexpr int GetShareLinkList = 86;
constexpr int SetSync = 100;
constexpr int VodInfo = 300;
constexpr int GetJumpUrl = 380;
constexpr int AsyncCopyByPath = 382;
constexpr int ShareSetExpire = 384;
constexpr int AsyncQuery = 386;
constexpr int GetShareInfoBySid = 388;
} // namespace CMD

// Types of the sync engine's errors.
namespace SYNC_ERROR {
constexpr int OK = 0;
constexpr int Unknown = 1;
constexpr int Logic = 10;
constexpr int CloudFull = 11;
constexpr int Invite = 12;
constexpr int NotSupport = 13;
constexpr int Login = 14;
constexpr int Maintain = 15;
constexpr int Password = 16;
constexpr int CloudBigFile = 17;
constexpr int Network = 20;
constexpr int Server = 21;
constexpr int ServerProtocol = 22;
constexpr int ServerData = 23;
constexpr int DiskFull = 30;
constexpr int DiskWrite = 31;
constexpr int DiskDir = 32;
constexpr int FileUsing = 33;
constexpr int NameTooLong = 34;
constexpr int DiskCancel = 35;
constexpr int DBCurrupt = 36;
constexpr int VersionV2 = 37;
constexpr int OrphanNode = 38;
constexpr int SameNameNode = 39;
constexpr int IncrError = 41;
constexpr int XmlCorrupt = 42;
constexpr int FAT32_4G = 43;
constexpr int Restricted = 44;
constexpr int Banned = 45;
constexpr int UnActive = 46;
constexpr int NoPerm = 47;
constexpr int MassDelete = 48; // the cloud deleted many synced files at once: held for the user
constexpr int BadName = 49;    // a local name that is not valid text (not UTF-8): it cannot be synced
constexpr int LAST = 100;
} // namespace SYNC_ERROR

constexpr qint64 MB = 1048576;
constexpr qint64 GB = 1073741824;
