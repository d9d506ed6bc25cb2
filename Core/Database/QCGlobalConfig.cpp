// Construction, Init with the tuning file, the debug switch, the configuration reply and the
// notification channel of the configuration object. The account side is QCGlobalConfigProfile.cpp.

#include "Database/QCGlobalConfig.h"

#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/QCEventBase.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>

QCGlobalConfig g_Config;

namespace {

const QString kSync = QStringLiteral("sync");

const QString kDefaultTempList = QStringLiteral(".td|.td.cfg|.dl|.dl.cfg|.se!|.crdownload|.pgf|");
const QString kDefaultZipBlacklist =
    QStringLiteral("|.asf|.wm|.wmv|.ram|.rm|.rmvb|.m2ts|.mpe|.mpeg|.mpg|.tp|.ts|.m4b|.mp4|.3g2|.3gp|"
                   ".mov|.f4v|.flv|.aac|.ape|.bik|.dts|.flac|.m4a|.mkv|.mp3|.mts|.ogg|.pmp|.ra|.wma|"
                   ".wv|.cr2|.crw|.jpeg|.jpg|.orf|.pef|.png|.mpa|.m2v|.scm|.ogm|.wav|.ac3|.evo|.ivm|"
                   ".swf|.zip|.rar|.7z|.cab|.xz|");

// The largest file sent by the one-request fast upload: one block.
constexpr qint32 kMaxFastUpFileSize = 524288;

int ReadSyncInt(const char* key, int def, const QString& file) {
    return GetPrivateProfileInt(kSync, QString::fromLatin1(key), def, file);
}

} // namespace

QCGlobalConfig::QCGlobalConfig() = default;

QCGlobalConfig::~QCGlobalConfig() = default;

void QCGlobalConfig::LoadTuning(const QString& file) {
    use_dns = ReadSyncInt("use_dns", 3, file);
    change_execute_delay = ReadSyncInt("change_execute_delay", 2000, file);
    change_execute_delay_min = ReadSyncInt("change_execute_delay_min", 300, file);
    change_execute_delay_mincount = ReadSyncInt("change_execute_delay_mincount", 3, file);
    check_ver_interva = ReadSyncInt("check_ver_interva", 30, file);
    comet_incr_interva = ReadSyncInt("comet_incr_interva", 2, file);
    max_del_share = std::clamp(ReadSyncInt("max_del_share", 50, file), 0, 100);
    calc_space_interva = ReadSyncInt("calc_space_interva", 60, file);
    fast_up_filesize = ReadSyncInt("fast_up_filesize", kMaxFastUpFileSize, file);
    max_file_mb = ReadSyncInt("max_file_mb", 5120, file);
    max_upload_io_mb = ReadSyncInt("max_upload_io_mb", 2048, file);
    max_upload_req = ReadSyncInt("max_upload_req", 10, file);
    max_download_req = ReadSyncInt("max_download_req", 5, file);
    min_upload_block_queue = ReadSyncInt("min_upload_block_queue", 5, file);
    min_download_block_queue = ReadSyncInt("min_download_block_queue", 2, file);
    disk_busy_speed_mb = ReadSyncInt("disk_busy_speed_mb", 15, file);
    disk_busy_big_file_mb = ReadSyncInt("disk_busy_big_file_mb", 64, file);
    auto_save_db = ReadSyncInt("auto_save_db", 300, file);
    http_keep_alive = ReadSyncInt("http_keep_alive", 1, file);
    http_gzip = ReadSyncInt("http_gzip", 1, file);
    trans_encrypt = ReadSyncInt("trans_encrypt", 1, file);
    temp_list = GetPrivateProfileString(kSync, QStringLiteral("temp_list"), kDefaultTempList, file);
    if (!temp_list.isEmpty() && !temp_list.endsWith(QLatin1Char('|')))
        temp_list += QLatin1Char('|');
    zip_lv = ReadSyncInt("zip_lv", 6, file);
    zip_blacklist =
        GetPrivateProfileString(kSync, QStringLiteral("zip_blacklist"), kDefaultZipBlacklist, file);
    zip_minrate = ReadSyncInt("zip_minrate", 85, file);
    zip_minsize = ReadSyncInt("zip_minsize", 512, file);
    getallnodes_page = ReadSyncInt("getallnodes_page", 2000, file);
    if (getallnodes_page < 1)
        getallnodes_page = 2000;
    offline_delete = ReadSyncInt("offline_delete", 1, file) != 0;
    if (fast_up_filesize >= kMaxFastUpFileSize)
        fast_up_filesize = kMaxFastUpFileSize;
}

