#include "cache/PinyinSearch.h"

#include "cache/PinyinTables.h"

#include <QByteArray>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using namespace PinyinTables;

constexpr int kLevel1First = 1601;
constexpr int kLevel1Last = 5589;
constexpr int kLevel2First = 5601;
constexpr int kLevel2Last = 8794;

// Index into kSyllables of a GB2312 code; -1 when the code has no reading.
int SyllableOfCode(int code) {
    const int column = code % 100;
    if (column < 1 || column > 94)
        return -1;
    if (code >= kLevel1First && code <= kLevel1Last) {
        const Range* end = kLevel1 + kLevel1Count;
        const Range* it =
            std::upper_bound(kLevel1, end, code, [](int c, const Range& r) { return c < r.first; });
        if (it == kLevel1)
            return -1;
        --it;
        return code <= it->last ? it->syllable : -1;
    }
    if (code >= kLevel2First && code <= kLevel2Last) {
        const Code* end = kLevel2 + kLevel2Count;
        const Code* it =
            std::lower_bound(kLevel2, end, code, [](const Code& c, int v) { return c.code < v; });
        return it != end && it->code == code ? it->syllable : -1;
    }
    return -1;
}

// Every BMP code unit's GB2312 code and readings, worked out once: the codec is too slow to ask per
// character of every name of a search.
struct ReadingIndex {
    std::vector<quint16> gbCode;              // by code unit; 0 when not in GB2312
    std::vector<quint8> multiRow;             // by code unit; row of kMultiRows + 1, 0 when none
    std::vector<quint16> single;              // by code unit; index into syllables + 1, 0 when none
    std::vector<QString> syllables;           // kSyllables as texts
    std::vector<std::vector<QString>> multis; // kMultiRows' readings as texts
};

ReadingIndex BuildIndex() {
    ReadingIndex index;
    index.gbCode.assign(0x10000, 0);
    index.multiRow.assign(0x10000, 0);
    index.single.assign(0x10000, 0);
    for (int i = 0; i < kSyllableCount; ++i)
        index.syllables.push_back(QString::fromLatin1(kSyllables[i]));
    for (int row = 0; row < kMultiRowCount; ++row) {
        const MultiRow& r = kMultiRows[row];
        std::vector<QString> readings;
        for (int k = 0; k < r.count; ++k)
            readings.push_back(QString::fromLatin1(r.readings[k]));
        index.multis.push_back(std::move(readings));
        index.multiRow[r.ch] = quint8(row + 1);
    }

    const QTextCodec* codec = QTextCodec::codecForName("GB2312");
    if (!codec)
        return index;
    for (uint u = 0x80; u < 0x10000; ++u) {
        if (u >= 0xD800 && u < 0xE000)
            continue; // half of a surrogate pair encodes to nothing on its own
        const QChar ch(u);
        const QByteArray bytes = codec->fromUnicode(&ch, 1);
        if (bytes.size() != 2)
            continue;
        const uchar high = uchar(bytes[0]);
        const uchar low = uchar(bytes[1]);
        if (high < 0xA1 || high > 0xFE || low < 0xA1 || low > 0xFE)
            continue; // a GBK extension, not GB2312
        const int code = (high - 0xA0) * 100 + (low - 0xA0);
        index.gbCode[u] = quint16(code);
        const int syllable = SyllableOfCode(code);
        if (syllable >= 0)
            index.single[u] = quint16(syllable + 1);
    }
    return index;
}

const ReadingIndex& Index() {
    static const ReadingIndex index = BuildIndex();
    return index;
}

bool EqualNoCaseAscii(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Copies text's UTF-8 into out: at most outSize - 1 bytes, never half a character, zero-terminated.
void CopyUtf8(const QString& text, char* out, int outSize) {
    if (!out || outSize <= 0)
        return;
    const QByteArray bytes = text.toUtf8();
    int n = std::min(bytes.size(), outSize - 1);
    while (n > 0 && n < bytes.size() && (uchar(bytes[n]) & 0xC0) == 0x80)
        --n;
    memcpy(out, bytes.constData(), size_t(n));
    out[n] = 0;
}

bool IsAscii(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() >= 128)
            return false;
    }
    return true;
}

} // namespace

int GetMultiPinyin(QChar ch, QString* out, int max) {
    const quint8 row = Index().multiRow[ch.unicode()];
    if (!row || !out)
        return 0;
    const std::vector<QString>& readings = Index().multis[row - 1];
    const int n = std::min(int(readings.size()), max);
    for (int i = 0; i < n; ++i)
        out[i] = readings[size_t(i)];
    return std::max(n, 0);
}

