#pragma once
// The folder and node operations of the stand-in of the service, on its cloud tree. StandInApi
// owns one and hands it these methods after the session check; each change is one change of the
// tree (the version rises by one and the incremental listing reports it):
// - "File.createDir" (cookie "fname" = the folder's path ending in "/", "fctime", "fmtime",
//   "fattr", "owner_qid" when not empty): the folder is made.
// - "File.recycle" (cookie "fname", a folder's ending in "/", "owner_qid"): the node, a folder
//   with everything below it, goes to the recycle bin: gone from the tree, kept in the bin.
// - "File.rename" (cookie "src_name", "new_name" = the new path in the same folder or the bare
//   new name, "owner_qid"): the node gets the new name.
// - "File.move" (cookie "src_name", "new_name" = the target folder): the node moves there,
//   keeping its name.
// - "File.copyFile" (cookie "src_name", "new_name" = the bare name of the copy, "dest" = the
//   target folder ending in "/", "owner_qid", "new_qid"): a new node (a folder with copies of
//   everything below it) with new ids, the same content and file version 1.
// Each success answers the node it made or changed (for a recycle the deleted one) as
// {"ver" (its own version), "nid", "nv" (the tree version of the change), "root_nid" "0" (no
// shared folder lies above it), "share_name" ""}. A path given with a final "/" must name a
// folder. "owner_qid" and "new_qid" are not checked: the stand-in holds no shared folders.
//
// Refusals, the tree unchanged, "data" null: the error numbers below, and kStandInBadParam for a
// malformed parameter, for the root as the node to change, and for a folder moved or copied into
// its own subtree.
// Knobs: errno answers for a method n times (fail); HTTP statuses (such as 502), holds and
// connection resets for a method n times (fault rules on the server, before any state changes).
// Test API: the recycle bin.
//
// Threads: tests call from their thread while the servers' threads answer; the failures and the
// bin are guarded by m_lock, which is never held while the tree is called.

#include "support/CloudStandIn.h"
#include "support/StandInAnswer.h"
#include "support/StandInTree.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

constexpr int kStandInNoNode = 3001;    // no node at the path to change
constexpr int kStandInNoParent = 3004;  // no folder to make the new folder in
constexpr int kStandInNameTaken = 3005; // a node of that name is there (a folder that exists, too)
constexpr int kStandInNoTarget = 3009;  // no target folder of a move or a copy
constexpr int kStandInBadName = 3022;   // the new name is not one plain file name

// One node in the recycle bin: a recycled folder brings each node below it, each its own entry.
struct StandInRecycled {
    std::string path; // where it was
    StandInNode node; // as it was, its bytes kept; "status" 1
    int batch = 0;    // the recycle that took it: 1 for the first, the same for a whole folder
};

class StandInFileOps {
public:
    // `server` and `tree` must outlive this object.
    StandInFileOps(CloudStandIn& server, StandInTree& tree);

    static bool Serves(const std::string& method);
    // The answer to `request` of one of the methods above, built from the state. Any thread.
    ApiAnswer Answer(const RecordedRequest& request);

    // --- Test API. ----------------------------------------------------------------------------
    // Everything recycled so far, oldest first; the latest entry of `path`.
    std::vector<StandInRecycled> recycleBin() const;
    std::optional<StandInRecycled> recycled(const std::string& path) const;

    // --- Knobs. -------------------------------------------------------------------------------
    // The next `times` requests of `method` (-1: all) that pass the session check get `answer`.
    void fail(const std::string& method, int times, const ApiAnswer& answer);
    // Fault rules on the server for `method`, the next `times` requests (-1: all): answered with
    // the HTTP `status` and no envelope, held until releaseHeld(), or reset with no reply.
    void failStatus(const std::string& method, int times, int status = 502);
    void hold(const std::string& method, int times = 1);
    void reset(const std::string& method, int times = 1);
    void releaseHeld();
    bool waitForHeld(int count, int timeoutMs) const;

private:
    ApiAnswer CreateDir(const RecordedRequest& request);
    ApiAnswer Recycle(const RecordedRequest& request);
    ApiAnswer Rename(const RecordedRequest& request);
    // The source ("src_name") and the target folder (`folderKey`) of a move or a copy, read and
    // checked; the refusal when they do not stand.
    std::optional<ApiAnswer> SourceAndFolder(const RecordedRequest& request, const char* folderKey,
                                             std::string& path, std::string& folderPath, StandInNode& node);
    ApiAnswer Move(const RecordedRequest& request);
    ApiAnswer Copy(const RecordedRequest& request);
    void AddFault(const std::string& method, int times, const Fault& fault);

    CloudStandIn& m_server;
    StandInTree& m_tree;

    mutable std::mutex m_lock;
    ApiFailures m_failures;
    std::vector<StandInRecycled> m_bin;
    int m_batches = 0;
};
