#pragma once
// The cloud tree of the stand-in of the service: the enterprise's files and folders as the service
// holds them, the tree's version, and the log of changes behind the cursors that the node-list
// methods hand out. StandInApi owns one and answers these methods from it (after the session
// check of the account service):
// - "Incr.getBgsp": {"bgsp", "ver", "total"}: a new base sync point at the current version.
// - "Incr.getGlobalNodes" (cookie "bgsp", "gsp", "count", "spnid" when not empty): the live nodes
//   in node-id order, "count" to a page, each page continued by its "gsp" and "spnid"; the last
//   page has an empty "gsp". The first page is asked with "gsp" = "bgsp". Paging goes by node id,
//   not by position: a node that no change touches during the listing comes exactly once, and
//   whatever changes meanwhile comes again with the changes after "bgsp".
// - "Incr.getIncrGlobal" (cookie "gsp", "spnid" when not empty, "from_comet", "uv", "count"):
//   every node changed after the sync point "gsp", once and in its latest state (a deleted one
//   with "status" 1), in the order of the changes, up to the version current when the first page
//   was asked; continued like the listing; the last page carries a new sync point as "gsp" (with
//   an empty "spnid") and that version as "ver".
// - The version and the node count of the user details and of "User.getVersion" (StandInAccounts
//   reads them here).
// A cursor this tree did not hand out, a "spnid" other than the one handed out with it, or a
// missing or malformed "count", "uv" or "from_comet" gets errno kStandInBadParam.
//
// Each node has every field of the client's node list; ids are decimal texts, numbers go as
// decimal texts. The tree version starts at 0; every change (add, edit, delete of a whole
// subtree, rename, move) raises it by one and stamps each node it touched with it ("nv"); a
// file's own "version" starts at 1 and rises with each edit. A deleted node stays as a tombstone
// so that later incremental pages can report it.
//
// Names within a folder are unique regardless of letter case, as the service keeps them: a path
// is resolved by names through the live folders, a name matching in another case when none
// matches exactly, and a name taken in another case is taken.
// Test API: paths ("/a/b.txt", "/" the root) are resolved as above.
// Changes the service would refuse (missing parent, a name taken, a move into its own subtree,
// a name that is not one plain file name) fail with "" or false and change nothing. The add*
// methods of malformed nodes build what the service should never send, for the client's checks.
// Every version of content a file node held (added, edited, uploaded, copied) is kept, also after
// the node is deleted: fileVersions() gives them, for checks that nothing written was lost. Nodes
// keep content hashes only; the bytes are in the block store (blocks()), once per block.
// Faults: a page of a method can be made to fail until the test lifts it; everything else is
// answered from the state.
//
// Threads: tests call from their thread while the servers' threads answer; every member but the
// block store (which guards itself) is guarded by m_lock.

#include "support/StandInAnswer.h"
#include "support/StandInBlockStore.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

constexpr int kStandInBadParam = 1004; // a cursor, count or flag the service would not accept

// A time the tree gives nodes unless told otherwise (2023-11-14, Unix seconds).
constexpr unsigned kStandInTime = 1700000000;

// One node as the service holds it; the names follow the node-list keys.
struct StandInNode {
    std::string nid; // decimal, given by the tree
    std::string pid; // the parent's id; "0" at the root
    std::string name;
    bool isDir = false;
    unsigned long long size = 0; // "count_size"; 0 for folders
    std::string hash;            // "file_hash": the client's content hash; empty for folders
    unsigned ctime = 0;
    unsigned mtime = 0;
    unsigned attrs = 0;
    unsigned version = 1;      // the file's own version, raised by every edit
    unsigned long long nv = 0; // the tree version of the node's last change
    unsigned status = 0;       // 1: deleted
    std::string eid;
    std::string qid;
    std::string owner;
    bool isShare = false;
    std::string shareQid;
    std::string shareName;
    bool isSync = false;
    bool isLink = false;
    bool hasBytes = false; // the block store holds the file's content (addFileBytes, editFileBytes, uploads)
    std::string bytes;     // that content, in the copies handed out with it (node(), byPath())
};

// The contents a file node held, oldest first.
struct StandInFileVersions {
    std::string nid;
    std::string path; // where it lives now; "" for a deleted node
    std::vector<std::string> contents;
};

