#pragma once
// Small shared records and the enumerations every subsystem speaks in, with their fixed names.
// Plain values: copyable and movable member by member.

#include "common/FileInfo.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <memory>
#include <vector>

// State of one file as shown to the user. 7 has no name.
enum FILE_STATUS : qint32 {
    FILE_STATUS_UNKNOW = 0,
    FILE_STATUS_IGNORE = 1,
    FILE_STATUS_SYNCED = 2,
    FILE_STATUS_UPING = 3,
    FILE_STATUS_ERR = 4,
    FILE_STATUS_DOWNING = 5,
    FILE_STATUS_PAUSE = 6,
    FILE_STATUS_CHECKING = 8,
    FILE_STATUS_WAIT_UP = 9,
    FILE_STATUS_WAIT_DOWN = 10,
    FILE_STATUS_NOT_DOWN = 11,
};

// State of the sync engine.
enum LOCAL_STATUS : qint32 {
    LOCAL_STATUS_WAIT_LOGIN = 0,
    LOCAL_STATUS_LOGINING = 1,
    LOCAL_STATUS_LOGIN_OK = 2,
    LOCAL_STATUS_LOGIN_RETRY = 3,
    LOCAL_STATUS_CHECK_CLOUD = 4,
    LOCAL_STATUS_CHECK_OFFLINE = 5,
    LOCAL_STATUS_MONITOR = 6, // shown as sync complete
    LOCAL_STATUS_OK = 7,      // shown as transfers paused
    LOCAL_STATUS_STOP = 8,
};

// The status the user interface is shown (SYNC_INFO): the engine's LOCAL_STATUS mapped by
// QCLocalStoreMgr::QueryStatus, or UI_STATUS_ERROR while an error is recorded.
enum UI_STATUS : qint32 {
    UI_STATUS_LOGINING = 0,
    UI_STATUS_LOGIN_OK = 1,
    UI_STATUS_LOGIN_RETRY = 2,
    UI_STATUS_WAIT_LOGIN = 3,
    UI_STATUS_CHECK_CLOUD = 4,
    UI_STATUS_SYNCING = 5, // comparing offline changes or monitoring
    UI_STATUS_SYNCED = 6,  // in step
    UI_STATUS_STOPPED = 7,
    UI_STATUS_ERROR = 8,
};

enum SYNC_CHANGE_TYPE : qint32 {
    SYNC_CHANGE_ADD = 0,
    SYNC_CHANGE_MOD = 1,
    SYNC_CHANGE_REN = 2,
    SYNC_CHANGE_DEL = 3,
    SYNC_CHANGE_NOT_FOUND = 4,
};

// Every value other than HASH_MD5 selects SHA-1.
enum HASH_TYPE : qint32 {
    HASH_MD5 = 0,
    HASH_SHA1 = 1,
};

enum TASK_LIST_TYPE : qint32 {
    TASK_LIST_RUNNING = 0,
    TASK_LIST_FINISHED = 1,
};

enum EJumpUrlType : qint32 {
    JUMP_PLAIN = 0,
    JUMP_ENTERPRISE = 1, // into an enterprise
    JUMP_NODE_ID = 2,    // to a node by id
    JUMP_NODE_PATH = 3,  // to a node by path
};

// The list of the enterprise list reply an enterprise stood in.
enum ENTERPRISE_TYPE : qint32 {
    ENTERPRISE_OWNER = 1,
    ENTERPRISE_MEMBER = 2,
    ENTERPRISE_OVERDUE = 3,
    ENTERPRISE_NOT_PAY = 4,
};

// The user's requests to the sync engine.
enum REQUEST_TYPE : qint32 {
    REQUEST_LOGIN = 0,
    REQUEST_LOGOUT = 1,
    REQUEST_START_SYNC = 2,
    REQUEST_STOP_SYNC = 3,
    REQUEST_REFRESH = 4,
    REQUEST_CACHE_CLEAN = 5,
};

