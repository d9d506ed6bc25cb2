#include "support/StandInFileOps.h"

#include "support/StandInApi.h"

#include <climits>
#include <cstdlib>

namespace {

const char kCreateDir[] = "File.createDir";
const char kRecycle[] = "File.recycle";
const char kRename[] = "File.rename";
const char kMove[] = "File.move";
const char kCopy[] = "File.copyFile";

std::string Text(const std::string& text) {
    return StandInApi::JsonString(text);
}

ApiAnswer Bad(const std::string& what) {
    return ApiAnswer::Error(kStandInBadParam, "invalid " + what);
}

// A path as the client sends it: "/" or "/a/b", a final "/" marking a folder. False when malformed.
bool ServerPath(const std::string& text, std::string& path, bool& folder) {
    if (text.empty() || text.front() != '/')
        return false;
    folder = text.back() == '/';
    path = text;
    if (folder && path.size() > 1)
        path.pop_back();
    return path.size() == 1 || path.back() != '/';
}

bool Unsigned(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long wide = std::strtoull(text.c_str(), nullptr, 10);
    if (wide > UINT_MAX)
        return false;
    value = unsigned(wide);
    return true;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string NodeReply(const StandInNode& node) {
    return "{\"ver\":" + std::to_string(node.version) + ",\"nid\":" + Text(node.nid) +
           ",\"nv\":" + Text(std::to_string(node.nv)) + ",\"root_nid\":\"0\",\"share_name\":\"\"}";
}

ApiAnswer Refuse(int errnoValue) {
    switch (errnoValue) {
    case kStandInNoNode:
        return ApiAnswer::Error(errnoValue, "file not found");
    case kStandInNoParent:
        return ApiAnswer::Error(errnoValue, "parent folder not found");
    case kStandInNameTaken:
        return ApiAnswer::Error(errnoValue, "a file of that name exists");
    case kStandInNoTarget:
        return ApiAnswer::Error(errnoValue, "target folder not found");
    default:
        return ApiAnswer::Error(errnoValue, "invalid file name");
    }
}

bool IsUnder(const std::string& path, const std::string& root) {
    return path == root || root == "/" || path.compare(0, root.size() + 1, root + "/") == 0;
}

} // namespace

StandInFileOps::StandInFileOps(CloudStandIn& server, StandInTree& tree) : m_server(server), m_tree(tree) {}

bool StandInFileOps::Serves(const std::string& method) {
    return method == kCreateDir || method == kRecycle || method == kRename || method == kMove ||
           method == kCopy;
}

ApiAnswer StandInFileOps::Answer(const RecordedRequest& request) {
    const std::string method = request.queryArg("method");
    if (std::optional<ApiAnswer> scripted = m_failures.take(method))
        return *scripted;
    if (method == kCreateDir)
        return CreateDir(request);
    if (method == kRecycle)
        return Recycle(request);
    if (method == kRename)
        return Rename(request);
    if (method == kMove)
        return Move(request);
    return Copy(request);
}

ApiAnswer StandInFileOps::CreateDir(const RecordedRequest& request) {
    std::string path;
    bool folder = false;
    unsigned ctime = 0;
    unsigned mtime = 0;
    unsigned attrs = 0;
    if (!ServerPath(request.cookie("fname"), path, folder) || !folder)
        return Bad("fname");
    if (!Unsigned(request.cookie("fctime"), ctime) || !Unsigned(request.cookie("fmtime"), mtime) ||
        !Unsigned(request.cookie("fattr"), attrs))
        return Bad("time or attribute");
    if (path == "/" || m_tree.node(path, false))
        return Refuse(kStandInNameTaken);
    const std::string parent = ParentOf(path);
    const auto parentNode = m_tree.node(parent, false);
    if (parent != "/" && (!parentNode || !parentNode->isDir))
        return Refuse(kStandInNoParent);
    if (!StandInTree::PlainName(NameOf(path)))
        return Refuse(kStandInBadName);
    const auto made = m_tree.makeFolder(path, ctime, mtime, attrs);
    return made ? ApiAnswer::Data(NodeReply(*made)) : Refuse(kStandInNameTaken);
}

ApiAnswer StandInFileOps::Recycle(const RecordedRequest& request) {
    std::string path;
    bool folder = false;
    if (!ServerPath(request.cookie("fname"), path, folder))
        return Bad("fname");
    if (path == "/")
        return Bad("fname: the root");
    const auto node = m_tree.node(path, false);
    if (!node || (folder && !node->isDir))
        return Refuse(kStandInNoNode);
    auto removed = m_tree.removeSubtree(path);
    if (removed.empty())
        return Refuse(kStandInNoNode);
    const std::string reply = NodeReply(removed.front().second);
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_batches;
    for (auto& [removedPath, removedNode] : removed)
        m_bin.push_back({removedPath, std::move(removedNode), m_batches});
    return ApiAnswer::Data(reply);
}

ApiAnswer StandInFileOps::Rename(const RecordedRequest& request) {
    std::string path;
    bool folder = false;
    if (!ServerPath(request.cookie("src_name"), path, folder))
        return Bad("src_name");
    // The new path in the same folder, or the bare new name (a folder's with a final "/").
    std::string name = request.cookie("new_name");
    if (!name.empty() && name.front() == '/') {
        std::string target;
        bool targetFolder = false;
        if (!ServerPath(name, target, targetFolder) || target == "/" || ParentOf(target) != ParentOf(path))
            return Bad("new_name");
        name = NameOf(target);
    } else if (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    if (path == "/")
        return Bad("src_name: the root");
    const auto node = m_tree.node(path, false);
    if (!node || (folder && !node->isDir))
        return Refuse(kStandInNoNode);
    if (!StandInTree::PlainName(name))
        return Refuse(kStandInBadName);
    const std::string target = Join(ParentOf(path), name);
    const auto holder = m_tree.node(target, false); // the node itself when only the case changes
    if ((holder && holder->nid != node->nid) || !m_tree.rename(path, name))
        return Refuse(kStandInNameTaken);
    const auto renamed = m_tree.node(target, false);
    return renamed ? ApiAnswer::Data(NodeReply(*renamed)) : Refuse(kStandInNoNode);
}

std::optional<ApiAnswer> StandInFileOps::SourceAndFolder(const RecordedRequest& request,
                                                         const char* folderKey, std::string& path,
                                                         std::string& folderPath, StandInNode& node) {
    bool folder = false;
    bool unused = false;
    if (!ServerPath(request.cookie("src_name"), path, folder))
        return Bad("src_name");
    if (!ServerPath(request.cookie(folderKey), folderPath, unused))
        return Bad(folderKey);
    if (path == "/")
        return Bad("src_name: the root");
    const auto source = m_tree.node(path, false);
    if (!source || (folder && !source->isDir))
        return Refuse(kStandInNoNode);
    const auto target = m_tree.node(folderPath, false);
    if (folderPath != "/" && (!target || !target->isDir))
        return Refuse(kStandInNoTarget);
    node = *source;
    return std::nullopt;
}

ApiAnswer StandInFileOps::Move(const RecordedRequest& request) {
    std::string path;
    std::string folderPath;
    StandInNode source;
    if (auto refused = SourceAndFolder(request, "new_name", path, folderPath, source))
        return *refused;
    const StandInNode* node = &source;
    if (IsUnder(folderPath, path))
        return Bad("new_name: inside the folder moved");
    const std::string moved = Join(folderPath, node->name);
    if (m_tree.node(moved, false) || !m_tree.move(path, folderPath))
        return Refuse(kStandInNameTaken);
    const auto result = m_tree.node(moved, false);
    return result ? ApiAnswer::Data(NodeReply(*result)) : Refuse(kStandInNoNode);
}

ApiAnswer StandInFileOps::Copy(const RecordedRequest& request) {
    std::string path;
    std::string folderPath;
    StandInNode source;
    if (auto refused = SourceAndFolder(request, "dest", path, folderPath, source))
        return *refused;
    const StandInNode* node = &source;
    const std::string name = request.cookie("new_name");
    if (!StandInTree::PlainName(name))
        return Refuse(kStandInBadName);
    if (node->isDir && IsUnder(folderPath, path))
        return Bad("dest: inside the folder copied");
    if (m_tree.node(Join(folderPath, name), false))
        return Refuse(kStandInNameTaken);
    const auto copied = m_tree.copy(path, folderPath, name);
    return copied ? ApiAnswer::Data(NodeReply(*copied)) : Refuse(kStandInNameTaken);
}

std::vector<StandInRecycled> StandInFileOps::recycleBin() const {
    std::vector<StandInRecycled> bin;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        bin = m_bin;
    }
    for (StandInRecycled& entry : bin)
        m_tree.fillBytes(entry.node);
    return bin;
}

std::optional<StandInRecycled> StandInFileOps::recycled(const std::string& path) const {
    std::optional<StandInRecycled> found;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_bin.rbegin(); it != m_bin.rend() && !found; ++it) {
            if (it->path == path)
                found = *it;
        }
    }
    if (found)
        m_tree.fillBytes(found->node);
    return found;
}

void StandInFileOps::fail(const std::string& method, int times, const ApiAnswer& answer) {
    m_failures.set(method, times, answer);
}

void StandInFileOps::AddFault(const std::string& method, int times, const Fault& fault) {
    FaultRule rule;
    rule.path = "/intf.php";
    rule.apiMethod = method;
    rule.times = times;
    rule.fault = fault;
    m_server.addFault(rule);
}

void StandInFileOps::failStatus(const std::string& method, int times, int status) {
    Fault fault;
    fault.kind = FaultKind::Status;
    fault.status = status;
    AddFault(method, times, fault);
}

void StandInFileOps::hold(const std::string& method, int times) {
    Fault fault;
    fault.kind = FaultKind::Hold;
    AddFault(method, times, fault);
}

void StandInFileOps::reset(const std::string& method, int times) {
    Fault fault;
    fault.kind = FaultKind::Reset;
    AddFault(method, times, fault);
}

void StandInFileOps::releaseHeld() {
    m_server.releaseHeld();
}

bool StandInFileOps::waitForHeld(int count, int timeoutMs) const {
    return m_server.waitForHeld(count, timeoutMs);
}
