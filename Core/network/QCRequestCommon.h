#pragma once
// The process-wide client of the service's HTTP API. It turns a command number and its business
// parameters into a ready NetworkClient: it chooses the host and the fallback addresses by the
// command's host class, builds the signed common URL arguments, the headers and the cookie, numbers
// the request with a task id and keeps the client in a registry until its reply is consumed. One
// builder per API command sits on top (Do...); ParseResponse is the reply side.
//
// Ownership: a registered client is shared. The registry holds one reference from creation until
// CancelTask or Clear; whoever performs the request or parses its reply holds another, so Clear
// never frees a client under a running request (it stops the running ones instead). Besides, a
// weak list keeps every client made here, so that Clear stops exactly these: other owners of a
// NetworkClient in the process (the application's account-service requests) are not touched.
//
// Threads: every operation runs on the calling thread and any thread may call it; builders block
// for as long as their transfer lasts. requestsLock guards the registry, paramLock qid/eid/token;
// neither is held during network activity, and no path holds both. The task counter is atomic.

#include "network/NetworkClient.h"
#include "network/QCSignRequest.h"
#include "network/RequestRecords.h"

#include "common/SharedTypes.h"

#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QWeakPointer>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

class QCRequestCommon {
public:
    // The host class of a command.
    enum REQUEST_TYPE {
        CONFIG_HOST = 0, // "User.getConfig"
        API_HOST = 1,
        TRANSFER_HOST = 2, // block transfers, named by the caller
    };

    static QCRequestCommon* GetInstance();
    virtual ~QCRequestCommon();
    QCRequestCommon(const QCRequestCommon&) = delete;
    QCRequestCommon& operator=(const QCRequestCommon&) = delete;

    // Stops every client made here that exists now (running transfers and retry loops end; those
    // of other owners go on) and empties the registry. Clients still held elsewhere are freed by
    // their last holder. True.
    bool Clear();
    // Account id, enterprise id and login token sent with every later request.
    void SetParam(const QString& qid, const QString& eid, const QString& token);
    QString ParamQid() const;
    QString ParamEid() const;
    QString ParamToken() const;

    // A new task id: consecutive across all threads, never 0 (0 means failure to every caller).
    unsigned int GetTaskID();
    // The registered client of `id`, or null when the id is not (or no longer) registered.
    QSharedPointer<NetworkClient> GetRequestByID(unsigned int id);
    // Forgets `id`; true when it was registered. A running request is not aborted.
    bool CancelTask(unsigned int id);

    // Prepares and registers a request on the configuration or API host; its task id, or 0 when
    // there is no host to send it to yet (no configuration reply). Adds "token" (but for the
    // configuration and login commands), "q" and "t" to `params`.
    unsigned int CreateRequestInstance(int command, QCSignRequest& params);
    // The same on a transfer host named by the caller, with its comma-separated fallback
    // addresses; 0 when `host` is empty.
    unsigned int CreateManualRequestInstance(int command, QCSignRequest& params, const QString& host,
                                             const QString& addresses, bool ssl);
    // Completes the common arguments (which hold "method") and returns the request URL.
    QString GetUrlCommon(const QString& host, QCSignRequest& common, bool ssl);
    // Chooses the host and fills the fallback addresses (empty and malformed entries left out);
    // sets the fixed headers. Returns the host, empty when there is none.
    QString InitCommonArguments(const QSharedPointer<NetworkClient>& client, QStringList& addresses,
                                REQUEST_TYPE type, const QString& host, const QString& addressText);
    static QString MakeIntfUrl(const QString& host, const QString& query, bool ssl);
    // `path` with a final "/" when `folder` is set ("/" for an empty path); else unchanged.
    static QString ConvertServerPath(const QString& path, bool folder);
    static REQUEST_TYPE GetRequestType(int command);

