// The stand-in's cloud tree as the service's node-list methods show it: the cursors, the pages of
// the listing and of the changes, and the faults a test sets on them.
#include "support/StandInTree.h"

#include "support/StandInApi.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <tuple>

namespace {

const char kBgsp[] = "Incr.getBgsp";
const char kGlobalNodes[] = "Incr.getGlobalNodes";
const char kIncrGlobal[] = "Incr.getIncrGlobal";

bool IsDigits(const std::string& text) {
    if (text.empty() || text.size() > 19)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Cursors must not be guessable from one another, nor valid in another stand-in. They are decimal
// numbers, as the service's are: the client keeps its sync point as a number.
std::string RandomCursor() {
    unsigned long long value = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1)
        std::abort(); // no randomness: no cursor the stand-in hands out could be trusted
    return std::to_string((value >> 1) | (1ULL << 62)); // 19 digits, below 2^63
}

std::string Number(unsigned long long value) {
    return "\"" + std::to_string(value) + "\"";
}

// Appends piece by piece: a page of 2,000 nodes is a megabyte, and temporaries of that size
// cost page faults each.
void AppendText(std::string& out, const char* key, const std::string& value) {
    out += key;
    out += StandInApi::JsonString(value);
}

void AppendNumber(std::string& out, const char* key, unsigned long long value) {
    out += key;
    out += '"';
    out += std::to_string(value);
    out += '"';
}

void AppendNode(std::string& out, const StandInNode& node) {
    AppendText(out, "{\"nid\":", node.nid);
    AppendText(out, ",\"pid\":", node.pid);
    AppendText(out, ",\"name\":", node.name);
    AppendNumber(out, ",\"type\":", node.isDir);
    AppendNumber(out, ",\"count_size\":", node.size);
    AppendText(out, ",\"file_hash\":", node.hash);
    AppendNumber(out, ",\"create_time\":", node.ctime);
    AppendNumber(out, ",\"modify_time\":", node.mtime);
    AppendNumber(out, ",\"attribute\":", node.attrs);
    AppendNumber(out, ",\"version\":", node.version);
    AppendNumber(out, ",\"nv\":", node.nv);
    AppendText(out, ",\"eid\":", node.eid);
    AppendText(out, ",\"qid\":", node.qid);
    AppendNumber(out, ",\"is_share\":", node.isShare);
    AppendText(out, ",\"share_qid\":", node.shareQid);
    AppendText(out, ",\"owner\":", node.owner);
    AppendText(out, ",\"share_name\":", node.shareName);
    AppendNumber(out, ",\"is_sync\":", node.isSync);
    AppendNumber(out, ",\"is_link\":", node.isLink);
    AppendNumber(out, ",\"status\":", node.status);
    out += '}';
}

// A page of a node list: the fields, then the nodes that `append` adds, "node_list" last.
template <typename AppendNodes>
std::string Page(unsigned version, size_t total, size_t expected, AppendNodes append) {
    std::string page;
    page.reserve(256 + expected * 512);
    AppendNumber(page, "{\"ver\":", version);
    AppendNumber(page, ",\"total\":", total);
    page += ",\"node_list\":[";
    const auto [count, gsp, spnid] = append(page);
    page += ']';
    AppendNumber(page, ",\"retnum\":", count);
    AppendText(page, ",\"gsp\":", gsp);
    AppendText(page, ",\"spnid\":", spnid);
    page += '}';
    return page;
}

ApiAnswer Data(std::string data) {
    ApiAnswer answer;
    answer.data = std::move(data);
    return answer;
}

ApiAnswer BadParam(const std::string& what) {
    return ApiAnswer::Error(kStandInBadParam, "invalid " + what);
}

} // namespace

void StandInTree::failPage(const std::string& method, int page, const ApiAnswer& answer) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults[{method, page}] = answer;
}

void StandInTree::liftFault(const std::string& method, int page) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.erase({method, page});
}

int StandInTree::pageRequests(const std::string& method, int page) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_pageRequests.find({method, page});
    return it == m_pageRequests.end() ? 0 : it->second;
}

ApiAnswer StandInTree::Unavailable() {
    ApiAnswer answer;
    answer.status = 503;
    answer.rawBody = true;
    answer.body = "service unavailable";
    return answer;
}

bool StandInTree::Serves(const std::string& method) {
    return method == kBgsp || method == kGlobalNodes || method == kIncrGlobal;
}

ApiAnswer StandInTree::Answer(const RecordedRequest& request) {
    const std::string method = request.queryArg("method");
    std::lock_guard<std::mutex> lock(m_lock);
    const int page = PageLocked(method, request);
    if (page > 0) {
        ++m_pageRequests[{method, page}];
        const auto fault = m_faults.find({method, page});
        if (fault != m_faults.end())
            return fault->second;
    }
    if (method == kBgsp)
        return BgspLocked();
    if (method == kGlobalNodes)
        return ListingLocked(request);
    return ChangesLocked(request);
}

std::string StandInTree::IssueLocked(const Cursor& cursor) {
    std::string text = RandomCursor();
    m_cursors.emplace(text, cursor);
    return text;
}

const StandInTree::Cursor* StandInTree::CursorLocked(const std::string& text) const {
    const auto it = m_cursors.find(text);
    return it == m_cursors.end() ? nullptr : &it->second;
}

