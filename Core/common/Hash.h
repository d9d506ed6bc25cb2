#pragma once
// Digests: MD5 and SHA-1 through OpenSSL, the block-wise content hash of a file, and the CRC-32
// of archive files. Digests are lower-case hex text. Stateless apart from a CHash object, which
// belongs to one thread.

#include "common/SharedTypes.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

class QIODevice;

// Size of the blocks that content hashes and transfers are cut into.
constexpr qint64 CLOUD_BLOCK_SIZE = 524288;

// An MD5 or SHA-1 digest over data given in pieces.
class CHash {
public:
    explicit CHash(HASH_TYPE type);
    virtual ~CHash();
    CHash(const CHash&) = delete;
    CHash& operator=(const CHash&) = delete;

    // Nothing happens for len <= 0 or a null pointer.
    void AddData(const unsigned char* data, int len);
    // Finishes the digest and returns its hex text. A second call returns the same text again.
    QByteArray Final();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
    QByteArray m_result;
    HASH_TYPE m_type;
};

// Two lower-case hex digits per byte; empty for n <= 0.
QByteArray Digest2String(const unsigned char* p, int n);
// The digest of one buffer; SHA-1 for every type but HASH_MD5.
QByteArray HashBuffer(const char* data, int len, HASH_TYPE type);
// The digest of a whole file; empty when it cannot be read or changed size while read. The file
// is opened read-only, so read-only files and mounts hash too.
QByteArray HashFile(const QString& path, HASH_TYPE type);
// The content hash of a file: the SHA-1 of the concatenated hex SHA-1 digests of its 512 KiB
// blocks. Empty when the file cannot be read or changed size while it was read. Read-only open.
QByteArray CloudHashFile(const QString& path);
// The content hash of what `device` yields from its position until a read returns 0 (its end for
// a file or a buffer); `total` gets the byte count. Empty on a read error. A read may come back
// short: blocks are cut by byte count, never by read.
QByteArray CloudHashDevice(QIODevice& device, qint64& total);

namespace core {
// The CRC-32 of zlib, gzip and PNG (named apart from zlib's C symbol crc32).
quint32 crc32(const void* data, unsigned int len);
} // namespace core
