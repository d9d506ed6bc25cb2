#pragma once
// Matching a Latin keyword against a name by the pinyin of its Chinese characters: whole syllables
// (zhongguo), initials (zg), or a run that ends inside a syllable (zhongg). A match always begins at
// the start of a character's reading. The result of a match is the name's original characters that
// the keyword covers, as UTF-8 in a caller's buffer.
//
// Readings: a character of the table of several readings (GetMultiPinyin) has those; any other
// character of code 128 or more has the single reading of its GB2312 code (GetPinyinOne), or none.
// All state is local to a call or constant; any thread.

#include <QChar>
#include <QString>
#include <QtGlobal>

#include <list>
#include <map>

// One element of a name as the matcher sees it.
struct PY_INFO {
    QString pinyin;   // a whole syllable, its initial, or an ASCII character standing for itself
    QString original; // the name's character it stands for
};

// A character with several readings.
struct PY_MUL {
    qint32 count = 0;
    QChar ch;
    QString readings[9];
};

// The readings of `ch` in the table of several readings (alphabetical), at most `max` of them
// written to `out`; returns how many were written, 0 when the table lacks `ch`.
int GetMultiPinyin(QChar ch, QString* out, int max);

// The reading of a GB2312 character by its code, row * 100 + column; "?" when it has none.
QString GetPinyinOne(int code);

// The GB2312 code (row * 100 + column) of `ch` as Qt's GB2312 codec encodes it; 0 when the codec
// gives no two-byte GB2312 form (Qt serves GB2312 with its GBK codec, whose extra characters do not
// count).
int GetGb2312Code(QChar ch);

// The readings the matcher uses for `ch`, most used first, at most `max` written to `out`; returns
// how many were written. Characters below 128 have none (they stand for themselves).
int GetPinyinReadings(QChar ch, QString* out, int max);

// Whether `keyword` matches `name` by pinyin, trying every combination of the readings of up to
// three characters with several readings. On a match the covered characters go to `out` as UTF-8,
// zero-terminated, at most outSize - 1 bytes (cut at a character boundary); otherwise `out` is left
// all zero. `out` must hold outSize bytes.
bool PinyinSearch(QString name, QString& keyword, char* out, int outSize);

// One attempt with one reading per character (`readings`, by character); characters of code 128 or
// more without an entry are skipped. Clears `out` first. True on a match.
bool PinyinSearchCore(std::map<QChar, QString>& readings, QString name, QString& keyword, char* out,
                      int outSize);

// Matches `keyword` against one list of elements, without regard to ASCII case; true on a match, the
// covered originals in `out` as above. An empty keyword matches nothing.
bool PinyinGetMarksCore(std::list<PY_INFO>& elements, QString& keyword, char* out, int outSize);
