#pragma once
// The account service of the stand-in: the accounts that may log in, the enterprises each stands
// in, the login session of each, and what the service tells about the cloud tree (its version and
// node count) and about itself (its time of day). StandInApi owns one and hands it the methods
// below when no script of a test overrides them; every answer is built from this state.
//
// State:
// - accounts by qid: the credential pair (Q, T) that a login must carry in the cookie as "q" and
//   "t", the user's texts and figures (StandInUser), and the account's enterprises in the order
//   they were added, each in one list kind (owner, member, overdue, not_pay);
// - a session per device of an account (the "devid" of the common arguments), opened by a login:
//   the enterprise it logged into, its token, and the content key (32 characters) and IV (16
//   characters) handed out with it. A device's new login replaces that device's session, so its
//   former token is refused from then on; the sessions of the account's other devices stay;
// - the service's time of day (milliseconds since midnight UTC), the system clock's unless a test
//   fixes it. The tree's version and node count come from the cloud tree (StandInTree), one for
//   every account for now.
//
// Methods ("qid" and "eid" are URL arguments, the others cookie parameters):
// - "User.login": "q" and "t" must be the pair of the account "qid", else errno 2008 (the client
//   goes back to its login window). Opens a session in "eid" when the account stands in that
//   enterprise, else in its first owner enterprise, else in its first of any kind ("" without
//   any). data {"qid", "eid", "token", "key", "iv"}.
// - Every other method needs a session: "token" must be a current token of the account "qid",
//   and "eid" that session's enterprise, else errno 2006 (the token expired: the client
//   logs in again).
// - "User.getUserDetail" (the user detail and the user space alike): every key of the client's
//   user-detail record: the user's texts and figures, "eid" of the session, "version" and
//   "count_node" of the tree, "login_count", "last_login_time" and "active_time" of the account's
//   logins, and 127.0.0.1 (as a number) for its addresses.
// - "User.getVersion": {"ver", "server_time"}.
// - "Enterprise.getListByUser": {"owner": [..], "member": [..], "overdue": [..], "not_pay": [..],
//   "max_num_created_ent", "can_create_more"}, items {"eid", "name", "is_vip"};
//   "can_create_more" is true while the account owns fewer than its maximum.
// - "User.getJumpUrl": {"jump_url": "<site>/jump?<the request's parameters but token, q and t,
//   percent-encoded, in their order>&ticket=<fresh>"}, the site being the stand-in's TLS
//   listener ("https://127.0.0.1:<port>") when it has one, else its primary one ("http://...").
// Ids and texts go as JSON strings; numbers as decimal texts, or as JSON numbers after
// setNumbersAsText(false) (then a digits-only "eid" of the login reply is a number too, as the
// service may send it).
//
// Threads: tests change the state from their thread while the servers' threads answer; every
// member is guarded by m_lock, and no lock is held while the caller sends the answer.

#include "support/StandInAnswer.h"
#include "support/StandInTree.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

constexpr int kStandInTokenExpired = 2006; // no session, or not this one
constexpr int kStandInLoginRefused = 2008; // the credential pair does not match

// The list an enterprise stands in for an account.
enum class EnterpriseKind { Owner, Member, Overdue, NotPay };

struct StandInEnterprise {
    std::string eid;
    std::string name;
    bool isVip = false;
};

// An account as the service knows it; the names follow the user-detail keys.
struct StandInUser {
    std::string qid;
    std::string q; // the credential pair of the login cookie
    std::string t;
    std::string uid;
    std::string name;
    std::string phone;
    std::string email;
    std::string headimage;
    std::string onlineService;
    std::string publicNotice;
    std::string publicPopupWindow;
    std::string publicResidentBar;
    std::string fileExtentions;
    std::string hideModule;
    unsigned long long usedSize = 0;     // bytes, the user's own use
    unsigned long long totalSize = 0;    // the user's quota
    unsigned long long entUsedSize = 0;  // the enterprise's use
    unsigned long long entTotalSize = 0; // the enterprise's quota
    unsigned long long maxFileSize = 0;  // 0: the client's own limit applies
    unsigned maxDelCount = 0;            // 0: the client's own limit applies
    unsigned hasDravel = 1;
    unsigned editStatus = 0;
    bool isAdmin = false;
    bool isPerson = false;
    bool isSwitch = false;
    bool isPersonWithMember = false;
    unsigned maxCreatedEnterprises = 1; // how many enterprises the account may own
};

