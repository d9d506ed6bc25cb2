#include "network/QCSignRequest.h"

#include "common/Hash.h"

#include <QByteArray>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {
// Shared with the service; changing it invalidates every signature the client sends.
const wchar_t kSignKey[] = L"5e0c93a7d14f6b28c9e1a0f73d8b4c62";

bool IsUnreserved(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_';
}

// "name" + `between` + encoded value + `after` for each flagged parameter.
QString JoinFlagged(const std::list<REQUEST_PARAM>& params, const char* after) {
    QString text;
    for (const REQUEST_PARAM& param : params) {
        if (!param.flag)
            continue;
        text += param.name;
        text += QLatin1Char('=');
        text += QCSignRequest::UrlEncode(param.value);
        text += QLatin1String(after);
    }
    return text;
}
} // namespace

QCSignRequest::~QCSignRequest() = default;

QString QCSignRequest::BuiltInKey() {
    return QString::fromWCharArray(kSignKey);
}

void QCSignRequest::Add(const QString& name, const QString& value, bool atEnd, bool flag) {
    REQUEST_PARAM param{name, value, flag};
    if (atEnd)
        m_params.push_back(std::move(param));
    else
        m_params.push_front(std::move(param));
}

void QCSignRequest::Add(const QString& name, int value, bool atEnd, bool flag) {
    Add(name, QString::number(value), atEnd, flag);
}

void QCSignRequest::Add(const QString& name, unsigned int value, bool atEnd, bool flag) {
    Add(name, QString::number(value), atEnd, flag);
}

void QCSignRequest::Add(const QString& name, unsigned long long value, bool atEnd, bool flag) {
    Add(name, QString::number(value), atEnd, flag);
}

QString QCSignRequest::Get(const QString& name) const {
    for (const REQUEST_PARAM& param : m_params) {
        if (param.name.compare(name, Qt::CaseInsensitive) == 0)
            return param.value;
    }
    return QString();
}

int QCSignRequest::GetInt(const QString& name) const {
    bool ok = false;
    const int value = Get(name).toInt(&ok);
    return ok ? value : 0;
}

QString QCSignRequest::UrlEncode(const QString& text) {
    if (text.isEmpty())
        return QString();
    const QByteArray bytes = text.toUtf8();
    int length = 0;
    char* encoded = php_url_encode(bytes.constData(), bytes.size(), &length);
    if (!encoded)
        return QString();
    const QString result = QString::fromLatin1(encoded, length);
    free(encoded);
    return result;
}

QString QCSignRequest::GetRequest() const {
    return JoinFlagged(m_params, "&");
}

QString QCSignRequest::GetCookies() const {
    return JoinFlagged(m_params, "; ");
}

QString QCSignRequest::GetSign(const QString& key) const {
    std::vector<REQUEST_PARAM> signedParams;
    for (const REQUEST_PARAM& param : m_params) {
        if (param.flag)
            signedParams.push_back(param);
    }
    // Stable: names equal ignoring case keep their list order, as the service expects.
    std::stable_sort(signedParams.begin(), signedParams.end(), url_sign_sort_by_name_asc);
    QString text;
    for (const REQUEST_PARAM& param : signedParams)
        text += param.name + QLatin1Char('=') + param.value;
    text += key.isEmpty() ? BuiltInKey() : key;
    const QByteArray bytes = text.toUtf8();
    return QString::fromLatin1(HashBuffer(bytes.constData(), bytes.size(), HASH_MD5));
}

char* php_url_encode(const char* bytes, int length, int* resultLength) {
    static const char hex[] = "0123456789ABCDEF";
    if (length < 0 || (length > 0 && !bytes))
        length = 0;
    char* out = static_cast<char*>(malloc(size_t(length) * 3 + 1));
    if (!out)
        return nullptr;
    int n = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == ' ') {
            out[n++] = '+';
        } else if (IsUnreserved(c)) {
            out[n++] = char(c);
        } else {
            out[n++] = '%';
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 15];
        }
    }
    out[n] = '\0';
    if (resultLength)
        *resultLength = n;
    return out;
}

bool url_sign_sort_by_name_asc(const REQUEST_PARAM& a, const REQUEST_PARAM& b) {
    return a.name.toLower() < b.name.toLower();
}
