#include "support/StandInIdentity.h"

#include "support/ServiceSignature.h"

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <zlib.h>

#include <QString>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

namespace {

const char kBlockKey[] = "9e2a61d5";
const char kSignSuffix[] = "4b7e2c91d";

std::string Hex(const unsigned char* bytes, size_t length) {
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    return hex;
}

std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    return Hex(digest, length);
}

// %XX escapes only ("+" stays): how the service reads a captcha token back.
std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Standard base64 with "=" padding and nothing else in it.
bool Base64Decode(const std::string& text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0)
        return false;
    const size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (padding > 2)
        return false;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        const char c = text[i];
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/')
            return false;
    }
    out.assign(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                       reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    if (length < 0)
        return false;
    out.resize(size_t(length) - padding);
    return true;
}

// DES-CBC, key and IV "9e2a61d5", PKCS#5 padding checked. The stand-in's own OpenSSL context
// with the legacy provider, apart from the client's.
bool DesDecrypt(const std::string& cipher, std::string& plain) {
    static EVP_CIPHER* const des = []() -> EVP_CIPHER* {
        OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
        if (context && OSSL_PROVIDER_load(context, "legacy") && OSSL_PROVIDER_load(context, "default"))
            return EVP_CIPHER_fetch(context, "DES-CBC", nullptr);
        return nullptr;
    }();
    if (!des || cipher.empty() || cipher.size() % 8 != 0)
        return false;
    const auto* key = reinterpret_cast<const unsigned char*>(kBlockKey);
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    plain.assign(cipher.size() + 8, '\0');
    int written = 0;
    int last = 0;
    auto* out = reinterpret_cast<unsigned char*>(&plain[0]);
    if (!context || EVP_DecryptInit_ex2(context.get(), des, key, key, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_DecryptUpdate(context.get(), out, &written, reinterpret_cast<const unsigned char*>(cipher.data()),
                          int(cipher.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), out + written, &last) != 1)
        return false;
    plain.resize(size_t(written + last));
    const unsigned char pad = static_cast<unsigned char>(plain.back());
    if (pad < 1 || pad > 8)
        return false;
    for (size_t i = plain.size() - pad; i < plain.size(); ++i) {
        if (static_cast<unsigned char>(plain[i]) != pad)
            return false;
    }
    plain.resize(plain.size() - pad);
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

// Fills method, params and sig_ok from the parad text of the query.
void DecodeBlock(const std::string& parad, IdentityRecord& record) {
    std::string cipher;
    std::string plain;
    if (!Base64Decode(parad, cipher) || !DesDecrypt(cipher, plain))
        return;
    const std::vector<std::string> texts = Split(plain, '&');
    for (const std::string& text : texts) {
        const size_t equals = text.find('=');
        record.params.emplace_back(text.substr(0, equals), equals == std::string::npos ? "" : text.substr(equals + 1));
    }
    record.method = record.param("method");
    // The client sorts by UTF-16 code units; UTF-8 bytes order some texts otherwise.
    const auto utf16Less = [](const std::string& a, const std::string& b) {
        return QString::fromStdString(a) < QString::fromStdString(b);
    };
    if (texts.size() < 2 || record.params.back().first != "sig" ||
        !std::is_sorted(texts.begin(), texts.end() - 1, utf16Less))
        return;
    std::string signedText;
    for (size_t i = 0; i + 1 < texts.size(); ++i)
        signedText += record.params[i].first == "sc" ? "sc=" + PercentDecode(record.params[i].second) : texts[i];
    record.sig_ok = Md5Hex(signedText + kSignSuffix) == record.params.back().second;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

// "UserIntf.login" -> "userintf_login_response"; "error_response" for no method.
std::string RootOf(const std::string& method) {
    std::string root = method.empty() ? "error" : method;
    for (char& c : root)
        c = c == '.' ? '_' : char(tolower(static_cast<unsigned char>(c)));
    return root + "_response";
}

StandInReply Document(const std::string& method, int errnoValue, const std::string& errmsg,
                      const std::string& container = "", const NameValueList& data = {}) {
    const std::string root = RootOf(method);
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<" + root + "><errno>" +
                       std::to_string(errnoValue) + "</errno><errmsg>" + XmlEscape(errmsg) + "</errmsg>";
    if (!container.empty()) {
        body += "<" + container + ">";
        for (const auto& [name, value] : data)
            body += "<" + name + ">" + XmlEscape(value) + "</" + name + ">";
        body += "</" + container + ">";
    }
    body += "</" + root + ">\n";
    StandInReply reply;
    reply.contentType = "text/xml; charset=utf-8";
    reply.body = body;
    return reply;
}

// 5 x 7 glyphs, one byte per row, the low five bits from left to right.
const std::map<char, std::array<unsigned char, 7>> kGlyphs = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
};

void AppendChunk(std::string& png, const char* type, const std::string& data) {
    const uint32_t length = uint32_t(data.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        png += char((length >> shift) & 0xFF);
    const std::string body = std::string(type, 4) + data;
    png += body;
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
    for (int shift = 24; shift >= 0; shift -= 8)
        png += char((crc >> shift) & 0xFF);
}

// A grey-scale PNG of the letters, black on white, each glyph pixel 3 x 3.
std::string LettersPng(const std::string& letters) {
    const int scale = 3;
    const int margin = 6;
    const int advance = 6 * scale;
    const int width = 2 * margin + int(letters.size()) * advance;
    const int height = 2 * margin + 7 * scale;
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw += '\0'; // filter: none
        for (int x = 0; x < width; ++x) {
            bool ink = false;
            const int gx = (x - margin) / scale;
            const int gy = (y - margin) / scale;
            if (x >= margin && y >= margin && gy < 7 && gx / 6 < int(letters.size()) && gx % 6 < 5)
                ink = (kGlyphs.at(letters[size_t(gx / 6)])[size_t(gy)] >> (4 - gx % 6)) & 1;
            raw += char(ink ? 0 : 255);
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::string packed(packedSize, '\0');
    compress(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
             uLong(raw.size()));
    packed.resize(packedSize);
    std::string header;
    for (const int value : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            header += char((value >> shift) & 0xFF);
    header += std::string("\x08\x00\x00\x00\x00", 5); // 8-bit grey, deflate, no filter method, no interlace
    std::string png = "\x89PNG\r\n\x1a\n";
    AppendChunk(png, "IHDR", header);
    AppendChunk(png, "IDAT", packed);
    AppendChunk(png, "IEND", "");
    return png;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string RandomHex(size_t bytes) {
    static std::mutex lock;
    static std::mt19937 generator{std::random_device{}()};
    std::lock_guard<std::mutex> guard(lock);
    std::string hex;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned char byte = static_cast<unsigned char>(generator() & 0xFF);
        hex += Hex(&byte, 1);
    }
    return hex;
}

} // namespace

std::string IdentityRecord::param(const std::string& name) const {
    for (const auto& [key, value] : params) {
        if (key == name)
            return value;
    }
    return std::string();
}

JsonLine IdentityRecord::line() const {
    JsonLine line;
    line.add("method", QString::fromStdString(method));
    for (const auto& [key, value] : params) {
        if (key != "method")
            line.add(key.c_str(), QString::fromStdString(value));
    }
    line.add("cookie", QString::fromStdString(cookie));
    line.add("sig_ok", sig_ok);
    return line;
}

StandInIdentity::StandInIdentity(CloudStandIn& server)
    : m_server(server), m_face(ReadFile(NIMBO_TEST_DATA_DIR "/identity/face.jpg")) {
    m_accounts = {{"10001", "alice", "secret", "Alice", "", ""}, {"10002", "bob", "secret", "Bob", "", ""}};
    server.route("GET", "/api.php", [this](const RecordedRequest& request) { return Answer(request); });
    for (const Account& account : m_accounts) {
        server.route("GET", "/face/" + account.qid + ".jpg", [this](const RecordedRequest&) {
            StandInReply reply;
            reply.contentType = "image/jpeg";
            reply.body = m_face;
            return reply;
        });
    }
}

std::string StandInIdentity::hostReplacement() const {
    return "127.0.0.1:" + std::to_string(m_server.port(Listener::Tls));
}

std::string StandInIdentity::faceUrl(const std::string& qid) const {
    return "https://" + hostReplacement() + "/face/" + qid + ".jpg";
}

void StandInIdentity::setScript(const std::string& method, IdentityScript script) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_scripts[method] = std::move(script);
}

void StandInIdentity::clearScript(const std::string& method) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_scripts.erase(method);
}

std::vector<IdentityRecord> StandInIdentity::records() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_records;
}

std::string StandInIdentity::q(const std::string& qid) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const Account& account : m_accounts) {
        if (account.qid == qid)
            return account.q;
    }
    return std::string();
}

