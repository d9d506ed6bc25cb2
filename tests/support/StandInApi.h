#pragma once
// The API of the stand-in of the cloud service: "/intf.php" on every listener of a CloudStandIn.
// Like the service it checks the signature of the common URL arguments with the shared key (a bad
// one gets an error reply), reads the business parameters from the cookie, checks the "fsum" of an
// upload-address request, and answers each method with the envelope
// {"errno": .., "errmsg": .., "data": ..}.
//
// Where an answer comes from, first match wins:
// 1. a script a test set for the method (setScript, setAnswer): for faults and for methods the
//    stand-in holds no state of yet;
// 2. the service's state:
//    - "User.getConfig": names the stand-in itself as the API host (127.0.0.1) and its second
//      listener (127.0.0.2) as a fallback address (defaultConfigData);
//    - the account service (accounts(), see StandInAccounts.h): "User.login",
//      "User.getUserDetail", "User.getVersion", "Enterprise.getListByUser", "User.getJumpUrl";
//    - the cloud tree (tree(), see StandInTree.h), for a request with a session (else errno
//      2006): "Incr.getBgsp", "Incr.getGlobalNodes", "Incr.getIncrGlobal";
//    - the uploads (uploads(), see StandInUploads.h), for a request with a session: "Sync.getAddr",
//      "Upload.request", "Upload.block", "Upload.commit", "Sync.addFile", "Upload.uploadFile";
//    - the folder and node operations (fileOps(), see StandInFileOps.h), for a request with a
//      session: "File.createDir", "File.recycle", "File.rename", "File.move", "File.copyFile";
//    - the block store (downloads(), see StandInDownloads.h): "Sync.getDownloadInfo" and
//      "Download.getMetaInfo" with a session (else errno 2006), "Download.downloadBlock";
// 3. otherwise errno 1007, as the service answers a method it does not know.
//
// Threads: scripts and state are set from the test's thread and used on the servers' threads; the
// script table is guarded by a mutex, the account service guards itself, and a script must be
// safe to run on any thread.

#include "support/CloudStandIn.h"
#include "support/StandInAccounts.h"
#include "support/StandInAnswer.h"
#include "support/StandInDownloads.h"
#include "support/StandInFileOps.h"
#include "support/StandInTree.h"
#include "support/StandInUploads.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

// Error numbers the stand-in gives for requests the service would refuse.
constexpr int kStandInBadSign = 1002;  // the signature of the URL arguments does not match
constexpr int kStandInBadFsum = 1003;  // the "fsum" of an upload-address request does not match
constexpr int kStandInNoMethod = 1007; // no such method (the service's "not supported")

class StandInApi {
public:
    // Registers "/intf.php" on `server`, which must outlive this object and be started.
    explicit StandInApi(CloudStandIn& server);

    // Answers `method` (such as "User.getConfig") with `script`, or always with `answer`, instead
    // of the state.
    void setScript(const std::string& method, ApiScript script);
    void setAnswer(const std::string& method, const ApiAnswer& answer);
    // The method is answered from the state again.
    void clearScript(const std::string& method);
    // The default "data" of "User.getConfig": API host 127.0.0.1:<primary port>, fallback address
    // 127.0.0.2:<secondary port>, plain http.
    std::string defaultConfigData() const;

    // The account service, the cloud tree, the uploads, the block store of downloads and the
    // folder and node operations with their recycle bin; they live as long as this object.
    StandInAccounts& accounts() { return m_accounts; }
    StandInTree& tree() { return m_tree; }
    StandInUploads& uploads() { return m_uploads; }
    StandInDownloads& downloads() { return m_downloads; }
    StandInFileOps& fileOps() { return m_fileOps; }

    // The "/intf.php" requests of `method` received so far.
    std::vector<RecordedRequest> calls(const std::string& method) const;

    // Builds an envelope; `data` is JSON text.
    static std::string Envelope(int errnoValue, const std::string& errmsg, const std::string& data);
    // `text` as a JSON string literal, quotes included.
    static std::string JsonString(const std::string& text);

private:
    StandInReply Answer(const RecordedRequest& request);
    // Where the jump URLs point: the TLS listener ("https://127.0.0.1:<port>") when there is one,
    // else the primary one ("http://...").
    std::string SiteUrl() const;

    CloudStandIn& m_server;
    mutable std::mutex m_lock;
    std::map<std::string, ApiScript> m_scripts; // guarded by m_lock
    StandInTree m_tree;                         // before m_accounts, which reads it
    StandInAccounts m_accounts;
    StandInUploads m_uploads;     // places files in m_tree
    StandInDownloads m_downloads; // after the tree and the accounts, which it reads
    StandInFileOps m_fileOps;     // changes m_tree
};
