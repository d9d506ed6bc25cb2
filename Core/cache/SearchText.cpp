#include "cache/SearchText.h"

#include "cache/PinyinSearch.h"
#include "common/PathUtils.h"

#include <QByteArray>
#include <QStringList>
#include <QVarLengthArray>

namespace {

constexpr int kMaxKeywords = 5;
constexpr int kMaxOneCharBytes = 1022; // of a name's UTF-8 in one-character mode

// Whether `pattern` occurs in `text` under FindNoCase's rule (only A-Z folded), without copying
// either into wide strings: this runs for every name of every search.
bool ContainsNoCase(const QString& text, const QString& pattern) {
    const int n = text.size();
    const int m = pattern.size();
    const QChar* t = text.constData();
    const QChar* p = pattern.constData();
    for (int i = 0; i + m <= n; ++i) {
        int k = 0;
        while (k < m && CompCharNoCase(wchar_t(t[i + k].unicode()), wchar_t(p[k].unicode())))
            ++k;
        if (k == m)
            return true;
    }
    return false;
}

bool IsAscii(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() >= 128)
            return false;
    }
    return true;
}

} // namespace

void SEARCH_INFO::Init(QString query) {
    keywords.clear();
    marks.clear();
    by_keywords = false;
    one_char = QChar();
    if (query.isEmpty())
        return;

    by_keywords = !query.contains(QLatin1String(";*."));
    if (by_keywords)
        SymbolFullToHalf(query);
    const QStringList parts = query.split(QLatin1Char(';'));
    for (QString part : parts) {
        part.remove(QLatin1Char('*'));
        part = part.trimmed().toLower();
        if (!part.isEmpty())
            keywords.insert(part);
        if (by_keywords && int(keywords.size()) >= kMaxKeywords)
            break;
    }
    if (keywords.size() == 1) {
        const QString& only = *keywords.begin();
        if (only.size() == 1 && only.at(0).unicode() < 128)
            one_char = only.at(0);
    }
}

QString SEARCH_INFO::GetMarks() const {
    QStringList list;
    for (const QString& mark : marks)
        list.append(mark);
    return list.join(QLatin1Char(' '));
}

void SEARCH_INFO::SetCustomView(QString path) {
    custom_view = path;
}

bool SEARCH_INFO::IsCustomView(QString& path) const {
    const int n = custom_view.size();
    return n > 0 && path.size() > n && path.at(n) == QLatin1Char('/') && path.startsWith(custom_view);
}

bool SearchText(QString path, SEARCH_INFO& info) {
    if (info.keywords.empty())
        return false;
    if (!info.by_keywords)
        return SearchTextByExt(path, info);
    if (!info.one_char.isNull())
        return SearchTextByKeywordsOneChar(path, info);
    return SearchTextByKeywords(path, info);
}

bool SearchTextByExt(QString& path, SEARCH_INFO& info) {
    char ext[128];
    GetFileExtFastNoMalloc(path, true, ext, sizeof(ext));
    if (!ext[0])
        return false;
    const QString text = QString::fromUtf8(ext);
    if (!info.keywords.count(text))
        return false;
    info.marks.insert(text);
    return true;
}

bool SearchTextByKeywords(QString name, SEARCH_INFO& info) {
    bool none = false;
    name = GetFileNameFast(name, none);
    if (none)
        return false;
    // Over a name of ASCII characters only, the pinyin match is the plain match again.
    const bool tryPinyin = !IsAscii(name);
    QVarLengthArray<QString, kMaxKeywords> found; // joins the query's marks only when every keyword matches
    char covered[1024];
    for (const QString& keyword : info.keywords) {
        if (ContainsNoCase(name, keyword)) {
            found.append(keyword);
            continue;
        }
        QString key = keyword;
        if (!tryPinyin || !PinyinSearch(name, key, covered, sizeof(covered) - 1) || !covered[0])
            return false;
        found.append(QString::fromUtf8(covered));
    }
    for (const QString& mark : found)
        info.marks.insert(mark);
    return true;
}

bool SearchTextByKeywordsOneChar(QString path, SEARCH_INFO& info) {
    bool none = false;
    const QString name = GetFileNameFast(path, none);
    if (none)
        return false;
    // A name of at most 340 UTF-16 units has at most 1,020 bytes of UTF-8 and needs no cut.
    if (name.size() <= kMaxOneCharBytes / 3) {
        const int dot = name.lastIndexOf(QLatin1Char('.'));
        return SearchTextByKeywords(dot >= 0 ? name.left(dot) : name, info);
    }
    QByteArray utf8 = name.toUtf8();
    if (utf8.size() > kMaxOneCharBytes) {
        int n = kMaxOneCharBytes;
        while (n > 0 && (uchar(utf8[n]) & 0xC0) == 0x80)
            --n; // never keep half a character
        utf8.truncate(n);
    }
    const int dot = utf8.lastIndexOf('.');
    if (dot >= 0)
        utf8.truncate(dot);
    return SearchTextByKeywords(QString::fromUtf8(utf8), info);
}