class StandInTree {
public:
    StandInTree();

    // The "eid", "qid" and "owner" of nodes added from now on.
    void setOwner(const std::string& eid, const std::string& qid);

    // Adds a folder or a file at `path`; its id, or "" when the service would refuse it.
    std::string addFolder(const std::string& path, unsigned mtime = kStandInTime);
    std::string addFile(const std::string& path, unsigned long long size, const std::string& hash,
                        unsigned mtime = kStandInTime);
    // A file with known content: its size and content hash are those of `bytes`.
    std::string addFileBytes(const std::string& path, const std::string& bytes,
                             unsigned mtime = kStandInTime);
    // A new version of the file at `path`.
    bool editFile(const std::string& path, unsigned long long size, const std::string& hash, unsigned mtime);
    bool editFileBytes(const std::string& path, const std::string& bytes, unsigned mtime);
    // What an upload makes: the file at `path`, or a new version of it, of `size` bytes with the
    // content hash `hash` (not recomputed), whose content the block store holds when `hasBytes`.
    // The node without its bytes, or nothing when the service would refuse (no parent folder, a
    // folder at `path`).
    std::optional<StandInNode> putFile(const std::string& path, unsigned long long size,
                                       const std::string& hash, unsigned ctime, unsigned mtime,
                                       unsigned attrs, bool hasBytes);
    // Deletes the node at `path`, a folder with everything below it, in one change.
    bool remove(const std::string& path);
    // The same, giving each node it deleted (without its bytes, its "status" 1) with the path it
    // had, the node at `path` first; empty when the service would refuse.
    std::vector<std::pair<std::string, StandInNode>> removeSubtree(const std::string& path);
    // A folder made at `path` with these times and attributes; nothing when refused.
    std::optional<StandInNode> makeFolder(const std::string& path, unsigned ctime, unsigned mtime,
                                          unsigned attrs);
    // Copies the node at `path` (a folder with everything below it) into the folder `folderPath`
    // as `newName`, new ids and file versions 1, in one change; the copy without its bytes, or
    // nothing when refused (also a folder copied into its own subtree).
    std::optional<StandInNode> copy(const std::string& path, const std::string& folderPath,
                                    const std::string& newName);
    bool rename(const std::string& path, const std::string& newName);
    // Moves the node at `path` into the folder `folderPath` ("/": the root), keeping its name.
    bool move(const std::string& path, const std::string& folderPath);
    // Raises the version without changing a node (the service's version moves for other reasons).
    void bumpVersion(unsigned by = 1);

    // Malformed nodes, each one change; their ids. A node named `name` (such as "", ".", ".." or
    // "a/b") in the folder `folderPath`; "" when there is no such folder.
    std::string addUnchecked(const std::string& folderPath, const std::string& name, bool isDir);
    // Two folders at no path, each the other's parent: x→y→x.
    std::pair<std::string, std::string> addParentCycle(const std::string& nameX, const std::string& nameY);
    // A node whose parent id no node has ever had.
    std::string addOrphan(const std::string& name, bool isDir);

    // The contents of every file version: filled by addFileBytes and editFileBytes, and by the
    // uploads before they place a file; the downloads serve from it.
    StandInBlockStore& blocks() { return m_store; }
    // Sets `node.bytes` to its content when the store holds it.
    void fillBytes(StandInNode& node) const;

    unsigned version() const;
    // Live nodes, malformed ones included.
    unsigned nodeCount() const;
    // The live node at `path`; without its bytes unless `withBytes`.
    std::optional<StandInNode> node(const std::string& path, bool withBytes = true) const;
    // Every live node that has a path (malformed ones have none), by path.
    std::map<std::string, StandInNode> byPath() const;
    // Every file node, live or deleted, that ever held known content, in id order.
    std::vector<StandInFileVersions> fileVersions() const;
    // Whether the service takes `name` as one name in a folder.
    static bool PlainName(const std::string& name);
    // The client's content hash of `bytes`: SHA-1 of the hex SHA-1 digests of its 512 KiB blocks.
    static std::string ContentHash(const std::string& bytes);

    // Page `page` (1-based) of `method` is answered with `answer` until liftFault; by default an
    // HTTP 503 without a reply. Page 1 of "Incr.getIncrGlobal" is a request from a sync point.
    void failPage(const std::string& method, int page, const ApiAnswer& answer = Unavailable());
    void liftFault(const std::string& method, int page);
    // How often page `page` of `method` was asked for, faulted requests included.
    int pageRequests(const std::string& method, int page) const;
    static ApiAnswer Unavailable();