// The status snapshot of the sync engine, carried by the status and speed events.
struct SYNC_INFO {
    UI_STATUS status = UI_STATUS_LOGINING;
    bool synced_last_pass = false;
    qint32 down_count = 0;
    qint32 down_speed = 0;
    qint32 up_count = 0;
    qint32 up_speed = 0;
    qint32 left_seconds = 0;
    quint32 percent = 0;    // progress of the transfers of the running check; 0 outside statuses 4 and 5
    quint64 total_size = 0; // quota in bytes
    quint64 free_size = 0;
    quint64 used_size = 0;
    float used_percent = 0.0f; // used_size / total_size * 100, 0 when total_size is 0
    quint64 ent_total_size = 0;
    quint64 ent_used_size = 0;
    qint32 error_type = 0; // a SYNC_ERROR type
    QString error_type_text;
    qint32 error_code = 0;
    QString error_item;
    quint64 count_node = 0;   // nodes of the cloud tree
    quint64 fetched_node = 0; // nodes handled so far
    quint64 left_size = 0;
    qint32 paused_down = 0;
    qint32 paused_up = 0;
    qint32 detail_counter1 = 0;
    qint32 detail_counter2 = 0;
    quint32 flags = 0; // bit 0 "is_person", bit 1 "is_switch", bit 2 the status-detail flag
    quint64 down_average_size = 0;
    quint64 up_average_size = 0;
    QString online_service; // the user's online-service page key ("online_service" of the user details)
};

// A queued download or download cancellation. Equal when the paths are equal ignoring case.
struct DOWNLOAD_REQUEST {
    QString path;             // local path of the cloud item in the mirror
    QString target;           // folder outside the mirror to copy to; empty for the mirror only
    bool to_cache = false;    // set when target is empty
    bool remove_task = false; // a cancellation also drops the failed-task entry and temporary file

    bool operator==(const DOWNLOAD_REQUEST& other) const {
        return QString::compare(path, other.path, Qt::CaseInsensitive) == 0;
    }
};

struct ENTERPRISE_ITEM {
    QString eid;
    QString name;
    bool is_vip = false;
    ENTERPRISE_TYPE type = ENTERPRISE_OWNER;
};

struct ENTERPRISE_INFO {
    std::vector<ENTERPRISE_ITEM> items; // owned ones first, reply order within each list
    qint32 max_num_created_ent = 0;
    bool can_create_more = false;

    void Reset() {
        items.clear();
        max_num_created_ent = 0;
        can_create_more = false;
    }
};

// One entry of a transfer list.
struct TransferInfo : FileInfo {
    explicit TransferInfo(const FileInfo& info) : FileInfo(info) {}
    QString local_path;
    bool is_download = false;
    quint32 speed = 0; // bytes per millisecond
};

// A snapshot of one transfer list.
struct TASKLIST_NOTIFY {
    explicit TASKLIST_NOTIFY(TASK_LIST_TYPE listType) : type(listType) {}
    std::vector<std::shared_ptr<TransferInfo>> tasks; // an entry may be empty: readers skip it
    TASK_LIST_TYPE type;
    quint32 count = 0; // entries placed in tasks
    char text[1024] = {};
    // Figures the sync engine gathers for itself.
    quint32 list_size = 0;        // entries of the list in all (running: the three lists' sizes)
    quint32 recorded_count = 0;   // files the transfers counted as finished
    quint64 finished_bytes = 0;   // bytes of those files
    quint32 finished_seconds = 0; // time the transfers used
    quint32 running_count = 0;    // running entries (at most 0x168 of each list)
    quint32 finished_count = 0;   // finished entries (at most 0x168)
};

// Parameters of a request for a web page address.
struct JumpUrlParam {
    JumpUrlParam(EJumpUrlType jumpType, const QString& owner, const QString& what)
        : type(jumpType), item(what), owner_id(owner) {}
    EJumpUrlType type;
    QString item;     // type 2: node id, type 3: node path
    QString owner_id; // type 1: enterprise id, types 2 and 3: the node owner's id
};

// Diagnostics of a failed request; the first text names the API command.
struct CMD_STAT_DEBUG {
    QString command;
    QString text2;
    QString text3;
};

// Summary of a committed batch of automatic uploads.
struct AUTOCOMMIT_NOTIFY {
    quint32 pending_seconds = 0;
    quint32 have_count = 0;
    qint64 have_size = 0;
    quint32 total_seconds = 0;
    char text[1024] = {};
};

// Number of elements of a fixed-size array, from its type.
template <typename T, std::size_t N>
constexpr std::size_t ArraySize(const T (&)[N]) {
    return N;
}

QString GetShellStatusString(qint32 status);
QByteArray GetLocalStatusString(qint32 status);
QString GetSyncTypeString(qint32 type);
QString GetSyncErrTypeString(int type);
// The SYNC_ERROR kind of a failed file operation's errno: DiskFull for a full disk or quota
// (ENOSPC, EDQUOT, EFBIG), NameTooLong, NoPerm (EACCES, EPERM), DiskWrite for anything else
// (EROFS included).
int SyncErrorOfErrno(int error);