    // --- Builders. Task id, 0 on failure. -----------------------------------------------------
    // Prepares, performs one GET and, when `notify`, announces the reply to the engine with a
    // process-response event, or its failure with the engine's OnRequestFailed (0 is returned
    // then); without `notify` the entry stays for the caller to parse and cancel.
    unsigned int DoEasyGet(int command, QCSignRequest& params, bool notify);
    unsigned int DoGetConfig();
    unsigned int DoLogin();
    unsigned int DoGetUserDetail(bool space, bool detailType);
    unsigned int DoGetVersion(bool versionType);
    unsigned int DoGetEnterpriseList();
    // `notify` false: the reply is the caller's to read (GetRequestByID), no handler hears of it.
    unsigned int DoGetBgsp(bool notify = true);
    unsigned int DoGetGlobalNodes(GLOBAL_NODES_REQ& request, bool notify = true);
    unsigned int DoGetIncrGlobal(INCR_GLOBAL_REQ& request, bool notify = true);
    unsigned int DoCreateDir(CREATEDIR_REQ& request);
    unsigned int DoDelete(DELETE_REQ& request);
    unsigned int DoRename(RENAME_REQ& request);
    unsigned int DoMove(RENAME_REQ& request);
    // Sends only the target's last name and leaves it in `request.new_path`.
    unsigned int DoCopy(RENAME_REQ& request);
    unsigned int GetJumpUrl(const QString& destination, const JumpUrlParam& param);
    unsigned int DoDownloadInfo(DL_INFO_REQ& request);
    unsigned int DoUploadInfo(FILE_INFO& file);
    // Registered, not performed: the caller posts it.
    unsigned int DoUploadAdd(UP_ADD_REQ& request, bool unused);
    // Transfer host. Only DoDownloadMeta performs its request (one GET, outcome not examined);
    // the others are registered for the transfer engine to perform.
    unsigned int DoDownloadMeta(DL_META_REQ& request, const QString& host, const QString& addresses,
                                bool ssl);
    unsigned int DoDownloadBlock(DL_DATA_REQ& request, const QString& host, const QString& addresses,
                                 bool compress, unsigned int& unused, bool ssl);
    unsigned int DoUploadMeta(UP_EX_REQ& request, const QString& host, const QString& addresses, bool ssl);
    unsigned int DoUploadBlock(UP_BLOCK_REQ& request, const QString& host, const QString& addresses,
                               unsigned int& unused, bool ssl);
    unsigned int DoUploadCommit(UP_COMMIT_REQ& request, const QString& host, const QString& addresses,
                                bool ssl);
    unsigned int DoFastUpload(UP_FAST_REQ& request, const QString& host, const QString& addresses, bool ssl);

    // --- Replies. -------------------------------------------------------------------------------
    // The errno of the envelope handed to a transfer task, or to the jump-URL handler, when the
    // reply was not a JSON object at all.
    static constexpr int ERRNO_BAD_REPLY = -1;

    // Consumes the reply of a finished request: checks the envelope, maps a service error, and
    // hands the payload, or the failure, to the engine's handler of the command, on the calling
    // thread: one call per reply (see QCResponseDispatch.cpp). The caller keeps (and afterwards
    // cancels) the registry entry.
    static void ParseResponse(int command, unsigned int id, QSharedPointer<NetworkClient> client);
    // The same on a reply body; `type`, `count` and `fromComet` are the request's own parameters
    // of those names (0 when absent), which some handlers are told.
    static void DispatchReply(int command, unsigned int id, QByteArray body, int type, int count,
                              int fromComet);
    // Maps a service error number: true when it has been dealt with here (reported, or a new login
    // started) and the reply must not be dispatched as a result; false when it is still to be
    // dispatched. Writes the engine's error kind into `code` where a rule sets one.
    static bool ProcessError(int command, int& code, int serviceErrno, const QString& errmsg);
    // Login replies: every numeric "eid" member becomes a string of the same digits, so that no id
    // loses digits as a double.
    static QByteArray QuoteNumericEid(const QByteArray& body);

private:
    QCRequestCommon();
    // A client of this API client: Clear stops it.
    QSharedPointer<NetworkClient> NewClient();
    // Registers `client` under a new task id.
    unsigned int Register(const QSharedPointer<NetworkClient>& client);
    // Appends "q" and "t" from the stored credential and sets the cookie header.
    void AddCredentialCookie(const QSharedPointer<NetworkClient>& client, QCSignRequest& params);

    std::atomic<quint32> m_taskCounter{0}; // the last id handed out
    mutable std::mutex m_paramLock;
    QString m_qid;   // guarded by m_paramLock
    QString m_eid;   // guarded by m_paramLock
    QString m_token; // guarded by m_paramLock
    std::mutex m_requestsLock;
    std::map<quint32, QSharedPointer<NetworkClient>> m_requests; // guarded by m_requestsLock
    // Every client made here and maybe still alive; expired entries are dropped when the list
    // reaches m_pruneAt. Guarded by m_clientsLock, held only to make a client or take the list.
    static constexpr size_t kPruneMin = 64;
    std::mutex m_clientsLock;
    std::vector<QWeakPointer<NetworkClient>> m_clients;
    size_t m_pruneAt = kPruneMin;
};
