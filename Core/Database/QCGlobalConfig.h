#pragma once
// The core's one configuration object, g_Config: the tuning values of "sync.ini", the identity of
// the signed-in user with the machine's, the login's and the user's "config.ini", the device
// description sent with every request, the last configuration reply and the receiver of the
// core's notification events. It lives for the whole process and is read from every thread.
//
// Threads and locks. Every field belongs to one of these groups (the comment at each field names
// its group):
// - "tuning": written by the first Init only, before the engine and request threads start, and
//   read by them without a lock. Later Init calls leave them alone: the tuning file is read once
//   per process, so a repeated Init never rewrites a value that another thread may be reading.
// - "engine": written by the sync engine's thread (device description at its start, data-file
//   paths once the user's folders exist) before the readers of those values run; no lock.
// - "any thread": std::atomic, read and written by any thread without a lock.
// - "guarded by X": read under X in shared mode, written under X in exclusive mode, by this class
//   and by other subsystems that read the field directly. Locks are held for a field copy plus at
//   most one INI file access. The only nesting is pathsLock (shared) inside accountLock (shared);
//   no lock is taken twice by one thread. std::shared_mutex rather than QReadWriteLock because its
//   pthread implementation is visible to ThreadSanitizer.
// - The configuration reply sits behind GetConfigAck / SetConfigAck under a lock of its own, with
//   the thumbnail texts its parser stores (ThumbPicture, ThumbVideo, SetThumbs).
// Readers of a single guarded field use its accessor (GetUserName, Eid, Credential, ApiHost, ClientIp,
// GetSyncPath, SslFlag), which takes the right lock.
// User switches (ChangeUser, CleanUser, SetSyncPath, FirstSetEidConfig and the saves) are
// serialised with one another by a private mutex taken before any of the five locks.

#include "Database/ConfigRecords.h"
#include "Database/IniProfile.h"
#include "common/BuildConfig.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <shared_mutex>

class QObject;
class QCEventBase;

// The API host used when the tuning file names none (a build-time setting).
inline const QString DEFAULT_API_HOST = QStringLiteral(NIMBO_DEFAULT_API_HOST);
// The client version sent as "v".
inline const QString CLIENT_VERSION = QStringLiteral("1.0.0");

class QCGlobalConfig {
public:
    QCGlobalConfig();
    virtual ~QCGlobalConfig();
    QCGlobalConfig(const QCGlobalConfig&) = delete;
    QCGlobalConfig& operator=(const QCGlobalConfig&) = delete;

    // --- Set-up (the facade's thread, one call at a time) ---

    // Sets the receiver of notifications, the device type, the debug switch and, on the first
    // call, every tuning value; creates the application data folder (mode 0700), reads the
    // last login from the machine's "config.ini" and leaves the object without a user. When the
    // data folder cannot be made, the tuning values are still set, the paths stay empty and a
    // debug line says so.
    void Init(const QString& device_type, QObject* receiver);
    // Forgets the current user; tuning values, paths, device fields and receiver stay.
    void Uninit();
    // The debug-line switch of the whole core (CoreLog). Off unless the environment variable
    // NIMBO_DEBUG is set to a non-zero number when Init runs.
    bool IsDebug() const;
    // The user setting "ssl".
    bool SslFlag() const;
    // Whether host names are resolved through the DNS cache; true from Init on.
    bool UseDns() const;

    // Copy of the last successful configuration reply; any thread.
    GET_CONFIG_ACK GetConfigAck() const;
    // Replaces the configuration reply whole; readers see either the old or the new record.
    void SetConfigAck(const GET_CONFIG_ACK& ack);
    // The thumbnail extensions of the configuration reply ("thumb_picture", "thumb_video"),
    // kept beside it under its lock; any thread.
    QString ThumbPicture() const;
    QString ThumbVideo() const;
    void SetThumbs(const QString& picture, const QString& video);

    // Copies of guarded fields, each read under its own lock; any thread.
    QString Eid() const;        // accountLock
    QString Credential() const; // accountLock: pwd, the text "Q=..; T=..;"
    QString ApiHost() const;    // hostLock: the configured API host
    QString ClientIp() const;   // settingsLock

    // Posts a notification event to the receiver given to Init, to be delivered on the
    // receiver's thread; takes ownership of `event` in every case: without a receiver the event
    // is deleted and the result is false. Any thread.
    bool CallOuter(QCEventBase* event);

    // --- Account and user files (any thread) ---

