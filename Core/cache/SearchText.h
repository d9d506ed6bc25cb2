#pragma once
// The name search's query and its test of one path. A query is either a list of extensions
// (";*.doc;*.txt") or up to five keywords; a keyword matches a name as a substring without regard to
// ASCII case or, failing that, by the pinyin of the name's Chinese characters. What a matching path
// matched (the marks) is kept for the user interface.
//
// No lock: the view thread owns its record and also lends it to the index's search on that thread.

#include <QChar>
#include <QString>

#include <set>

struct SEARCH_INFO {
    std::set<QString> keywords; // lower case; extensions keep their dot
    std::set<QString> marks;    // what matching paths matched: keywords, extensions, original characters
    bool by_keywords = false;   // false: extension mode
    QString custom_view;        // folder of a custom view; empty when none
    QChar one_char;             // the only keyword when it is one ASCII character; else null

    // Parses a query, clearing what an earlier query left (the custom view stays).
    void Init(QString query);
    // The marks in set order, one space between them; empty when none.
    QString GetMarks() const;
    void SetCustomView(QString path);
    // Whether `path` lies strictly inside the custom view folder (compared with regard to case);
    // always false when no custom view is set.
    bool IsCustomView(QString& path) const;
};

// Whether `path` matches the query. The marks of a matching path join `info.marks`; a path that
// fails leaves them as they were. No keywords: nothing matches.
bool SearchText(QString path, SEARCH_INFO& info);
// Extension mode: the path's lower-cased extension is one of the keywords.
bool SearchTextByExt(QString& path, SEARCH_INFO& info);
// Keyword mode: every keyword matches the last element of `name`.
bool SearchTextByKeywords(QString name, SEARCH_INFO& info);
// One-character mode: the keyword test over the last element of `path` without its extension.
bool SearchTextByKeywordsOneChar(QString path, SEARCH_INFO& info);