std::string StandInIdentity::t(const std::string& qid) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const Account& account : m_accounts) {
        if (account.qid == qid)
            return account.t;
    }
    return std::string();
}

std::string StandInIdentity::captchaText() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_captchaText;
}

std::string StandInIdentity::captchaToken() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_captchaToken;
}

StandInIdentity::Account* StandInIdentity::findLocked(const std::string& username) {
    for (Account& account : m_accounts) {
        if (account.username == username)
            return &account;
    }
    return nullptr;
}

StandInReply StandInIdentity::Answer(const RecordedRequest& request) {
    IdentityRecord record;
    record.cookie = request.header("Cookie");
    bool fromClient = false;
    for (const std::string& argument : Split(request.query, '&')) {
        if (argument.rfind("parad=", 0) == 0)
            DecodeBlock(PhpUrlDecode(argument.substr(6)), record);
        fromClient |= argument == "from=pcc_sarn";
    }
    IdentityScript script;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_records.push_back(record);
        const auto found = m_scripts.find(record.method);
        if (found != m_scripts.end())
            script = found->second;
    }
    if (script)
        return script(record);
    if (!record.sig_ok || !fromClient)
        return Document(record.method, kIdentityBadRequest, "请求无效");
    if (record.method == "UserIntf.login")
        return Login(record);
    if (record.method == "CommonAccount.getUserInfo")
        return UserInfo(record);
    if (record.method == "UserIntf.getCaptcha")
        return Captcha();
    return Document(record.method, kIdentityNoMethod, "方法不存在");
}