    bool UserNotSet() const;
    QString GetUserName() const;
    // Switches to the user `qid` (ids compared ignoring case) and loads that user's files. An
    // empty `eid` takes the login file's "lasteid" when that file belongs to the same user.
    void ChangeUser(const QString& qid, int type, const QString& eid);
    // Forgets the user and the last-login values in memory, except lastpwd.
    void CleanUser();
    void SetPwd(const QString& pwd);
    void SetEid(const QString& eid);
    // Whether the credential text is kept on disk; the result of the save.
    bool SetAutoLogin(bool on);
    // The last login from the machine's file; false when there is none.
    bool GetLastUser(QString& qid, QString& credential, int& type) const;
    // Points the login file at `qid`'s; true when it names that user (ignoring case), with
    // `lasteid` its last enterprise id.
    bool IsUserConfiged(const QString& qid, QString& lasteid);
    // Folder of the user's data for (qid, eid), ending in "/", not created here; empty without an
    // application data folder. `type` takes no part. Ids differing only in ASCII case map to one
    // folder.
    QString GetUserDataPath(const QString& qid, int type, const QString& eid) const;
    // Folder of the login's file for `qid`, ending in "/"; empty without a data folder.
    QString GetUserQidDataPath(const QString& qid) const;
    QString GetSyncPath() const;
    // Sets and saves the sync folder (created with its parents, trailing separators dropped).
    // Refuses, with false and nothing changed, an empty path, the file-system root and relative
    // paths (none of which may name a sync folder) and a folder that cannot be made; otherwise
    // the result of the save.
    bool SetSyncPath(const QString& path);
    // After the first login into an enterprise: sets eid and lasteid, moves the sync folder one
    // level down into a folder named eid (when a sync folder is set), makes the user's data
    // folder and saves.
    void FirstSetEidConfig(const QString& eid);
    // Loads the current user's files into memory and checks the owner mark of the sync folder;
    // nothing without a user.
    void ReadConfig();
    // Writes the machine's, the login's and the user's files; false without a user or when any
    // write failed.
    bool SaveConfig();
    // Removes the current user's "filecache.db" with its SQLite side files.
    void DeleteUserDB();

    // --- Profile: one key of one INI file per call (any thread) ---

    // Section "user" of the user's file; empty text or 0 (reads) and false (writes) without a
    // user. A malformed number reads as 0.
    QString ReadUserProfile(const QString& key, const QString& def) const;
    int ReadUserProfileInt(const QString& key, int def) const;
    qint64 ReadUserProfileInt64(const QString& key, qint64 def) const;
    // Keys naming a user setting ("ssl", "tasks_up", ..., any letter case) also update the field
    // in memory (task counts clamped to 0..20) and are stored under their lower-case name.
    bool SaveUserProfile(const QString& key, const QString& value);
    bool SaveUserProfileInt(const QString& key, int value);
    bool SaveUserProfileInt64(const QString& key, qint64 value);
    // Section "global" of the machine's file.
    QString ReadGlobalProfile(const QString& key, const QString& def) const;
    int ReadGlobalProfileInt(const QString& key, int def) const;
    bool SaveGlobalProfile(const QString& key, const QString& value);
    // "thumb" and "thumb_pul" (any letter case) only set the switch in memory and write nothing.
    bool SaveGlobalProfileInt(const QString& key, int value);
    // Section "user" of the login's file.
    QString ReadLoginProfile(const QString& key, const QString& def) const;
    int ReadLoginProfileInt(const QString& key, int def) const;
    bool SaveLoginProfile(const QString& key, const QString& value);
    // False without a user.
    bool SaveLoginProfileInt(const QString& key, int value);
    // Removes the user's "config.ini" of (qid, eid); true when it was removed.
    bool DeleteUserProfile(const QString& qid, int type, const QString& eid);
    // The test log "test.ini" in the working directory, written only while test_mod is on;
    // true when test_mod is off or the writes succeeded.
    bool TestLogChangedFlag();
    bool TestLogStatusChanged(int status, const QString& description);

    // --- Fields, in the order of the configuration's layout ---

