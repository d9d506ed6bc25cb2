#include "support/StandInAccounts.h"

#include "support/StandInApi.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Members = std::vector<std::pair<const char*, std::string>>;

// A JSON object of members whose values are JSON text already.
std::string Object(const Members& members) {
    std::string text = "{";
    for (const auto& [key, value] : members)
        text += (text.size() > 1 ? ",\"" : "\"") + std::string(key) + "\":" + value;
    return text + "}";
}

// `length` letters and digits from the system's random source: tokens, keys and IVs must not be
// guessable from earlier ones, nor repeat across runs.
std::string RandomText(size_t length) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::vector<unsigned char> bytes(length);
    if (RAND_bytes(bytes.data(), int(length)) != 1)
        std::abort(); // no randomness: nothing the stand-in hands out could be trusted
    std::string text;
    for (const unsigned char byte : bytes)
        text += kAlphabet[byte % (sizeof kAlphabet - 1)];
    return text;
}

std::string PercentEncode(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

bool AllDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const char* ListKey(EnterpriseKind kind) {
    switch (kind) {
    case EnterpriseKind::Owner:
        return "owner";
    case EnterpriseKind::Member:
        return "member";
    case EnterpriseKind::Overdue:
        return "overdue";
    case EnterpriseKind::NotPay:
        return "not_pay";
    }
    return "";
}

long long SecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Every client of the stand-in is on this machine.
constexpr unsigned long long kLoopbackAddress = 0x7f000001;

} // namespace

void StandInAccounts::add(const StandInUser& user) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_accounts[user.qid].user = user;
}

bool StandInAccounts::addEnterprise(const std::string& qid, EnterpriseKind kind,
                                    const StandInEnterprise& enterprise) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_accounts.find(qid);
    if (it == m_accounts.end())
        return false;
    auto& list = it->second.enterprises;
    list.erase(
        std::remove_if(list.begin(), list.end(),
                       [&enterprise](const auto& entry) { return entry.second.eid == enterprise.eid; }),
        list.end());
    list.emplace_back(kind, enterprise);
    return true;
}

bool StandInAccounts::setSpace(const std::string& qid, unsigned long long used, unsigned long long total,
                               unsigned long long entUsed, unsigned long long entTotal) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_accounts.find(qid);
    if (it == m_accounts.end())
        return false;
    StandInUser& user = it->second.user;
    user.usedSize = used;
    user.totalSize = total;
    user.entUsedSize = entUsed;
    user.entTotalSize = entTotal;
    return true;
}

bool StandInAccounts::expireToken(const std::string& qid) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_accounts.find(qid);
    if (it == m_accounts.end() || it->second.sessions.empty())
        return false;
    it->second.sessions.clear();
    it->second.lastDevice.clear();
    return true;
}

StandInSession StandInAccounts::session(const std::string& qid) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_accounts.find(qid);
    if (it == m_accounts.end())
        return StandInSession();
    const auto last = it->second.sessions.find(it->second.lastDevice);
    return last == it->second.sessions.end() ? StandInSession() : last->second;
}

StandInSession StandInAccounts::sessionOf(const RecordedRequest& request) {
    std::lock_guard<std::mutex> lock(m_lock);
    const StandInSession* session = nullptr;
    SessionAccountLocked(request, &session);
    return session ? *session : StandInSession();
}

unsigned StandInAccounts::bumpVersion(unsigned by) {
    m_tree.bumpVersion(by);
    return m_tree.version();
}

unsigned StandInAccounts::version() const {
    return m_tree.version();
}

bool StandInAccounts::hasSession(const RecordedRequest& request) {
    std::lock_guard<std::mutex> lock(m_lock);
    return SessionAccountLocked(request) != nullptr;
}

void StandInAccounts::setServerTime(long long msOfDay) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_serverTimeMs = msOfDay;
}

void StandInAccounts::setNumbersAsText(bool asText) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_numbersAsText = asText;
}

