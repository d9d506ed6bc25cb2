#pragma once
// The constant pinyin tables of the name search, generated into PinyinTables.cpp by
// scripts/gen_pinyin.py from the Unihan database. Readings are lower-case ASCII without tone marks,
// "ü" written "v". Any thread.

#include <QtGlobal>

namespace PinyinTables {

// One character of the table of several readings, its readings alphabetical.
struct MultiRow {
    char16_t ch;
    qint32 count;
    const char* readings[4];
};

// Consecutive GB2312 codes (row * 100 + column) that share one syllable.
struct Range {
    quint16 first;
    quint16 last;
    quint16 syllable; // index into kSyllables
};

// One GB2312 code and its syllable.
struct Code {
    quint16 code;
    quint16 syllable; // index into kSyllables
};

extern const char* const kSyllables[]; // alphabetical
extern const int kSyllableCount;
extern const Range kLevel1[]; // GB2312 codes 1601-5589, ascending
extern const int kLevel1Count;
extern const Code kLevel2[]; // GB2312 codes 5601-8794, ascending
extern const int kLevel2Count;
extern const MultiRow kMultiRows[]; // ascending by character
extern const int kMultiRowCount;

} // namespace PinyinTables
