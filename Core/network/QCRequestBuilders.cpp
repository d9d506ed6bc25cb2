// The request builders of QCRequestCommon: one per API command, each turning its request record
// into the command's business parameters (they travel in the cookie) and, for a few commands,
// form fields (in the body of the POST that the caller performs).
#include "network/QCRequestCommon.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "network/QCResponseHandler.h"

namespace {

QString Flag(bool on) {
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

std::string Utf8(const QString& text) {
    return text.toStdString();
}

QString Number(quint64 value) {
    return QString::number(value);
}

} // namespace

unsigned int QCRequestCommon::DoEasyGet(int command, QCSignRequest& params, bool notify) {
    const unsigned int id = CreateRequestInstance(command, params);
    const QSharedPointer<NetworkClient> client = id ? GetRequestByID(id) : QSharedPointer<NetworkClient>();
    if (client && client->doGet(QString())) {
        if (notify)
            ResponseHandlerOrDrop().SendCoreProcEvent(command, id);
        return id;
    }
    if (id)
        CancelTask(id);
    // An announced request ends in one call to the engine whatever happens: whoever waits for its
    // reply hears of the failure too. Without notify the caller learns it from the result.
    if (notify)
        ResponseHandlerOrDrop().OnRequestFailed(command, id, SYNC_ERROR::Network,
                                                client ? client->getCurlResult() : int(CURLE_URL_MALFORMAT));
    return 0;
}

unsigned int QCRequestCommon::DoGetConfig() {
    CoreDebug("[req] GetConfig\n");
    QCSignRequest params;
    return DoEasyGet(CMD::GetConfig, params, true);
}

unsigned int QCRequestCommon::DoLogin() {
    CoreDebug("[req] Login\n");
    QString qid;
    QString eid;
    {
        std::shared_lock<std::shared_mutex> lock(g_Config.accountLock);
        qid = g_Config.qid;
        eid = g_Config.eid;
    }
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_qid = qid;
        m_eid = eid;
    }
    QCSignRequest params;
    params.Add(QStringLiteral("sv"), QStringLiteral("1"));
    return DoEasyGet(CMD::Login, params, true);
}

unsigned int QCRequestCommon::DoGetUserDetail(bool space, bool detailType) {
    QCSignRequest params;
    if (space) {
        CoreDebug("[req] GetUserSpace\n");
        return DoEasyGet(CMD::GetUserSpace, params, true);
    }
    CoreDebug("[req] GetUserDetail\n");
    params.Add(QStringLiteral("type"), Flag(detailType));
    return DoEasyGet(CMD::GetUserDetail, params, true);
}

unsigned int QCRequestCommon::DoGetVersion(bool versionType) {
    CoreDebug("[req] getVersion\n");
    QCSignRequest params;
    params.Add(QStringLiteral("type"), Flag(versionType));
    return DoEasyGet(CMD::GetVersion, params, true);
}

unsigned int QCRequestCommon::DoGetEnterpriseList() {
    CoreDebug("[req] getEnterpriseList\n");
    QCSignRequest params;
    return DoEasyGet(CMD::GetEnterpriseList, params, true);
}

unsigned int QCRequestCommon::DoGetBgsp(bool notify) {
    CoreDebug("[req] GetBgsp\n");
    QCSignRequest params;
    return DoEasyGet(CMD::GetBgsp, params, notify);
}

unsigned int QCRequestCommon::DoGetGlobalNodes(GLOBAL_NODES_REQ& request, bool notify) {
    CoreDebug("[req] GetGlobalNodes\n");
    QCSignRequest params;
    params.Add(QStringLiteral("bgsp"), request.bgsp);
    params.Add(QStringLiteral("gsp"), request.gsp);
    params.Add(QStringLiteral("count"), request.count);
    if (!request.spnid.isEmpty())
        params.Add(QStringLiteral("spnid"), request.spnid);
    return DoEasyGet(CMD::GetGlobalNodes, params, notify);
}

