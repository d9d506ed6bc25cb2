#include "support/StandInTree.h"

// The state of the stand-in's cloud tree and the test API that changes it; the replies built
// from it are in StandInTreeReplies.cpp.
#include "support/StandInTree.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <tuple>
#include <vector>

namespace {

constexpr size_t kBlockSize = 524288; // the client's content-hash block

// What the service accepts as one name in a folder; the client trims blanks, so a name with
// blanks at either end would not come back as given.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && !std::isspace((unsigned char)name.front()) &&
           !std::isspace((unsigned char)name.back());
}

// "/a/b" into "/a" and "b", "/b" into "/" and "b".
bool SplitPath(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return false;
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
    return true;
}

} // namespace

StandInTree::StandInTree() = default;

void StandInTree::setOwner(const std::string& eid, const std::string& qid) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_eid = eid;
    m_qid = qid;
}

std::string StandInTree::addFolder(const std::string& path, unsigned mtime) {
    StandInNode node;
    node.isDir = true;
    node.mtime = node.ctime = mtime;
    std::lock_guard<std::mutex> lock(m_lock);
    return AddLocked(path, node);
}

std::string StandInTree::addFile(const std::string& path, unsigned long long size, const std::string& hash,
                                 unsigned mtime) {
    StandInNode node;
    node.size = size;
    node.hash = hash;
    node.mtime = node.ctime = mtime;
    std::lock_guard<std::mutex> lock(m_lock);
    return AddLocked(path, node);
}

std::string StandInTree::StoreContent(const std::string& bytes, bool& stored) {
    // Outside the tree's lock: a large file takes a while to hash and store.
    std::string hash = m_store.putContent(bytes);
    stored = !hash.empty();
    return stored ? hash : ContentHash(bytes);
}

std::string StandInTree::addFileBytes(const std::string& path, const std::string& bytes, unsigned mtime) {
    StandInNode node;
    node.size = bytes.size();
    node.hash = StoreContent(bytes, node.hasBytes);
    node.mtime = node.ctime = mtime;
    std::lock_guard<std::mutex> lock(m_lock);
    return AddLocked(path, std::move(node));
}

bool StandInTree::editFile(const std::string& path, unsigned long long size, const std::string& hash,
                           unsigned mtime) {
    std::lock_guard<std::mutex> lock(m_lock);
    return EditLocked(path, size, hash, mtime, false);
}

bool StandInTree::editFileBytes(const std::string& path, const std::string& bytes, unsigned mtime) {
    bool stored = false;
    const std::string hash = StoreContent(bytes, stored);
    std::lock_guard<std::mutex> lock(m_lock);
    return EditLocked(path, bytes.size(), hash, mtime, stored);
}

std::optional<StandInNode> StandInTree::putFile(const std::string& path, unsigned long long size,
                                                const std::string& hash, unsigned ctime, unsigned mtime,
                                                unsigned attrs, bool hasBytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool found = false;
    Id id = ResolveLocked(path, found);
    if (found && (id == 0 || m_nodes.at(id).isDir))
        return std::nullopt;
    if (!found) {
        StandInNode fresh;
        fresh.ctime = ctime;
        fresh.version = 0; // the edit below makes it 1
        const std::string nid = AddLocked(path, fresh);
        if (nid.empty())
            return std::nullopt;
        id = std::strtoull(nid.c_str(), nullptr, 10);
        --m_version; // adding and filling it are one change
    }
    StandInNode& node = m_nodes.at(id);
    node.size = size;
    node.hash = hash;
    node.mtime = mtime;
    node.attrs = attrs;
    node.hasBytes = hasBytes;
    ++node.version;
    ++m_version;
    TouchLocked(id, node);
    return node;
}

bool StandInTree::remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    return RemoveLocked(path, nullptr);
}

std::vector<std::pair<std::string, StandInNode>> StandInTree::removeSubtree(const std::string& path) {
    std::vector<std::pair<std::string, StandInNode>> removed;
    std::lock_guard<std::mutex> lock(m_lock);
    RemoveLocked(path, &removed);
    return removed;
}