QString GetPinyinOne(int code) {
    const int syllable = SyllableOfCode(code);
    return syllable < 0 ? QStringLiteral("?") : QString::fromLatin1(kSyllables[syllable]);
}

int GetGb2312Code(QChar ch) {
    return Index().gbCode[ch.unicode()];
}

int GetPinyinReadings(QChar ch, QString* out, int max) {
    if (ch.unicode() < 128 || !out || max < 1)
        return 0;
    const int n = GetMultiPinyin(ch, out, max);
    if (n > 0)
        return n;
    const quint16 single = Index().single[ch.unicode()];
    if (!single)
        return 0;
    out[0] = Index().syllables[single - 1];
    return 1;
}

bool PinyinGetMarksCore(std::list<PY_INFO>& elements, QString& keyword, char* out, int outSize) {
    const QByteArray key = keyword.toUtf8();
    if (key.isEmpty())
        return false;
    QByteArray joined;
    std::vector<int> lengths;
    lengths.reserve(elements.size());
    for (const PY_INFO& e : elements) {
        const QByteArray pinyin = e.pinyin.toUtf8();
        lengths.push_back(pinyin.size());
        joined += pinyin;
    }

    int start = 0;
    auto first = elements.begin();
    size_t index = 0;
    for (; first != elements.end(); ++first, ++index) {
        if (joined.size() - start >= key.size() &&
            EqualNoCaseAscii(joined.constData() + start, key.constData(), key.size()))
            break;
        start += lengths[index];
    }
    if (first == elements.end())
        return false;

    QString covered;
    int sum = 0;
    for (auto it = first; it != elements.end() && sum < key.size(); ++it, ++index) {
        covered += it->original;
        sum += lengths[index];
    }
    CopyUtf8(covered, out, outSize);
    return true;
}

bool PinyinSearchCore(std::map<QChar, QString>& readings, QString name, QString& keyword, char* out,
                      int outSize) {
    if (out && outSize > 0)
        memset(out, 0, size_t(outSize));
    std::list<PY_INFO> full;
    std::list<PY_INFO> initials;
    for (const QChar c : name) {
        if (c.unicode() < 128) {
            full.push_back({QString(c), QString(c)});
            initials.push_back({QString(c), QString(c)});
            continue;
        }
        const auto it = readings.find(c);
        if (it == readings.end() || it->second.isEmpty())
            continue; // no reading: neither matches nor breaks the run of its neighbours
        full.push_back({it->second, QString(c)});
        initials.push_back({it->second.left(1), QString(c)});
    }
    return PinyinGetMarksCore(full, keyword, out, outSize) ||
           PinyinGetMarksCore(initials, keyword, out, outSize);
}

bool PinyinSearch(QString name, QString& keyword, char* out, int outSize) {
    if (out && outSize > 0)
        memset(out, 0, size_t(outSize));
    // Every reading and every character standing for itself is ASCII, so no other keyword matches.
    if (keyword.isEmpty() || !IsAscii(keyword))
        return false;

    std::map<QChar, QString> chosen;
    std::map<QChar, PY_MUL> several;
    QString found[9];
    for (const QChar c : name) {
        if (c.unicode() < 128 || chosen.count(c))
            continue;
        const int n = GetPinyinReadings(c, found, 9);
        if (n == 0)
            continue;
        chosen[c] = found[0];
        if (n > 1) {
            PY_MUL& m = several[c];
            m.count = n;
            m.ch = c;
            std::copy(found, found + n, m.readings);
        }
    }
    if (PinyinSearchCore(chosen, name, keyword, out, outSize))
        return true;

    // Other readings: every combination over the first three such characters by code, the first
    // outermost; the rest keep their first reading.
    std::vector<const PY_MUL*> varied;
    for (const auto& entry : several) {
        if (varied.size() == 3)
            break;
        varied.push_back(&entry.second);
    }
    std::function<bool(size_t)> attempt = [&](size_t level) {
        if (level == varied.size())
            return PinyinSearchCore(chosen, name, keyword, out, outSize);
        const PY_MUL& m = *varied[level];
        for (int r = 0; r < m.count; ++r) {
            chosen[m.ch] = m.readings[r];
            if (attempt(level + 1))
                return true;
        }
        return false;
    };
    return !varied.empty() && attempt(0);
}