void StandInIdentity::setIssueObserver(
    std::function<void(const std::string&, const std::string&, const std::string&)> observer) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_issued = std::move(observer);
}

StandInReply StandInIdentity::Login(const IdentityRecord& record) {
    std::function<void(const std::string&, const std::string&, const std::string&)> issued;
    std::string qid;
    std::string q;
    std::string t;
    StandInReply reply = LoginLocked(record, issued, qid, q, t);
    // Not under the lock: the observer may call into the test's other stand-in.
    if (issued && !qid.empty())
        issued(qid, q, t);
    return reply;
}

StandInReply StandInIdentity::LoginLocked(const IdentityRecord& record,
                                          std::function<void(const std::string&, const std::string&, const std::string&)>& issued,
                                          std::string& qid, std::string& q, std::string& t) {
    const std::string method = record.method;
    const std::string username = record.param("username");
    std::lock_guard<std::mutex> lock(m_lock);
    int& failures = m_failures[username];
    if (failures >= 2) {
        const std::string text = record.param("uc");
        if (text.empty())
            return Document(method, kIdentityCaptchaNeeded, "请输入验证码");
        const auto issued = m_captchas.find(record.param("sc"));
        const bool right = issued != m_captchas.end() &&
                           QString::fromStdString(issued->second).compare(QString::fromStdString(text),
                                                                          Qt::CaseInsensitive) == 0;
        if (issued != m_captchas.end())
            m_captchas.erase(issued); // one attempt per image
        if (!right)
            return Document(method, kIdentityWrongCaptcha, "验证码错误");
    }
    Account* account = findLocked(username);
    if (!account || record.param("password") != Md5Hex(account->password)) {
        ++failures;
        return Document(method, kIdentityWrongPassword, "帐号或密码错误");
    }
    failures = 0;
    issueLocked(*account);
    issued = m_issued;
    qid = account->qid;
    q = account->q;
    t = account->t;
    return Document(method, 0, "", "user",
                    {{"qid", account->qid},
                     {"username", account->username},
                     {"nickname", account->nickname},
                     {"head_pic", faceUrl(account->qid)},
                     {"q", account->q},
                     {"t", account->t}});
}

void StandInIdentity::issueLocked(Account& account) {
    ++m_serial;
    account.q = "q" + std::to_string(m_serial) + "%3D" + account.qid;
    account.t = "t" + RandomHex(8);
}

bool StandInIdentity::issuePair(const std::string& username, std::string& q, std::string& t) {
    std::function<void(const std::string&, const std::string&, const std::string&)> issued;
    std::string qid;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Account* account = findLocked(username);
        if (!account)
            return false;
        issueLocked(*account);
        issued = m_issued;
        qid = account->qid;
        q = account->q;
        t = account->t;
    }
    if (issued)
        issued(qid, q, t);
    return true;
}

StandInReply StandInIdentity::UserInfo(const IdentityRecord& record) {
    std::string q;
    std::string t;
    for (std::string pair : Split(record.cookie, ';')) {
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.rfind("Q=", 0) == 0)
            q = pair.substr(2);
        else if (pair.rfind("T=", 0) == 0)
            t = pair.substr(2);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (const Account& account : m_accounts) {
        if (!account.q.empty() && account.q == q && account.t == t) {
            ++m_serial;
            return Document(record.method, 0, "", "data",
                            {{"qid", account.qid},
                             {"username", account.username},
                             {"nickname", account.nickname},
                             {"head_pic", faceUrl(account.qid)},
                             {"rd", "rd" + std::to_string(m_serial) + RandomHex(4)}});
        }
    }
    return Document(record.method, kIdentityCookieRefused, "登录已失效，请重新登录");
}

StandInReply StandInIdentity::Captcha() {
    static const std::string kLetters = "ACEFHKLMNPRTUXYZ";
    std::string text;
    const std::string random = RandomHex(4);
    for (size_t i = 0; i < 4; ++i)
        text += kLetters[size_t(std::stoi(random.substr(i * 2, 2), nullptr, 16)) % kLetters.size()];
    StandInReply reply;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_serial;
        m_captchaText = text;
        m_captchaToken = "c" + std::to_string(m_serial) + "%2B" + RandomHex(4);
        m_captchas[m_captchaToken] = text;
        reply.headers.emplace_back("sc", m_captchaToken);
    }
    reply.contentType = "image/png";
    reply.body = LettersPng(text);
    return reply;
}