int StandInTree::PageLocked(const std::string& method, const RecordedRequest& request) const {
    if (method == kBgsp)
        return 1;
    const Cursor* cursor = CursorLocked(request.cookie("gsp"));
    if (!cursor)
        return 0;
    if (method == kGlobalNodes) {
        if (cursor->kind == Cursor::SyncPoint && request.cookie("gsp") == request.cookie("bgsp"))
            return 1;
        return cursor->kind == Cursor::ListingNext ? cursor->page : 0;
    }
    if (cursor->kind == Cursor::SyncPoint)
        return 1;
    return cursor->kind == Cursor::ChangesNext ? cursor->page : 0;
}

ApiAnswer StandInTree::BgspLocked() {
    Cursor point;
    point.version = m_version;
    const std::string bgsp = IssueLocked(point);
    return ApiAnswer::Data("{\"bgsp\":" + StandInApi::JsonString(bgsp) + ",\"ver\":" + Number(m_version) +
                           ",\"total\":" + Number(m_nodes.size()) + "}");
}

ApiAnswer StandInTree::ListingLocked(const RecordedRequest& request) {
    const std::string bgsp = request.cookie("bgsp");
    const std::string gsp = request.cookie("gsp");
    const std::string spnid = request.cookie("spnid");
    const std::string countText = request.cookie("count");
    if (!IsDigits(countText) || std::stoull(countText) == 0)
        return BadParam("count");
    const size_t count = std::stoull(countText);
    const Cursor* base = CursorLocked(bgsp);
    if (!base || base->kind != Cursor::SyncPoint)
        return BadParam("bgsp");
    Cursor next;
    next.kind = Cursor::ListingNext;
    next.version = base->version;
    next.bgsp = bgsp;
    if (gsp != bgsp) {
        const Cursor* cursor = CursorLocked(gsp);
        if (!cursor || cursor->kind != Cursor::ListingNext || cursor->bgsp != bgsp || cursor->spnid != spnid)
            return BadParam("gsp");
        next.afterId = cursor->afterId;
        next.page = cursor->page + 1;
    } else if (!spnid.empty()) {
        return BadParam("spnid");
    } else {
        next.page = 2;
    }

    return Data(Page(next.version, m_nodes.size(), std::min(count, m_nodes.size()), [&](std::string& page) {
        size_t taken = 0;
        auto it = m_nodes.upper_bound(next.afterId);
        for (; it != m_nodes.end() && taken < count; ++it, ++taken) {
            if (taken > 0)
                page += ',';
            AppendNode(page, it->second);
            next.afterId = it->first;
        }
        std::string nextGsp;
        if (it != m_nodes.end()) {
            next.spnid = std::to_string(next.afterId);
            nextGsp = IssueLocked(next);
        }
        return std::make_tuple(taken, nextGsp, next.spnid);
    }));
}

ApiAnswer StandInTree::ChangesLocked(const RecordedRequest& request) {
    const std::string spnid = request.cookie("spnid");
    const std::string countText = request.cookie("count");
    const std::string fromComet = request.cookie("from_comet");
    if (!IsDigits(countText) || std::stoull(countText) == 0)
        return BadParam("count");
    if (fromComet != "0" && fromComet != "1")
        return BadParam("from_comet");
    if (!IsDigits(request.cookie("uv")))
        return BadParam("uv");
    const size_t count = std::stoull(countText);
    const Cursor* cursor = CursorLocked(request.cookie("gsp"));
    if (!cursor || (cursor->kind == Cursor::SyncPoint && !spnid.empty()) ||
        (cursor->kind == Cursor::ChangesNext && cursor->spnid != spnid) ||
        cursor->kind == Cursor::ListingNext)
        return BadParam("gsp");

    Cursor next;
    next.kind = Cursor::ChangesNext;
    if (cursor->kind == Cursor::SyncPoint) {
        next.from = cursor->version;
        next.upTo = m_version;
        next.afterNv = cursor->version;
        next.afterId = std::numeric_limits<Id>::max();
        next.page = 2;
    } else {
        next = *cursor;
        ++next.page;
    }
    const auto first = m_changes.lower_bound({Id(next.from) + 1, 0});
    const auto end = m_changes.upper_bound({Id(next.upTo), std::numeric_limits<Id>::max()});
    const size_t total = size_t(std::distance(first, end));

    return Data(Page(next.upTo, total, std::min(count, total), [&](std::string& page) {
        size_t taken = 0;
        auto it = m_changes.upper_bound({next.afterNv, next.afterId});
        for (; it != end && taken < count; ++it, ++taken) {
            const auto live = m_nodes.find(it->second);
            if (taken > 0)
                page += ',';
            AppendNode(page, live != m_nodes.end() ? live->second : m_deleted.at(it->second));
            next.afterNv = it->first;
            next.afterId = it->second;
        }
        std::string nextGsp;
        if (it != end) {
            next.spnid = std::to_string(next.afterId);
            nextGsp = IssueLocked(next);
        } else {
            // The cycle is complete: the client goes on from the version it was answered up to.
            Cursor point;
            point.version = next.upTo;
            nextGsp = IssueLocked(point);
            next.spnid.clear();
        }
        return std::make_tuple(taken, nextGsp, next.spnid);
    }));
}