    QString syncpath;            // guarded by pathsLock; no trailing separator
    QString qid;                 // guarded by accountLock; empty: no user is set
    QString eid;                 // guarded by accountLock
    qint32 type = 0;             // guarded by accountLock
    QString pwd;                 // guarded by accountLock; the credential text "Q=..; T=..;"
    qint32 ssl = 0;              // guarded by settingsLock
    qint32 vfolder = 0;          // guarded by settingsLock
    qint32 speed_limit_up = 0;   // guarded by settingsLock
    qint32 speed_limit_down = 0; // guarded by settingsLock
    qint32 tasks_up = 0;         // guarded by settingsLock; 0..20, 0: use max_upload_req
    qint32 tasks_down = 0;       // guarded by settingsLock; 0..20, 0: use max_download_req
    // Tuning: milliseconds, counts and seconds for the sync engine and the transfer engine.
    qint32 change_execute_delay = 0;
    qint32 change_execute_delay_min = 0;
    qint32 change_execute_delay_mincount = 0;
    qint32 check_ver_interva = 0;
    qint32 comet_incr_interva = 0;
    qint32 max_del_share = 0; // tuning; percent of the journal's files one cloud cycle may remove
    qint32 calc_space_interva = 0;
    qint32 fast_up_filesize = 0;
    qint64 max_file_mb = 0;              // tuning
    qint64 max_upload_io_mb = 0;         // tuning
    qint32 min_upload_block_queue = 0;   // tuning
    qint32 min_download_block_queue = 0; // tuning
    qint32 max_upload_req = 0;           // tuning
    qint32 max_download_req = 0;         // tuning
    qint32 disk_busy_speed_mb = 0;       // tuning
    qint32 disk_busy_big_file_mb = 0;    // tuning
    qint32 auto_save_db = 0;             // tuning; seconds between database commits, 0 = never
    qint32 http_keep_alive = 0;          // tuning
    qint32 http_gzip = 0;                // tuning
    qint32 trans_encrypt = 0;            // tuning
    std::atomic<bool> thumb{false};      // any thread; set through SaveGlobalProfileInt
    std::atomic<bool> thumb_pul{false};  // any thread; set through SaveGlobalProfileInt
    // The debug switch is CoreLog's process-wide one: see IsDebug.
    QString lastqid;      // guarded by settingsLock
    QString lasteid;      // guarded by settingsLock
    QString lastpwd;      // guarded by settingsLock
    qint32 lasttype = 0;  // guarded by settingsLock
    qint32 autologin = 0; // guarded by settingsLock; non-zero: credential texts reach the disk
    mutable std::shared_mutex outerLock;
    mutable std::shared_mutex settingsLock;
    mutable std::shared_mutex hostLock;
    mutable std::shared_mutex accountLock;
    mutable std::shared_mutex pathsLock;
    QObject* outer = nullptr; // guarded by outerLock; not owned
    QString devid;            // engine; nothing fills it yet
    QString devtype;          // tuning (set by the first Init)
    QString devname;          // engine; nothing fills it yet
    QString pid;              // tuning; "home"
    QString v;                // tuning; CLIENT_VERSION
    QString os_name;          // engine
    QString os_version;       // engine
    QString kernel_version;   // engine
    // The configuration reply (config_ack) is private: GetConfigAck / SetConfigAck.
    INI_HOST api_host;    // guarded by hostLock; host: the configured API host
    QString appdata_path; // guarded by pathsLock; ends in "/"; empty when it could not be made
    QString db_path;      // engine; the user's "filecache.db"
    QString nodes_path;   // engine; the user's "nodes_page.dat"
    QString history_path; // engine; the user's "history.dat"
    // Finished-task statistics of the sync engine and the transfer code.
    std::atomic<quint32> finish_task_count{0};
    std::atomic<quint32> finish_task_have_count{0};
    std::atomic<qint64> finish_task_have_size{0};
    std::atomic<qint64> pending_bytes{0};    // bytes since the statistics were last saved
    std::atomic<quint32> pending_seconds{0}; // fallback duration of the saved-time statistic
    std::atomic<quint32> finish_task_save_time{0};
    std::atomic<quint32> finish_task_last_uspeed{0}; // 200 after Init
    bool deny_proxy = false;                         // guarded by settingsLock
    qint32 notproxy_speed = 0;                       // guarded by settingsLock; at least 10, else 170
    QString client_ip;              // guarded by settingsLock; sent as "client_ip" when not empty
    qint32 test_mod = 0;            // guarded by settingsLock; non-zero: write the test log
    qint32 getallnodes_page = 0;    // tuning; at least 1
    qint32 zip_lv = 0;              // tuning; 0 = no compression
    QString zip_blacklist;          // tuning; extensions never compressed, each closed by "|"
    qint32 zip_minrate = 0;         // tuning
    qint32 zip_minsize = 0;         // tuning
    QString temp_list;              // tuning; each extension closed by "|"
    bool offline_delete_ok = false; // guarded by settingsLock
    bool offline_delete = false;    // tuning
    qint32 transfer_https_mode = 0; // tuning; 2 turns HTTPS off for block transfers
    QString user_config_file;       // guarded by pathsLock
    QString machine_config_file;    // guarded by pathsLock
    QString tuning_file;            // guarded by pathsLock
    QString login_config_file;      // guarded by pathsLock
    qint32 use_dns = 0;             // tuning
    bool use_dns_flag = false;      // guarded by settingsLock; what UseDns reports

private:
    void LoadTuning(const QString& file);
    // The *Locked helpers expect m_userSwitchMutex to be held.
    void ChangeUserLocked(const QString& qid, int type, const QString& eid);
    void CleanUserLocked();
    void ReadConfigLocked();
    bool SaveConfigLocked();
    bool IsUserConfigedLocked(const QString& qid, QString& lasteid);
    // Folder of a digest name inside appdata_path; takes pathsLock shared.
    QString DataFolder(const QString& name) const;

    bool m_tuningLoaded = false; // written and read by Init only
    mutable std::shared_mutex m_configAckLock;
    GET_CONFIG_ACK m_configAck;   // guarded by m_configAckLock
    QString m_thumbPicture;       // guarded by m_configAckLock
    QString m_thumbVideo;         // guarded by m_configAckLock
    std::mutex m_userSwitchMutex; // serialises user switches and saves; taken before the five locks
};

extern QCGlobalConfig g_Config;
