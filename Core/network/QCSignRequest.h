#pragma once
// The parameter list of one cloud API request and the three texts the protocol makes of it: the
// query string of the URL, the text of the "Cookie" header, and the signature (MD5 over the
// parameters sorted by name, followed by a key). Plain value type; one thread at a time.

#include <QString>

#include <list>

// One request parameter. Only flagged parameters take part in the query, cookie and signature.
struct REQUEST_PARAM {
    QString name;
    QString value; // already as text
    bool flag = true;
};

class QCSignRequest {
public:
    QCSignRequest() = default;
    QCSignRequest(const QCSignRequest&) = default;
    QCSignRequest& operator=(const QCSignRequest&) = default;
    virtual ~QCSignRequest();

    // The key the service checks signatures with: 32 lower-case hex characters.
    static QString BuiltInKey();

    // Adds a parameter at the end (or at the front when `atEnd` is false). Names need not be
    // unique: adding a name twice keeps both entries.
    void Add(const QString& name, const QString& value, bool atEnd = true, bool flag = true);
    // The same with the number written in decimal.
    void Add(const QString& name, int value, bool atEnd = true, bool flag = true);
    void Add(const QString& name, unsigned int value, bool atEnd = true, bool flag = true);
    void Add(const QString& name, unsigned long long value, bool atEnd = true, bool flag = true);

    // Value of the first parameter of that name, ignoring case; "" when there is none.
    QString Get(const QString& name) const;
    // Get() read as a decimal int; 0 when absent or not a number.
    int GetInt(const QString& name) const;

    // The UTF-8 bytes of `text` encoded by php_url_encode.
    static QString UrlEncode(const QString& text);
    // "name=value&" per flagged parameter, values encoded; "" when there is none.
    QString GetRequest() const;
    // "name=value; " per flagged parameter, values encoded; "" when there is none.
    QString GetCookies() const;
    // MD5 (lower-case hex) of the flagged "name=value" pairs, stably sorted by name ignoring case,
    // values raw, followed by `key`, or by the built-in key when `key` is empty.
    QString GetSign(const QString& key) const;

private:
    std::list<REQUEST_PARAM> m_params; // insertion order
};

// Encodes bytes as PHP's urlencode does: blank to "+", 0-9 A-Z a-z - . _ unchanged, every other
// byte "%XX" in upper-case hex. Returns a zero-terminated text allocated with malloc that the
// caller frees with free(); its length goes to `resultLength` when that is not null. Null only
// when memory runs out.
char* php_url_encode(const char* bytes, int length, int* resultLength);

// The order of signed parameters: true when a's name sorts before b's, comparing the names'
// lower-case forms.
bool url_sign_sort_by_name_asc(const REQUEST_PARAM& a, const REQUEST_PARAM& b);
