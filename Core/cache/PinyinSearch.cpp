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

QChar FoldAscii(QChar c) {
    const ushort u = c.unicode();
    return u >= 'A' && u <= 'Z' ? QChar(u - 'A' + 'a') : c;
}

// One element as the matcher walks it: views of its pinyin text and of the original it stands for.
struct Element {
    const QChar* pinyin;
    int length;
    const QChar* original;
    int originalLength;
};

// Matching one list (PinyinGetMarksCore's rule over the joined pinyin texts, without joining
// them): the first element at whose start the keyword begins, compared without regard to ASCII
// case; the covered characters run from there to the element in which the keyword ends.
bool MatchElements(const std::vector<Element>& elements, const QString& keyword, char* out, int outSize) {
    const int keyLength = keyword.size();
    if (keyLength == 0)
        return false;
    const QChar* key = keyword.constData();
    const size_t n = elements.size();
    for (size_t first = 0; first < n; ++first) {
        size_t j = first;
        int pos = 0;
        int k = 0;
        while (k < keyLength) {
            while (j < n && pos == elements[j].length) {
                ++j;
                pos = 0;
            }
            if (j == n || FoldAscii(elements[j].pinyin[pos]) != FoldAscii(key[k]))
                break;
            ++pos;
            ++k;
        }
        if (k < keyLength)
            continue;
        QString covered;
        for (size_t e = first; e <= j && e < n; ++e)
            covered.append(elements[e].original, elements[e].originalLength);
        CopyUtf8(covered, out, outSize);
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
    std::vector<Element> list;
    list.reserve(elements.size());
    for (const PY_INFO& e : elements)
        list.push_back(
            {e.pinyin.constData(), int(e.pinyin.size()), e.original.constData(), int(e.original.size())});
    return MatchElements(list, keyword, out, outSize);
}

namespace {

// The elements of one name under one choice of readings, rebuilt for every attempt without
// allocating: `reading[i]` is the chosen reading of the name's i-th character, null for a character
// below 128 (it stands for itself) or one without a reading (left out).
class Attempt {
public:
    explicit Attempt(const QString& name) : m_name(name), m_reading(size_t(name.size()), nullptr) {
        m_full.reserve(m_reading.size());
        m_initials.reserve(m_reading.size());
    }

    void SetReading(int i, const QString* reading) { m_reading[size_t(i)] = reading; }

    bool Run(const QString& keyword, char* out, int outSize) {
        if (out && outSize > 0)
            memset(out, 0, size_t(outSize));
        m_full.clear();
        m_initials.clear();
        const QChar* chars = m_name.constData();
        for (size_t i = 0; i < m_reading.size(); ++i) {
            const QString* reading = m_reading[i];
            if (chars[i].unicode() < 128) {
                m_full.push_back({chars + i, 1, chars + i, 1});
                m_initials.push_back({chars + i, 1, chars + i, 1});
            } else if (reading && !reading->isEmpty()) {
                m_full.push_back({reading->constData(), int(reading->size()), chars + i, 1});
                m_initials.push_back({reading->constData(), 1, chars + i, 1});
            } // else no reading: neither matches nor breaks the run of its neighbours
        }
        return MatchElements(m_full, keyword, out, outSize) ||
               MatchElements(m_initials, keyword, out, outSize);
    }

private:
    const QString& m_name;
    std::vector<const QString*> m_reading;
    std::vector<Element> m_full;
    std::vector<Element> m_initials;
};

// Whether some element of the name, under some choice of readings, begins with `first`: when none
// does, no attempt can match, and most names of a search end here. `found` is scratch room for 9.
bool CanBegin(const QString& name, QChar first, QString* found) {
    first = FoldAscii(first);
    for (const QChar c : name) {
        if (c.unicode() < 128) {
            if (FoldAscii(c) == first)
                return true;
            continue;
        }
        const int n = GetPinyinReadings(c, found, 9);
        for (int r = 0; r < n; ++r) {
            if (!found[r].isEmpty() && FoldAscii(found[r].at(0)) == first)
                return true;
        }
    }
    return false;
}

} // namespace

bool PinyinSearchCore(std::map<QChar, QString>& readings, QString name, QString& keyword, char* out,
                      int outSize) {
    Attempt attempt(name);
    for (int i = 0; i < name.size(); ++i) {
        const auto it = readings.find(name.at(i));
        if (it != readings.end())
            attempt.SetReading(i, &it->second);
    }
    return attempt.Run(keyword, out, outSize);
}

bool PinyinSearch(QString name, QString& keyword, char* out, int outSize) {
    if (out && outSize > 0)
        memset(out, 0, size_t(outSize));
    // Every reading and every character standing for itself is ASCII, so no other keyword matches.
    if (keyword.isEmpty() || !IsAscii(keyword))
        return false;

    QString found[9];
    if (!CanBegin(name, keyword.at(0), found))
        return false;

    // The chosen reading of each character (one per character, however often it occurs), and the
    // characters with several readings, by code.
    std::map<QChar, QString> chosen;
    std::map<QChar, PY_MUL> several;
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

    Attempt attempt(name);
    for (int i = 0; i < name.size(); ++i) {
        const auto it = chosen.find(name.at(i));
        if (it != chosen.end())
            attempt.SetReading(i, &it->second);
    }
    if (attempt.Run(keyword, out, outSize))
        return true;

    // Other readings: every combination over the first three such characters by code, the first
    // outermost; the rest keep their first reading. The attempt sees `chosen` through pointers.
    std::vector<const PY_MUL*> varied;
    for (const auto& entry : several) {
        if (varied.size() == 3)
            break;
        varied.push_back(&entry.second);
    }
    std::function<bool(size_t)> vary = [&](size_t level) {
        if (level == varied.size())
            return attempt.Run(keyword, out, outSize);
        const PY_MUL& m = *varied[level];
        for (int r = 0; r < m.count; ++r) {
            chosen[m.ch] = m.readings[r];
            if (vary(level + 1))
                return true;
        }
        return false;
    };
    return !varied.empty() && vary(0);
}