unsigned int QCRequestCommon::DoGetIncrGlobal(INCR_GLOBAL_REQ& request, bool notify) {
    CoreDebug("[req] GetIncrGlobal\n");
    QCSignRequest params;
    params.Add(QStringLiteral("gsp"), request.gsp);
    if (!request.spnid.isEmpty())
        params.Add(QStringLiteral("spnid"), request.spnid);
    params.Add(QStringLiteral("from_comet"), Flag(request.from_comet));
    params.Add(QStringLiteral("uv"), request.uv);
    params.Add(QStringLiteral("count"), request.count);
    return DoEasyGet(CMD::GetIncrGlobal, params, notify);
}

unsigned int QCRequestCommon::DoCreateDir(CREATEDIR_REQ& request) {
    CoreDebug("[req] CreateDir %s\n", qUtf8Printable(request.path));
    QCSignRequest params;
    params.Add(QStringLiteral("fname"), ConvertServerPath(request.path, true));
    params.Add(QStringLiteral("fctime"), request.ctime);
    params.Add(QStringLiteral("fmtime"), request.mtime);
    params.Add(QStringLiteral("fattr"), request.attrs);
    if (!request.owner_qid.isEmpty())
        params.Add(QStringLiteral("owner_qid"), request.owner_qid);
    return DoEasyGet(CMD::CreateDir, params, false);
}

unsigned int QCRequestCommon::DoDelete(DELETE_REQ& request) {
    CoreDebug("[req] DeleteNode %s\n", qUtf8Printable(request.path));
    QCSignRequest params;
    params.Add(QStringLiteral("fname"), ConvertServerPath(request.path, request.is_dir));
    params.Add(QStringLiteral("owner_qid"), request.owner_qid);
    return DoEasyGet(CMD::DeleteNode, params, false);
}

unsigned int QCRequestCommon::DoRename(RENAME_REQ& request) {
    CoreDebug("[req] rename %s -> %s\n", qUtf8Printable(request.old_path), qUtf8Printable(request.new_path));
    QCSignRequest params;
    params.Add(QStringLiteral("src_name"), ConvertServerPath(request.old_path, request.is_dir));
    params.Add(QStringLiteral("new_name"), ConvertServerPath(request.new_path, request.is_dir));
    params.Add(QStringLiteral("owner_qid"), request.owner_qid);
    return DoEasyGet(CMD::Rename, params, false);
}

unsigned int QCRequestCommon::DoMove(RENAME_REQ& request) {
    CoreDebug("[req] move %s -> %s\n", qUtf8Printable(request.old_path), qUtf8Printable(request.new_path));
    QCSignRequest params;
    params.Add(QStringLiteral("src_name"), ConvertServerPath(request.old_path, request.is_dir));
    params.Add(QStringLiteral("new_name"), ConvertServerPath(request.new_path, request.is_dir));
    return DoEasyGet(CMD::Move, params, false);
}

unsigned int QCRequestCommon::DoCopy(RENAME_REQ& request) {
    CoreDebug("[req] copy %s -> %s\n", qUtf8Printable(request.old_path), qUtf8Printable(request.new_path));
    const QString qid = ParamQid();
    QCSignRequest params;
    params.Add(QStringLiteral("src_name"), ConvertServerPath(request.old_path, request.is_dir));
    params.Add(QStringLiteral("new_name"), GetOnlyFilename(request.new_path));
    const QString parent = GetParentPath(request.new_path);
    request.new_path = GetOnlyFilename(request.new_path);
    params.Add(QStringLiteral("dest"), ConvertServerPath(parent, true));
    params.Add(QStringLiteral("owner_qid"), request.owner_qid.isEmpty() ? qid : request.owner_qid);
    params.Add(QStringLiteral("new_qid"), request.new_qid.isEmpty() ? qid : request.new_qid);
    return DoEasyGet(CMD::Copy, params, true);
}