    // Whether `method` is one of the tree's.
    static bool Serves(const std::string& method);
    // The answer to `request` of one of the tree's methods, built from the state. Any thread.
    ApiAnswer Answer(const RecordedRequest& request);

private:
    using Id = unsigned long long;

    // What a cursor stands for. A sync point: the tree at `version`. A continuation: where the
    // next page of a listing or of a cycle of changes starts.
    struct Cursor {
        enum Kind { SyncPoint, ListingNext, ChangesNext } kind = SyncPoint;
        unsigned version = 0; // SyncPoint: its version; ListingNext: that of its base sync point
        std::string bgsp;     // ListingNext: the base sync point of the listing
        unsigned from = 0;    // ChangesNext: changes after this version
        unsigned upTo = 0;    // ChangesNext: and up to this one
        Id afterNv = 0;       // ChangesNext: the last change handed out
        Id afterId = 0;       // the last node handed out
        std::string spnid;    // handed out with the cursor; must come back with it
        int page = 1;         // the page the cursor asks for
    };

    // Adds `node` at `path` (its name the last component) or into the folder `folderPath`;
    // unchecked, any name goes. The new id, or "".
    std::string AddLocked(const std::string& path, StandInNode node);
    std::string InsertUnderLocked(const std::string& folderPath, StandInNode node, bool checked);
    std::string InsertLocked(StandInNode node);
    bool EditLocked(const std::string& path, unsigned long long size, const std::string& hash, unsigned mtime,
                    bool hasBytes);
    // The live node at `path`, or 0 (the root when `path` is "/"); `found` tells them apart.
    Id ResolveLocked(const std::string& path, bool& found) const;
    bool PathLocked(Id id, std::string& path) const;
    // Whether a live child of `folder` other than `except` has `name`, letter case ignored.
    bool TakenLocked(Id folder, const std::string& name, Id except) const;
    bool InSubtreeLocked(Id id, Id root) const;
    // Removes the subtree of `path` in one change; each node removed into `removed` when given.
    bool RemoveLocked(const std::string& path, std::vector<std::pair<std::string, StandInNode>>* removed);
    // Stores `bytes` in the block store; their content hash, `stored` whether the store holds them.
    std::string StoreContent(const std::string& bytes, bool& stored);
    // Stamps `id` with the current version and moves its change to the end of the log; keeps a
    // content the node did not hold before.
    void TouchLocked(Id id, StandInNode& node);
    void IndexLocked(const StandInNode& node, Id id);
    void UnindexLocked(const StandInNode& node, Id id);
    std::string IssueLocked(const Cursor& cursor);
    const Cursor* CursorLocked(const std::string& text) const;

    ApiAnswer BgspLocked();
    ApiAnswer ListingLocked(const RecordedRequest& request);
    ApiAnswer ChangesLocked(const RecordedRequest& request);
    // The page a request asks for, or 0 when it names no cursor of this tree.
    int PageLocked(const std::string& method, const RecordedRequest& request) const;

    mutable std::mutex m_lock;
    std::map<Id, StandInNode> m_nodes;                                      // live nodes by id
    std::map<Id, StandInNode> m_deleted;                                    // tombstones by id
    std::map<Id, std::vector<std::pair<unsigned, std::string>>> m_versions; // (file version, content hash) by id
    // Live children by name, per parent id; names ordered without letter case, as the service
    // compares them, so that a name's look-up needs no walk over the folder.
    struct FoldedLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::map<Id, std::multimap<std::string, Id, FoldedLess>> m_children;
    std::set<std::pair<Id, Id>> m_changes;                     // (nv, id) of every node ever changed
    std::map<std::string, Cursor> m_cursors;                   // every cursor handed out
    std::map<std::pair<std::string, int>, ApiAnswer> m_faults; // by (method, page)
    std::map<std::pair<std::string, int>, int> m_pageRequests; // by (method, page)
    unsigned m_version = 0;
    Id m_nextId = 1;
    std::string m_eid;
    std::string m_qid;
    StandInBlockStore m_store; // guards itself; never called with m_lock held
};