bool StandInTree::RemoveLocked(const std::string& path,
                               std::vector<std::pair<std::string, StandInNode>>* removed) {
    bool found = false;
    const Id root = ResolveLocked(path, found);
    if (!found || root == 0)
        return false;
    ++m_version;
    // The whole subtree, each node once: a malformed subtree may hold a parent cycle.
    std::vector<Id> pending{root};
    std::set<Id> seen{root};
    std::vector<std::pair<Id, std::string>> order; // each node with its path, before any goes
    while (!pending.empty()) {
        const Id id = pending.back();
        pending.pop_back();
        std::string nodePath;
        if (removed && !PathLocked(id, nodePath))
            nodePath.clear();
        order.emplace_back(id, nodePath);
        const auto children = m_children.find(id);
        if (children != m_children.end()) {
            for (const auto& [name, child] : children->second) {
                if (seen.insert(child).second)
                    pending.push_back(child);
            }
        }
    }
    for (const auto& [id, nodePath] : order) {
        const auto it = m_nodes.find(id);
        StandInNode node = std::move(it->second);
        m_nodes.erase(it);
        UnindexLocked(node, id);
        node.status = 1;
        TouchLocked(id, node);
        if (removed)
            removed->emplace_back(nodePath, node);
        m_deleted.emplace(id, std::move(node));
    }
    for (const Id id : seen)
        m_children.erase(id);
    return true;
}

std::optional<StandInNode> StandInTree::makeFolder(const std::string& path, unsigned ctime, unsigned mtime,
                                                   unsigned attrs) {
    StandInNode node;
    node.isDir = true;
    node.ctime = ctime;
    node.mtime = mtime;
    node.attrs = attrs;
    std::lock_guard<std::mutex> lock(m_lock);
    const std::string nid = AddLocked(path, node);
    if (nid.empty())
        return std::nullopt;
    return m_nodes.at(std::strtoull(nid.c_str(), nullptr, 10));
}

std::optional<StandInNode> StandInTree::copy(const std::string& path, const std::string& folderPath,
                                             const std::string& newName) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool found = false;
    bool folderFound = false;
    const Id source = ResolveLocked(path, found);
    const Id folder = ResolveLocked(folderPath, folderFound);
    if (!found || source == 0 || !folderFound || (folder != 0 && !m_nodes.at(folder).isDir) ||
        InSubtreeLocked(folder, source) || !IsPlainName(newName) || TakenLocked(folder, newName, 0))
        return std::nullopt;
    ++m_version;
    // Breadth first, each copied node under the copy of its parent; a copied id is never walked
    // again, so the walk ends even on a malformed subtree.
    std::vector<std::pair<Id, Id>> pending{{source, folder}}; // (original, parent of its copy)
    std::set<Id> seen{source};
    Id top = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        const auto [original, parent] = pending[i];
        StandInNode node = m_nodes.at(original);
        if (original == source)
            node.name = newName;
        node.nid = std::to_string(m_nextId++);
        node.pid = std::to_string(parent);
        node.version = 1;
        node.isShare = node.isSync = node.isLink = false;
        const Id id = std::strtoull(node.nid.c_str(), nullptr, 10);
        InsertLocked(std::move(node));
        if (original == source)
            top = id;
        const auto children = m_children.find(original);
        if (children == m_children.end())
            continue;
        for (const auto& [name, child] : children->second) {
            if (child != top && seen.insert(child).second)
                pending.emplace_back(child, id);
        }
    }
    return m_nodes.at(top);
}

bool StandInTree::rename(const std::string& path, const std::string& newName) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool found = false;
    const Id id = ResolveLocked(path, found);
    if (!found || id == 0 || !IsPlainName(newName))
        return false;
    StandInNode& node = m_nodes.at(id);
    if (newName == node.name || TakenLocked(std::strtoull(node.pid.c_str(), nullptr, 10), newName, id))
        return false; // a change of letter case alone is a rename like any other
    UnindexLocked(node, id);
    node.name = newName;
    IndexLocked(node, id);
    ++m_version;
    TouchLocked(id, node);
    return true;
}

bool StandInTree::move(const std::string& path, const std::string& folderPath) {
    std::lock_guard<std::mutex> lock(m_lock);
    bool found = false;
    bool folderFound = false;
    const Id id = ResolveLocked(path, found);
    const Id folder = ResolveLocked(folderPath, folderFound);
    if (!found || id == 0 || !folderFound || (folder != 0 && !m_nodes.at(folder).isDir) ||
        InSubtreeLocked(folder, id))
        return false;
    StandInNode& node = m_nodes.at(id);
    if (std::strtoull(node.pid.c_str(), nullptr, 10) == folder || TakenLocked(folder, node.name, 0))
        return false; // the name is taken there, or the node is there already
    UnindexLocked(node, id);
    node.pid = std::to_string(folder);
    IndexLocked(node, id);
    ++m_version;
    TouchLocked(id, node);
    return true;
}

void StandInTree::bumpVersion(unsigned by) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_version += by;
}

