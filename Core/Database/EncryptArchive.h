#pragma once
// The archive: the one container of the core's private state files (the node snapshot, the
// copy-source cache, the list of outside uploads). Stateless free functions; any thread, but one
// path has one writer and is never saved and loaded at the same time.
//
// Layout (little-endian, no padding): the 28-byte ARCHIVE_HEADER, then `length` payload bytes
// scrambled by XorEncryptor with a fixed build-time key. `crc` is the CRC-32 of the plain payload,
// `value1` and `value2` belong to the caller and are returned as stored.
//
// Invariants kept by the code:
// - A save replaces the file whole: the new bytes go to a temporary file beside it, are flushed
//   to disk and renamed into place. A crash, a full disk or any failure leaves the old file.
// - A load only reads: it never creates, repairs or deletes a file. Every size is checked
//   against the file's real size before anything is allocated, so a crafted file gives null.
// - Payloads are 4 .. ARCHIVE_MAX_PAYLOAD bytes; the save refuses what the load would refuse.

#include <QString>
#include <QtGlobal>

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "archive headers and wide text are stored as in memory");

#pragma pack(push, 1)
struct ARCHIVE_HEADER {
    quint32 magic = 0;  // ARCHIVE_MAGIC
    quint32 crc = 0;    // CRC-32 of the plain payload
    qint64 value1 = 0;  // the caller's, not interpreted here
    qint64 value2 = 0;  // the caller's, not interpreted here
    quint32 length = 0; // payload bytes; the file size minus the header
};
#pragma pack(pop)
static_assert(sizeof(ARCHIVE_HEADER) == 28, "the header is stored as it is laid out");

constexpr quint32 ARCHIVE_MAGIC = 0x32305241; // the bytes "AR02"
constexpr int ARCHIVE_HEADER_SIZE = int(sizeof(ARCHIVE_HEADER));
// Smallest payload: a file below 32 bytes is never loaded, so a shorter payload is never saved.
constexpr int ARCHIVE_MIN_PAYLOAD = 4;
// Largest payload, far above any real state file; it bounds what a corrupt file can make a load
// allocate.
constexpr qint64 ARCHIVE_MAX_PAYLOAD = qint64(1) << 30;

// Writes `length` bytes of `data` as the archive at `path`, creating its folder, through
// IuCoreUtils::PutFileContents. True when the whole file is on disk; on failure the old file stays
// and errno says why. A null `data` or a length of 0 or less deletes the file at `path` and
// returns false (callers remove an archive whose contents became empty this way). A length below
// ARCHIVE_MIN_PAYLOAD or above ARCHIVE_MAX_PAYLOAD returns false and leaves the file as it was.
bool EncryptArchiveSave(const QString& path, const void* data, int length, long long value1,
                        long long value2);

// Reads and checks the archive at `path`. Null when the file is missing, unreadable, shorter than
// 32 bytes, has another magic, a length that differs from its size, or a wrong CRC. Otherwise a
// block from malloc that the caller releases with free(): the header as stored, the plain payload
// and four zero bytes (a terminator for text of 1-, 2- or 4-byte characters). The payload starts
// at offset 28 of a malloc'ed block and is therefore 4-byte aligned.
void* EncryptArchiveLoad(const QString& path);