unsigned int QCRequestCommon::GetJumpUrl(const QString& destination, const JumpUrlParam& param) {
    CoreDebug("[req] GetJumpUrl\n");
    QCSignRequest params;
    params.Add(QStringLiteral("qid"), ParamQid());
    params.Add(QStringLiteral("dest_addr"), destination);
    switch (param.type) {
    case JUMP_PLAIN:
        break;
    case JUMP_ENTERPRISE:
        params.Add(QStringLiteral("jump_eid"), param.owner_id);
        break;
    case JUMP_NODE_ID:
        params.Add(QStringLiteral("owner_qid"), param.owner_id);
        params.Add(QStringLiteral("nid"), param.item);
        break;
    case JUMP_NODE_PATH:
        params.Add(QStringLiteral("owner_qid"), param.owner_id);
        params.Add(QStringLiteral("path"), param.item);
        break;
    default:
        params.Add(QStringLiteral("owner_qid"), param.owner_id);
        break;
    }
    return DoEasyGet(CMD::GetJumpUrl, params, true);
}

unsigned int QCRequestCommon::DoDownloadInfo(DL_INFO_REQ& request) {
    CoreDebug("[req] DownloadInfo %s, nid:%s\n", qUtf8Printable(request.path), qUtf8Printable(request.nid));
    QCSignRequest params;
    params.Add(QStringLiteral("fpath"), request.path);
    params.Add(QStringLiteral("nid"), request.nid);
    params.Add(QStringLiteral("owner_qid"), request.owner_qid);
    return DoEasyGet(CMD::DownloadInfo, params, false);
}

unsigned int QCRequestCommon::DoUploadInfo(FILE_INFO& file) {
    const QString path = ConvertServerPath(file.path, false);
    CoreDebug("[req] UploadInfo %s\n", qUtf8Printable(path));
    QCSignRequest params;
    params.Add(QStringLiteral("fname"), path);
    params.Add(QStringLiteral("fhash"), file.file_hash);
    params.Add(QStringLiteral("fsize"), Number(file.size));
    params.Add(QStringLiteral("fctime"), file.ctime);
    params.Add(QStringLiteral("fmtime"), file.mtime);
    params.Add(QStringLiteral("fattr"), file.attrs);
    // "fsum" lets the service check that these values belong to this account and enterprise.
    QCSignRequest check;
    check.Add(QStringLiteral("qid"), ParamQid());
    check.Add(QStringLiteral("eid"), ParamEid());
    check.Add(QStringLiteral("fhash"), file.file_hash);
    check.Add(QStringLiteral("fname"), path);
    check.Add(QStringLiteral("fsize"), Number(file.size));
    params.Add(QStringLiteral("fsum"), check.GetSign(QString()));
    return DoEasyGet(CMD::UploadInfo, params, false);
}

unsigned int QCRequestCommon::DoUploadAdd(UP_ADD_REQ& request, bool) {
    const QString path = ConvertServerPath(request.file.path, false);
    QCSignRequest params;
    params.Add(QStringLiteral("tk"), request.token);
    params.Add(QStringLiteral("etk"), request.etk);
    params.Add(QStringLiteral("owner_qid"), request.owner_qid);
    const unsigned int id = CreateRequestInstance(CMD::UploadAdd, params);
    if (const QSharedPointer<NetworkClient> client = GetRequestByID(id))
        client->addQueryParam("fname", Utf8(path));
    return id;
}

unsigned int QCRequestCommon::DoDownloadMeta(DL_META_REQ& request, const QString& host,
                                             const QString& addresses, bool ssl) {
    CoreDebug("[req] DownloadMeta hash: %s, nid: %s\n", qUtf8Printable(request.file_hash),
              qUtf8Printable(request.nid));
    QCSignRequest params;
    params.Add(QStringLiteral("fhash"), request.file_hash);
    params.Add(QStringLiteral("nid"), request.nid);
    params.Add(QStringLiteral("dt"), request.dt);
    const unsigned int id = CreateManualRequestInstance(CMD::DownloadMeta, params, host, addresses, ssl);
    if (const QSharedPointer<NetworkClient> client = GetRequestByID(id))
        client->doGet(QString()); // the caller reads the outcome from the client
    return id;
}

