#pragma once
// The identity server of the cloud drive (the account service of the desktop login), standing in
// on a CloudStandIn. Not StandInAccounts: that one is the cloud API's account methods on
// "/intf.php"; this one answers "/api.php", which the login window's side speaks before the core
// starts, and "/face/<qid>.jpg".
//
// "/api.php?parad=<P>&from=pcc_sarn" (GET): P is percent-decoded, base64-decoded, deciphered with
// DES-CBC (key and IV "9e2a61d5") and its PKCS#5 padding checked; the texts "name=value" joined
// by "&" must stand in ascending order, followed by "sig=" + the MD5 of their concatenation (a
// captcha token "sc" percent-decoded) and the signing suffix. Each request is recorded (method,
// parameters, Cookie header, sig_ok); a request that fails a check gets errno 5003 and nothing of
// the state changes. Replies are XML: root "<method lowered, '.' as '_'>_response" with "errno",
// "errmsg" and the data container.
// - "UserIntf.login": username + hex MD5 of the password. A wrong one: 5002 "帐号或密码错误".
//   After two of them for a name, a captcha is required: none given 5010 "请输入验证码", a
//   wrong text or a token not issued (each token serves one attempt) 5011 "验证码错误". Success
//   issues a new cookie pair q/t (the account's earlier pair stops working) and answers "user"
//   {qid, username, nickname, head_pic, q, t}.
// - "CommonAccount.getUserInfo": the Cookie header "Q=<q>;T=<t>;" must carry an account's
//   current pair, else 5020 "登录已失效，请重新登录"; "data" {qid, username, nickname, head_pic,
//   rd}, rd new each time.
// - "UserIntf.getCaptcha": a PNG of four letters with the header "sc: <token>"; tokens hold "%2B".
// Accounts: alice/secret (qid 10001, "Alice"), bob/secret (10002, "Bob"); head_pic is
// "https://127.0.0.1:<port>/face/<qid>.jpg", served as a JPEG.
// Faults: setScript answers a decoded method with anything; delay, hold and reset are
// CloudStandIn's rules on the path "/api.php".
//
// Threads: set-up and reads from the test's thread, requests on the servers' threads; the state
// is guarded by one mutex, not held while a script runs.

#include "support/CloudStandIn.h"
#include "support/JsonLine.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr int kIdentityWrongPassword = 5002;
constexpr int kIdentityBadRequest = 5003; // the block does not decode, is out of order, or is badly signed
constexpr int kIdentityNoMethod = 5004;
constexpr int kIdentityCaptchaNeeded = 5010;
constexpr int kIdentityWrongCaptcha = 5011;
constexpr int kIdentityCookieRefused = 5020;

// One "/api.php" request as the identity server understood it.
struct IdentityRecord {
    std::string method;    // "" when the block did not decode
    NameValueList params;  // the block's texts in their order, "sig" included
    std::string cookie;    // the Cookie header as sent; "" without one
    bool sig_ok = false;   // the block decoded, stood in order and carried the right signature

    std::string param(const std::string& name) const; // "" when absent
    JsonLine line() const; // method, the parameters, cookie, sig_ok
};

using IdentityScript = std::function<StandInReply(const IdentityRecord&)>;

class StandInIdentity {
public:
    // Registers its routes on `server`, which must be started (TlsMode::TestCa) and outlive it.
    explicit StandInIdentity(CloudStandIn& server);

    // What "publicConfig.ini" names as the account host's "ip": "127.0.0.1:<port>".
    std::string hostReplacement() const;
    std::string faceUrl(const std::string& qid) const;
    // The bytes of every face picture.
    const std::string& faceJpeg() const { return m_face; }

    // Answers `method` with `script` instead of the state (the request is still checked and
    // recorded first).
    void setScript(const std::string& method, IdentityScript script);
    void clearScript(const std::string& method);
    // Called on a server thread with each cookie pair that a password login issues, before the
    // reply goes out (so that the cloud side can know the pair before the client can use it).
    void setIssueObserver(std::function<void(const std::string& qid, const std::string& q, const std::string& t)> observer);

    // Issues a new cookie pair to `username` as a password login on another device would (the
    // earlier pair stops working; the issue observer is called); false for an unknown name.
    bool issuePair(const std::string& username, std::string& q, std::string& t);

    std::vector<IdentityRecord> records() const;
    // The cookie pair of the account's latest login; "" before any.
    std::string q(const std::string& qid) const;
    std::string t(const std::string& qid) const;
    // What the latest captcha image shows, and its token as sent in the "sc" header.
    std::string captchaText() const;
    std::string captchaToken() const;

private:
    struct Account {
        std::string qid;
        std::string username;
        std::string password;
        std::string nickname;
        std::string q;
        std::string t;
    };

    StandInReply Answer(const RecordedRequest& request);
    StandInReply Login(const IdentityRecord& record);
    // The login's state change under m_lock; the pair it issued, with the observer, for Login.
    StandInReply LoginLocked(const IdentityRecord& record,
                             std::function<void(const std::string&, const std::string&, const std::string&)>& issued,
                             std::string& qid, std::string& q, std::string& t);
    StandInReply UserInfo(const IdentityRecord& record);
    StandInReply Captcha();
    // Needs m_lock held.
    Account* findLocked(const std::string& username);
    // A new pair for `account`; needs m_lock held.
    void issueLocked(Account& account);

    CloudStandIn& m_server;
    std::string m_face; // set once

    mutable std::mutex m_lock;
    std::vector<Account> m_accounts;                  // guarded by m_lock
    std::map<std::string, int> m_failures;            // wrong passwords by name; guarded by m_lock
    std::map<std::string, std::string> m_captchas;    // unused tokens -> text; guarded by m_lock
    std::string m_captchaText;                        // guarded by m_lock
    std::string m_captchaToken;                       // guarded by m_lock
    unsigned m_serial = 0;                            // guarded by m_lock
    std::vector<IdentityRecord> m_records;            // guarded by m_lock
    std::map<std::string, IdentityScript> m_scripts;  // guarded by m_lock
    std::function<void(const std::string&, const std::string&, const std::string&)> m_issued; // guarded by m_lock
};
