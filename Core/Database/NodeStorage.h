#pragma once
// The node snapshot: the cloud tree (FILE_INFO records keyed by node id) and its node version,
// kept on disk so that the next start begins from it instead of fetching every node again.
//
// Files of a snapshot saved at P, each an archive (EncryptArchive.h):
// - P: payload exactly one STORAGE_HEADER, caller values 0 and 0;
// - P.1 .. P.part_count: payload UTF-32 text, one record per line ended by a line feed; caller
//   values the header's save_tick and node_version, which tie a part to its header.
//
// A line is 19 fields joined by "|" (order in FileInfo2Stream). Numbers are unsigned decimal,
// booleans "0" or "1". Text fields are escaped so that any text comes back as it was: "\" is
// written "\\", "|" is "\p" and a line feed is "\n"; a backslash before any other character is
// read as itself.
//
// A save writes the parts first and the header last, each file replaced whole. A reader that
// finds the old header beside new parts sees other save ticks and refuses the snapshot, so a
// snapshot is either read completely or not at all. After a successful save, part files with
// higher numbers (an older, larger snapshot) are removed.
//
// Static functions without state. One thread per path (the sync engine's); the map passed in is
// used without a lock.

#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <map>
#include <string>

static_assert(sizeof(wchar_t) == 4, "part files hold UTF-32 text");

class NodeStorage {
public:
#pragma pack(push, 1)
    struct STORAGE_HEADER {
        quint32 storage_version = 0; // STORAGE_VERSION
        quint32 reserved = 0;        // never read
        quint64 save_tick = 0;       // GetTickCount() at the start of the save
        quint32 part_count = 0;
        quint64 node_version = 0;
    };
#pragma pack(pop)
    static_assert(sizeof(STORAGE_HEADER) == 28, "the header is stored as it is laid out");

    static constexpr quint32 STORAGE_VERSION = 1;
    // A part is closed after the line that takes it beyond this many characters.
    static constexpr size_t PART_THRESHOLD = 0x40000;

    // Stores `nodes` under `version` (decimal; other text counts as 0). Without `force` and with a
    // non-zero version, a complete snapshot of that version already at `path` is kept as it is.
    // Records whose name contains ".Nimboshare" are not stored. False when nothing could be
    // stored or a file could not be written; the snapshot's files are deleted then.
    static bool Save(const QString& version, const QString& path, const std::map<QString, FILE_INFO>& nodes,
                     bool force);
    // Adds the stored records to `nodes` (keyed by nid, replacing equal keys) and sets `version`
    // to the snapshot's node version. On any failure `nodes` is emptied, the snapshot's files are
    // deleted and false returned.
    static bool Load(QString& version, const QString& path, std::map<QString, FILE_INFO>& nodes);
    // Load without the clean-up: a failure may leave some records added and `version` untouched.
    static bool LoadCore(QString& version, const QString& path, std::map<QString, FILE_INFO>& nodes);
    // Whether a snapshot of `version` with all its part files is stored at `path` (the parts'
    // contents are not read).
    static bool CheckSame(unsigned long long version, const QString& path);
    // Reads the header file; true only when its payload is exactly one header of this format with
    // at least one part.
    static bool LoadHeader(const QString& path, STORAGE_HEADER& header);
    // Deletes P, then P.1, P.2, ... up to the first number without a file.
    static void Clean(const QString& path);

    // Appends the record's line, line feed included, to `out`.
    static void FileInfo2Stream(const FILE_INFO& info, std::wstring& out);
    // Reads one line (without its line feed) into `info`, which is reset to defaults first. False
    // when the line has fewer than 19 fields; fields beyond the 19th are ignored.
    static bool Line2FileInfo(const wchar_t* line, size_t length, FILE_INFO& info);
    // Reads every line of a part's text into `nodes`; empty lines are skipped. False when a line
    // was bad (the other lines are still read).
    static bool ParsePart(const wchar_t* text, size_t length, std::map<QString, FILE_INFO>& nodes);

    // The file name of part `n` of the snapshot at `path`.
    static QString PartPath(const QString& path, quint32 n);
};