void QCGlobalConfig::Init(const QString& device_type, QObject* receiver) {
    {
        std::unique_lock<std::shared_mutex> lock(outerLock);
        outer = receiver;
    }
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    CoreLog::SetEnabled(qEnvironmentVariableIntValue("NIMBO_DEBUG") != 0);

    // The tuning file lies in the working directory whatever becomes of the data folder below.
    const QString tuning = QDir::current().absoluteFilePath(QStringLiteral("sync.ini"));
    if (!m_tuningLoaded) {
        devtype = device_type;
        v = CLIENT_VERSION;
        pid = QStringLiteral("home");
        transfer_https_mode = 0;
        SetThumbs(QString(), QString());
        LoadTuning(tuning);
        m_tuningLoaded = true;
    } else if (device_type != devtype) {
        CoreDebug("[config] device type %s kept, %s ignored", qUtf8Printable(devtype),
                  qUtf8Printable(device_type));
    }
    {
        const QString host = GetPrivateProfileString(QStringLiteral("server"), QStringLiteral("login"),
                                                     DEFAULT_API_HOST, tuning);
        std::unique_lock<std::shared_mutex> lock(hostLock);
        api_host.host = host;
    }

    const QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString appdata = location.isEmpty() ? QString() : QDir(location).absolutePath();
    CoreDebug("[appdata] %s", qUtf8Printable(appdata));
    const bool haveAppdata = !appdata.isEmpty() && QDir().mkpath(appdata);
    if (!haveAppdata)
        CoreDebug("[appdata] cannot create %s: running without settings files", qUtf8Printable(appdata));
    // The folder holds the machine's file with the last credential text: owner only.
    else if (!QFile::setPermissions(appdata, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        CoreDebug("[appdata] cannot restrict %s to its owner", qUtf8Printable(appdata));
    {
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        appdata_path = haveAppdata ? appdata + QLatin1Char('/') : QString();
        machine_config_file = haveAppdata ? appdata_path + QStringLiteral("config.ini") : QString();
        tuning_file = tuning;
    }

    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        use_dns_flag = true;
        offline_delete_ok = true;
    }
    ChangeUserLocked(QString(), 0, QString());

    QString machine;
    {
        std::shared_lock<std::shared_mutex> lock(pathsLock);
        machine = machine_config_file;
    }
    const QString global = QStringLiteral("global");
    const QString last_qid = GetPrivateProfileString(global, QStringLiteral("lastqid"), QString(), machine);
    const QString last_pwd = GetPrivateProfileString(global, QStringLiteral("lastpwd"), QString(), machine);
    const int last_type = GetPrivateProfileInt(global, QStringLiteral("lasttype"), 0, machine);
    const int test = GetPrivateProfileInt(QStringLiteral("test"), QStringLiteral("test_mod"), 0, tuning);
    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        lastqid = last_qid;
        lastpwd = last_pwd;
        lasttype = last_type;
        test_mod = test;
        autologin = 1;
        deny_proxy = false;
    }
    thumb = false;
    thumb_pul = false;
    finish_task_count = 0;
    finish_task_have_count = 0;
    finish_task_have_size = 0;
    finish_task_save_time = 0;
    pending_bytes = 0;
    pending_seconds = 0;
    finish_task_last_uspeed = 200;
}

void QCGlobalConfig::Uninit() {
    CleanUser();
}

bool QCGlobalConfig::IsDebug() const {
    return CoreLog::Enabled();
}

bool QCGlobalConfig::SslFlag() const {
    std::shared_lock<std::shared_mutex> lock(settingsLock);
    return ssl != 0;
}

bool QCGlobalConfig::UseDns() const {
    std::shared_lock<std::shared_mutex> lock(settingsLock);
    return use_dns_flag;
}

GET_CONFIG_ACK QCGlobalConfig::GetConfigAck() const {
    std::shared_lock<std::shared_mutex> lock(m_configAckLock);
    return m_configAck;
}

void QCGlobalConfig::SetConfigAck(const GET_CONFIG_ACK& ack) {
    std::unique_lock<std::shared_mutex> lock(m_configAckLock);
    m_configAck = ack;
}

QString QCGlobalConfig::ThumbPicture() const {
    std::shared_lock<std::shared_mutex> lock(m_configAckLock);
    return m_thumbPicture;
}

QString QCGlobalConfig::ThumbVideo() const {
    std::shared_lock<std::shared_mutex> lock(m_configAckLock);
    return m_thumbVideo;
}

void QCGlobalConfig::SetThumbs(const QString& picture, const QString& video) {
    std::unique_lock<std::shared_mutex> lock(m_configAckLock);
    m_thumbPicture = picture;
    m_thumbVideo = video;
}

QString QCGlobalConfig::Eid() const {
    std::shared_lock<std::shared_mutex> lock(accountLock);
    return eid;
}

QString QCGlobalConfig::Credential() const {
    std::shared_lock<std::shared_mutex> lock(accountLock);
    return pwd;
}

QString QCGlobalConfig::ApiHost() const {
    std::shared_lock<std::shared_mutex> lock(hostLock);
    return api_host.host;
}

QString QCGlobalConfig::ClientIp() const {
    std::shared_lock<std::shared_mutex> lock(settingsLock);
    return client_ip;
}

bool QCGlobalConfig::CallOuter(QCEventBase* event) {
    if (!event)
        return false;
    std::shared_lock<std::shared_mutex> lock(outerLock);
    if (!outer) {
        // Callers post and forget: without a receiver the event would otherwise leak.
        delete event;
        return false;
    }
    TsanReleaseEvent(event);
    QCoreApplication::postEvent(outer, event, Qt::NormalEventPriority);
    return true;
}
