#pragma once
// Where full download blocks (CLOUD_BLOCK_SIZE bytes) with a given content hash already lie on the
// local disk, so that a later download can copy a block instead of fetching it again. Kept in
// memory for the life of its owner (the sync engine) and never stored.
//
// Download tasks call it from several threads at once: every member takes m_mutex. The table
// never reads a block; the caller checks the hash of what it reads at the returned place.

#include <QString>
#include <QtGlobal>

#include <map>
#include <mutex>

struct BLOCKINDEX {
    quint64 offset = 0; // of the block in the file
    QString file_path;  // the file the block belongs to
    QString temp_path;  // that file's temporary download file, which holds it until the file is done
};

class QCBlockTable {
public:
    QCBlockTable();
    virtual ~QCBlockTable();
    QCBlockTable(const QCBlockTable&) = delete;
    QCBlockTable& operator=(const QCBlockTable&) = delete;

    // Records where a block lies. Only full blocks (`size` == CLOUD_BLOCK_SIZE) are recorded. A
    // known hash keeps its first location while one of its files exists; a location whose files
    // have both gone is replaced by this one.
    void SetBlock(const QString& hash, unsigned long long size, unsigned long long offset,
                  const QString& file_path, const QString& temp_path);
    // For a known hash: sets `offset`, then `path` to the file when it exists, else to the temporary
    // file when that exists, and returns true; false when neither exists. For an unknown hash
    // (compared case-sensitively) false, with both arguments untouched.
    bool CheckBlockData(const QString& hash, QString& path, unsigned long long& offset);
    // Forgets every location; always true.
    bool Clear();

private:
    mutable std::mutex m_mutex;
    std::map<QString, BLOCKINDEX> m_blocks; // guarded by m_mutex
};