unsigned int QCRequestCommon::DoDownloadBlock(DL_DATA_REQ& request, const QString& host,
                                              const QString& addresses, bool compress, unsigned int&,
                                              bool ssl) {
    const bool encrypt = g_Config.trans_encrypt != 0 && !ssl;
    const bool compressed = compress && request.block_size >= 1025;
    CoreDebug("[req] DownloadBlock block id: %s, encrypt=%d, compress=%d\n", qUtf8Printable(request.bhash),
              int(encrypt), int(compressed));
    QCSignRequest params;
    params.Add(QStringLiteral("bhash"), request.bhash);
    params.Add(QStringLiteral("dt"), request.dt);
    params.Add(QStringLiteral("open_app_id"), request.app_id);
    if (encrypt)
        params.Add(QStringLiteral("encrypt"), QStringLiteral("2"));
    if (compressed)
        params.Add(QStringLiteral("compress"), QStringLiteral("1"));
    const unsigned int id = CreateManualRequestInstance(CMD::DownloadBlock, params, host, addresses, ssl);
    if (const QSharedPointer<NetworkClient> client = GetRequestByID(id)) {
        client->setBlockTransfer();
        if (request.block_size > 0)
            client->setReplyLimit(qint64(request.block_size) + NetworkClient::kBlockReplySlack);
    }
    return id;
}

unsigned int QCRequestCommon::DoUploadMeta(UP_EX_REQ&, const QString& host, const QString& addresses,
                                           bool ssl) {
    QCSignRequest params; // the transfer engine adds the block list as form fields
    return CreateManualRequestInstance(CMD::UploadMeta, params, host, addresses, ssl);
}

unsigned int QCRequestCommon::DoUploadBlock(UP_BLOCK_REQ& request, const QString& host,
                                            const QString& addresses, unsigned int&, bool ssl) {
    QCSignRequest params;
    params.Add(QStringLiteral("tid"), request.tid);
    params.Add(QStringLiteral("bhash"), request.bhash);
    params.Add(QStringLiteral("bidx"), request.bidx);
    params.Add(QStringLiteral("boffset"), Number(request.boffset));
    params.Add(QStringLiteral("bsize"), request.bsize);
    if (!request.sess_key.isEmpty())
        params.Add(QStringLiteral("sess_key"), request.sess_key);
    if (request.compressed) {
        params.Add(QStringLiteral("compress"), QStringLiteral("1"));
        params.Add(QStringLiteral("compress_size"), request.data_len);
    }
    const unsigned int id = CreateManualRequestInstance(CMD::UploadBlock, params, host, addresses, ssl);
    if (const QSharedPointer<NetworkClient> client = GetRequestByID(id)) {
        client->setBlockTransfer();
        client->addQueryParamFile("file", "file.dat", request.data, int(request.data_len), std::string());
    }
    return id;
}

unsigned int QCRequestCommon::DoUploadCommit(UP_COMMIT_REQ& request, const QString& host,
                                             const QString& addresses, bool ssl) {
    QCSignRequest params;
    params.Add(QStringLiteral("tid"), request.tid);
    return CreateManualRequestInstance(CMD::UploadCommit, params, host, addresses, ssl);
}

unsigned int QCRequestCommon::DoFastUpload(UP_FAST_REQ& request, const QString& host,
                                           const QString& addresses, bool ssl) {
    QCSignRequest params; // the cookie carries only token, q and t
    const unsigned int id = CreateManualRequestInstance(CMD::UploadFast, params, host, addresses, ssl);
    const QSharedPointer<NetworkClient> client = GetRequestByID(id);
    if (!client)
        return id;
    client->setBlockTransfer();
    const FILE_INFO& file = request.file;
    client->addQueryParam("fname", Utf8(ConvertServerPath(file.path, false)));
    client->addQueryParam("fsize", std::to_string(file.size));
    client->addQueryParam("fhash", Utf8(file.file_hash));
    client->addQueryParam("fctime", std::to_string(file.ctime));
    client->addQueryParam("fmtime", std::to_string(file.mtime));
    client->addQueryParam("fattr", std::to_string(file.attrs));
    client->addQueryParam("tk", Utf8(request.token));
    if (request.compressed) {
        client->addQueryParam("compress", "1");
        client->addQueryParam("compress_size", std::to_string(request.data_len));
    }
    client->addQueryParamFile("file", "file.dat", request.data, int(request.data_len), std::string());
    return id;
}