// The login session of an account; all empty before its first login and after expireToken.
struct StandInSession {
    std::string eid;
    std::string token;
    std::string key; // 32 characters
    std::string iv;  // 16 characters
};

class StandInAccounts {
public:
    // `tree` gives the version and node count; it must outlive this object.
    explicit StandInAccounts(StandInTree& tree) : m_tree(tree) {}

    // Adds the account, or replaces the user record of the same qid (its enterprises and its
    // session stay).
    void add(const StandInUser& user);
    // Puts `enterprise` into the `kind` list of account `qid`, at the end; one of the same eid
    // already there, in any list, is taken out first. False when there is no such account.
    bool addEnterprise(const std::string& qid, EnterpriseKind kind, const StandInEnterprise& enterprise);
    // The four space figures of account `qid`, in bytes; false when there is no such account.
    bool setSpace(const std::string& qid, unsigned long long used, unsigned long long total,
                  unsigned long long entUsed, unsigned long long entTotal);
    // Ends every session of account `qid`: their tokens are refused (errno 2006) until the next
    // login. False when there was none.
    bool expireToken(const std::string& qid);
    // The session of the account's latest login.
    StandInSession session(const std::string& qid) const;
    // The session `request` carries; empty when none.
    StandInSession sessionOf(const RecordedRequest& request);

    // The cloud tree's version (0 at the start): raised by `by` without a change of a node, the
    // new version returned.
    unsigned bumpVersion(unsigned by = 1);
    unsigned version() const;
    // Fixes the service's time of day in milliseconds since midnight; negative: the system clock.
    void setServerTime(long long msOfDay);
    void setNumbersAsText(bool asText);

    // The answer to `request` when its method is one of the account service's (true), built from
    // the state; `siteUrl` is the stand-in's own address ("https://127.0.0.1:<port>" or
    // "http://127.0.0.1:<port>"). Any thread.
    bool Answer(const RecordedRequest& request, const std::string& siteUrl, ApiAnswer& answer);
    // Whether `request` carries the current session of its account (the check of every method
    // but the login). Any thread.
    bool hasSession(const RecordedRequest& request);

private:
    struct Account {
        StandInUser user;
        std::vector<std::pair<EnterpriseKind, StandInEnterprise>> enterprises; // in the order added
        std::map<std::string, StandInSession> sessions; // by device id
        std::string lastDevice;                         // of the latest login
        unsigned loginCount = 0;
        long long lastLoginTime = 0; // seconds since the epoch
    };

    ApiAnswer LoginLocked(const RecordedRequest& request);
    // The account whose session `request` carries (that session into `found`), or null.
    Account* SessionAccountLocked(const RecordedRequest& request, const StandInSession** found = nullptr);
    std::string UserDetailLocked(const Account& account, const StandInSession& session) const;
    std::string VersionLocked() const;
    std::string EnterpriseListLocked(const Account& account) const;
    std::string JumpUrlLocked(const RecordedRequest& request, const std::string& siteUrl) const;
    std::string NumberLocked(unsigned long long value) const;

    StandInTree& m_tree; // guards itself; never calls back, so it may be asked under m_lock
    mutable std::mutex m_lock;
    std::map<std::string, Account> m_accounts; // by qid; guarded by m_lock
    long long m_serverTimeMs = -1;             // guarded by m_lock
    bool m_numbersAsText = true;               // guarded by m_lock
};