bool StandInAccounts::Answer(const RecordedRequest& request, const std::string& siteUrl, ApiAnswer& answer) {
    const std::string method = request.queryArg("method");
    if (method != "User.login" && method != "User.getUserDetail" && method != "User.getVersion" &&
        method != "Enterprise.getListByUser" && method != "User.getJumpUrl")
        return false;
    std::lock_guard<std::mutex> lock(m_lock);
    if (method == "User.login") {
        answer = LoginLocked(request);
        return true;
    }
    const StandInSession* session = nullptr;
    const Account* account = SessionAccountLocked(request, &session);
    if (!account)
        answer = ApiAnswer::Error(kStandInTokenExpired, "token expired");
    else if (method == "User.getUserDetail")
        answer = ApiAnswer::Data(UserDetailLocked(*account, *session));
    else if (method == "User.getVersion")
        answer = ApiAnswer::Data(VersionLocked());
    else if (method == "Enterprise.getListByUser")
        answer = ApiAnswer::Data(EnterpriseListLocked(*account));
    else
        answer = ApiAnswer::Data(JumpUrlLocked(request, siteUrl));
    return true;
}

ApiAnswer StandInAccounts::LoginLocked(const RecordedRequest& request) {
    const auto it = m_accounts.find(request.queryArg("qid"));
    const std::string q = request.cookie("q");
    const std::string t = request.cookie("t");
    if (it == m_accounts.end() || q.empty() || t.empty() || q != it->second.user.q || t != it->second.user.t)
        return ApiAnswer::Error(kStandInLoginRefused, "invalid login");
    Account& account = it->second;

    // The enterprise asked for when the account stands in it, else its first owned, else its first.
    const std::string wanted = request.queryArg("eid");
    const StandInEnterprise* chosen = nullptr;
    for (const auto& [kind, enterprise] : account.enterprises) {
        if (!wanted.empty() && enterprise.eid == wanted) {
            chosen = &enterprise;
            break;
        }
        if (!chosen && kind == EnterpriseKind::Owner)
            chosen = &enterprise;
    }
    if (!chosen && !account.enterprises.empty())
        chosen = &account.enterprises.front().second;

    // One session per device: a device's new login replaces its own former one only.
    const std::string device = request.queryArg("devid");
    StandInSession& session = account.sessions[device];
    account.lastDevice = device;
    session.eid = chosen ? chosen->eid : std::string();
    session.token = RandomText(32);
    session.key = RandomText(32);
    session.iv = RandomText(16);
    ++account.loginCount;
    account.lastLoginTime = SecondsSinceEpoch();

    const bool eidAsNumber = !m_numbersAsText && AllDigits(session.eid);
    return ApiAnswer::Data(Object({{"qid", StandInApi::JsonString(account.user.qid)},
                                   {"eid", eidAsNumber ? session.eid : StandInApi::JsonString(session.eid)},
                                   {"token", StandInApi::JsonString(session.token)},
                                   {"key", StandInApi::JsonString(session.key)},
                                   {"iv", StandInApi::JsonString(session.iv)}}));
}

StandInAccounts::Account* StandInAccounts::SessionAccountLocked(const RecordedRequest& request,
                                                                const StandInSession** found) {
    const auto it = m_accounts.find(request.queryArg("qid"));
    if (it == m_accounts.end())
        return nullptr;
    const std::string token = request.cookie("token");
    for (const auto& [device, session] : it->second.sessions) {
        if (!session.token.empty() && token == session.token && request.queryArg("eid") == session.eid) {
            if (found)
                *found = &session;
            return &it->second;
        }
    }
    return nullptr;
}

std::string StandInAccounts::NumberLocked(unsigned long long value) const {
    const std::string digits = std::to_string(value);
    return m_numbersAsText ? "\"" + digits + "\"" : digits;
}