std::string StandInTree::addUnchecked(const std::string& folderPath, const std::string& name, bool isDir) {
    StandInNode node;
    node.name = name;
    node.isDir = isDir;
    node.mtime = node.ctime = kStandInTime;
    std::lock_guard<std::mutex> lock(m_lock);
    return InsertUnderLocked(folderPath, node, false);
}

std::pair<std::string, std::string> StandInTree::addParentCycle(const std::string& nameX,
                                                                const std::string& nameY) {
    std::lock_guard<std::mutex> lock(m_lock);
    const Id x = m_nextId++;
    const Id y = m_nextId++;
    ++m_version;
    for (const auto& [id, name, parent] : {std::make_tuple(x, nameX, y), std::make_tuple(y, nameY, x)}) {
        StandInNode node;
        node.name = name;
        node.isDir = true;
        node.mtime = node.ctime = kStandInTime;
        node.nid = std::to_string(id);
        node.pid = std::to_string(parent);
        node.eid = m_eid;
        node.qid = node.owner = m_qid;
        InsertLocked(node);
    }
    return {std::to_string(x), std::to_string(y)};
}

std::string StandInTree::addOrphan(const std::string& name, bool isDir) {
    std::lock_guard<std::mutex> lock(m_lock);
    const Id missing = m_nextId++; // an id no node will ever have
    StandInNode node;
    node.name = name;
    node.isDir = isDir;
    node.mtime = node.ctime = kStandInTime;
    node.nid = std::to_string(m_nextId++);
    node.pid = std::to_string(missing);
    node.eid = m_eid;
    node.qid = node.owner = m_qid;
    ++m_version;
    return InsertLocked(node);
}

unsigned StandInTree::version() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_version;
}

unsigned StandInTree::nodeCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return unsigned(m_nodes.size());
}

std::optional<StandInNode> StandInTree::node(const std::string& path, bool withBytes) const {
    std::optional<StandInNode> copy;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        bool found = false;
        const Id id = ResolveLocked(path, found);
        if (!found || id == 0)
            return std::nullopt;
        copy = m_nodes.at(id);
    }
    if (withBytes)
        fillBytes(*copy);
    return copy;
}

void StandInTree::fillBytes(StandInNode& node) const {
    if (node.isDir || !node.hasBytes)
        return;
    std::optional<std::string> bytes = m_store.contentBytes(node.hash);
    if (bytes)
        node.bytes = std::move(*bytes);
}

std::map<std::string, StandInNode> StandInTree::byPath() const {
    std::map<std::string, StandInNode> result;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string path;
        for (const auto& [id, node] : m_nodes) {
            if (PathLocked(id, path))
                result.emplace(path, node);
        }
    }
    for (auto& [path, node] : result)
        fillBytes(node);
    return result;
}

std::vector<StandInFileVersions> StandInTree::fileVersions() const {
    std::vector<std::pair<StandInFileVersions, std::vector<std::string>>> hashes;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto& [id, versions] : m_versions) {
            StandInFileVersions file;
            file.nid = std::to_string(id);
            if (m_nodes.count(id) > 0 && !PathLocked(id, file.path))
                file.path.clear();
            std::vector<std::string> contents;
            for (const auto& version : versions)
                contents.push_back(version.second);
            hashes.emplace_back(std::move(file), std::move(contents));
        }
    }
    std::vector<StandInFileVersions> result;
    for (auto& [file, contents] : hashes) {
        for (const std::string& hash : contents)
            file.contents.push_back(m_store.contentBytes(hash).value_or(std::string()));
        result.push_back(std::move(file));
    }
    return result;
}

bool StandInTree::PlainName(const std::string& name) {
    return IsPlainName(name);
}

std::string StandInTree::ContentHash(const std::string& bytes) {
    std::string digests;
    for (size_t offset = 0; offset < bytes.size(); offset += kBlockSize)
        digests += StandInSha1Hex(bytes.data() + offset, std::min(kBlockSize, bytes.size() - offset));
    return StandInSha1Hex(digests.data(), digests.size());
}

std::string StandInTree::AddLocked(const std::string& path, StandInNode node) {
    std::string folder;
    if (!SplitPath(path, folder, node.name))
        return std::string();
    return InsertUnderLocked(folder, std::move(node), true);
}

