#pragma once
// What the index's search needs of a parsed name query: whether a path matches, and the two
// traits of the query that change how the index walks. The name-search code builds one from its
// query record, e.g. for a query `q`:
//   QCCacheSearchMatch m{[&q](const QString& path) { return SearchText(path, q); },
//                        q.byKeywords, q.byKeywords && q.oneChar != 0};
// The match function runs on the searching thread with the index's lock released; it may add to
// the query's marks.

#include <QString>

#include <functional>

struct QCCacheSearchMatch {
    std::function<bool(const QString& path)> matches; // empty: nothing matches
    bool listFolders = false; // keyword queries list folders, extension queries do not
    bool capHits = false;     // one-character keyword queries stop after 1,000 hits
};