std::string StandInAccounts::UserDetailLocked(const Account& account, const StandInSession& session) const {
    const StandInUser& user = account.user;
    const auto text = [](const std::string& value) { return StandInApi::JsonString(value); };
    const auto number = [this](unsigned long long value) { return NumberLocked(value); };
    return Object({{"eid", text(session.eid)},
                   {"uid", text(user.uid)},
                   {"qid", text(user.qid)},
                   {"name", text(user.name)},
                   {"phone", text(user.phone)},
                   {"email", text(user.email)},
                   {"active_time", number(account.lastLoginTime)},
                   {"active_ip", number(kLoopbackAddress)},
                   {"last_login_time", number(account.lastLoginTime)},
                   {"last_login_ip", number(kLoopbackAddress)},
                   {"login_count", number(account.loginCount)},
                   {"max_file_size", number(user.maxFileSize)},
                   {"max_del_count", number(user.maxDelCount)},
                   {"used_size", number(user.usedSize)},
                   {"total_size", number(user.totalSize)},
                   {"e_used_size", number(user.entUsedSize)},
                   {"e_total_size", number(user.entTotalSize)},
                   {"version", number(m_tree.version())},
                   {"count_node", number(m_tree.nodeCount())},
                   {"is_admin", number(user.isAdmin)},
                   {"headimage", text(user.headimage)},
                   {"has_dravel", number(user.hasDravel)},
                   {"file_extentions", text(user.fileExtentions)},
                   {"edit_status", number(user.editStatus)},
                   {"online_service", text(user.onlineService)},
                   {"public_notice", text(user.publicNotice)},
                   {"public_popup_window", text(user.publicPopupWindow)},
                   {"public_resident_bar", text(user.publicResidentBar)},
                   {"is_person", number(user.isPerson)},
                   {"is_switch", number(user.isSwitch)},
                   {"is_person_with_member", number(user.isPersonWithMember)},
                   {"hide_module", text(user.hideModule)}});
}

std::string StandInAccounts::VersionLocked() const {
    constexpr long long kDayMs = 24LL * 3600 * 1000;
    long long msOfDay = m_serverTimeMs;
    if (msOfDay < 0) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        msOfDay = std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % kDayMs;
    }
    return Object({{"ver", NumberLocked(m_tree.version())}, {"server_time", NumberLocked(msOfDay)}});
}

std::string StandInAccounts::EnterpriseListLocked(const Account& account) const {
    Members lists;
    unsigned owned = 0;
    for (const EnterpriseKind kind :
         {EnterpriseKind::Owner, EnterpriseKind::Member, EnterpriseKind::Overdue, EnterpriseKind::NotPay}) {
        std::string items;
        for (const auto& [itemKind, enterprise] : account.enterprises) {
            if (itemKind != kind)
                continue;
            owned += kind == EnterpriseKind::Owner;
            items += (items.empty() ? "" : ",") + Object({{"eid", StandInApi::JsonString(enterprise.eid)},
                                                          {"name", StandInApi::JsonString(enterprise.name)},
                                                          {"is_vip", NumberLocked(enterprise.isVip)}});
        }
        lists.emplace_back(ListKey(kind), "[" + items + "]");
    }
    lists.emplace_back("max_num_created_ent", NumberLocked(account.user.maxCreatedEnterprises));
    lists.emplace_back("can_create_more", NumberLocked(owned < account.user.maxCreatedEnterprises));
    return Object(lists);
}

std::string StandInAccounts::JumpUrlLocked(const RecordedRequest& request, const std::string& siteUrl) const {
    std::string query;
    for (const auto& [name, value] : request.cookies) {
        if (name != "token" && name != "q" && name != "t")
            query += PercentEncode(name) + "=" + PercentEncode(value) + "&";
    }
    return Object(
        {{"jump_url", StandInApi::JsonString(siteUrl + "/jump?" + query + "ticket=" + RandomText(16))}});
}