std::string StandInTree::InsertUnderLocked(const std::string& folderPath, StandInNode node, bool checked) {
    bool found = false;
    const Id parent = ResolveLocked(folderPath, found);
    if (!found || (parent != 0 && !m_nodes.at(parent).isDir))
        return std::string();
    if (checked && (!IsPlainName(node.name) || TakenLocked(parent, node.name, 0)))
        return std::string();
    node.nid = std::to_string(m_nextId++);
    node.pid = std::to_string(parent);
    node.eid = m_eid;
    node.qid = node.owner = m_qid;
    ++m_version;
    return InsertLocked(std::move(node));
}

std::string StandInTree::InsertLocked(StandInNode node) {
    const Id id = std::strtoull(node.nid.c_str(), nullptr, 10);
    TouchLocked(id, node);
    IndexLocked(node, id);
    const std::string nid = node.nid;
    m_nodes.emplace(id, std::move(node));
    return nid;
}

bool StandInTree::EditLocked(const std::string& path, unsigned long long size, const std::string& hash,
                             unsigned mtime, bool hasBytes) {
    bool found = false;
    const Id id = ResolveLocked(path, found);
    if (!found || id == 0 || m_nodes.at(id).isDir)
        return false;
    StandInNode& node = m_nodes.at(id);
    node.size = size;
    node.hash = hash;
    node.mtime = mtime;
    node.hasBytes = hasBytes;
    ++node.version;
    ++m_version;
    TouchLocked(id, node);
    return true;
}

StandInTree::Id StandInTree::ResolveLocked(const std::string& path, bool& found) const {
    found = false;
    if (path.empty() || path.front() != '/')
        return 0;
    Id current = 0;
    size_t start = 1;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string name = path.substr(start, end - start);
        const auto children = m_children.find(current);
        if (!IsPlainName(name) || children == m_children.end())
            return 0;
        // Names match without letter case, as the service finds them; the exact name first, else
        // the first of the others in byte order.
        const auto [first, last] = children->second.equal_range(name);
        auto child = last;
        for (auto it = first; it != last; ++it) {
            if (it->first == name) {
                child = it;
                break;
            }
            if (child == last || it->first < child->first)
                child = it;
        }
        if (child == last)
            return 0;
        current = child->second;
        start = end + 1;
        if (end + 1 == path.size())
            return 0; // a trailing slash
    }
    found = true;
    return current;
}

bool StandInTree::PathLocked(Id id, std::string& path) const {
    path.clear();
    // A path has no more components than the tree has nodes; more means a parent cycle.
    for (size_t depth = 0; depth <= m_nodes.size(); ++depth) {
        const auto it = m_nodes.find(id);
        if (it == m_nodes.end() || !IsPlainName(it->second.name))
            return false;
        path.insert(0, "/" + it->second.name);
        if (it->second.pid == "0")
            return true;
        id = std::strtoull(it->second.pid.c_str(), nullptr, 10);
    }
    return false;
}

bool StandInTree::TakenLocked(Id folder, const std::string& name, Id except) const {
    const auto children = m_children.find(folder);
    if (children == m_children.end())
        return false;
    const auto [first, last] = children->second.equal_range(name);
    for (auto it = first; it != last; ++it) {
        if (it->second != except)
            return true;
    }
    return false;
}

bool StandInTree::FoldedLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower((unsigned char)x) < std::tolower((unsigned char)y);
    });
}

bool StandInTree::InSubtreeLocked(Id id, Id root) const {
    for (size_t depth = 0; depth <= m_nodes.size() && id != 0; ++depth) {
        if (id == root)
            return true;
        const auto it = m_nodes.find(id);
        if (it == m_nodes.end())
            return false;
        id = std::strtoull(it->second.pid.c_str(), nullptr, 10);
    }
    return false;
}

void StandInTree::TouchLocked(Id id, StandInNode& node) {
    m_changes.erase({node.nv, id});
    node.nv = m_version;
    m_changes.emplace(node.nv, id);
    if (node.isDir || !node.hasBytes)
        return;
    auto& versions = m_versions[id];
    if (versions.empty() || versions.back().first != node.version)
        versions.emplace_back(node.version, node.hash);
}

void StandInTree::IndexLocked(const StandInNode& node, Id id) {
    m_children[std::strtoull(node.pid.c_str(), nullptr, 10)].emplace(node.name, id);
}

void StandInTree::UnindexLocked(const StandInNode& node, Id id) {
    const auto children = m_children.find(std::strtoull(node.pid.c_str(), nullptr, 10));
    if (children == m_children.end())
        return;
    const auto [first, last] = children->second.equal_range(node.name);
    for (auto it = first; it != last; ++it) {
        if (it->second == id) {
            children->second.erase(it);
            return;
        }
    }
}
