#include "common/Hash.h"

#include <QFile>
#include <QIODevice>

#include <openssl/evp.h>

#include <array>

struct CHash::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

CHash::CHash(HASH_TYPE type) : m_context(std::make_unique<Context>()), m_type(type) {
    EVP_DigestInit_ex(m_context->ctx, m_type == HASH_MD5 ? EVP_md5() : EVP_sha1(), nullptr);
}

CHash::~CHash() = default;

void CHash::AddData(const unsigned char* data, int len) {
    if (data && len > 0 && m_result.isEmpty())
        EVP_DigestUpdate(m_context->ctx, data, size_t(len));
}

QByteArray CHash::Final() {
    if (!m_result.isEmpty())
        return m_result; // a context cannot be finished twice
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->ctx, digest, &length);
    m_result = Digest2String(digest, int(length));
    return m_result;
}

QByteArray Digest2String(const unsigned char* p, int n) {
    if (!p || n <= 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(p), n).toHex();
}

QByteArray HashBuffer(const char* data, int len, HASH_TYPE type) {
    CHash hash(type);
    hash.AddData(reinterpret_cast<const unsigned char*>(data), len);
    return hash.Final();
}

namespace {

// Reads until `buffer` holds `want` bytes or the device ends, so a short read never moves a block
// boundary. Returns the bytes read, or -1 on a read error.
qint64 ReadFull(QIODevice& device, char* buffer, qint64 want) {
    qint64 got = 0;
    while (got < want) {
        const qint64 n = device.read(buffer + got, want - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// Opens for reading only: hashing never needs write access, so read-only files and mounts work.
// Pipes and devices are refused: their size cannot confirm that everything was read.
bool OpenForHashing(QFile& file) {
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) && !file.isSequential();
}

} // namespace

QByteArray HashFile(const QString& path, HASH_TYPE type) {
    QFile file(path);
    if (!OpenForHashing(file))
        return QByteArray();
    CHash hash(type);
    std::array<char, 4096> piece;
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(piece.data(), qint64(piece.size()));
        if (n < 0)
            return QByteArray();
        if (n == 0)
            break;
        hash.AddData(reinterpret_cast<const unsigned char*>(piece.data()), int(n));
        total += n;
    }
    file.close();
    const QByteArray digest = hash.Final();
    return QFile(path).size() == total ? digest : QByteArray();
}

QByteArray CloudHashDevice(QIODevice& device, qint64& total) {
    total = 0;
    QByteArray blockDigests;
    QByteArray block(int(CLOUD_BLOCK_SIZE), Qt::Uninitialized);
    for (;;) {
        const qint64 n = ReadFull(device, block.data(), CLOUD_BLOCK_SIZE);
        if (n < 0)
            return QByteArray();
        if (n == 0)
            break;
        blockDigests += HashBuffer(block.constData(), int(n), HASH_SHA1);
        total += n;
        if (n < CLOUD_BLOCK_SIZE)
            break;
    }
    return HashBuffer(blockDigests.constData(), blockDigests.size(), HASH_SHA1);
}

QByteArray CloudHashFile(const QString& path) {
    QFile file(path);
    if (!OpenForHashing(file))
        return QByteArray();
    qint64 total = 0;
    const QByteArray digest = CloudHashDevice(file, total);
    file.close();
    if (digest.isEmpty() || QFile(path).size() != total)
        return QByteArray(); // a read failed, or the file changed while it was read
    return digest;
}

namespace {
// Slicing by eight: table t[0] is the standard byte table of the reflected polynomial 0xEDB88320,
// t[k][n] the CRC of byte n followed by k zero bytes, so eight bytes take one step.
struct Crc32Tables {
    quint32 t[8][256];
    constexpr Crc32Tables() : t() {
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (int k = 1; k < 8; ++k) {
            for (quint32 i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
        }
    }
};
constexpr Crc32Tables kCrc;
} // namespace

quint32 core::crc32(const void* data, unsigned int len) {
    if (!data || len == 0)
        return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    quint32 crc = 0xFFFFFFFFu;
    for (; len >= 8; len -= 8, bytes += 8) {
        const quint32 low = crc ^ (quint32(bytes[0]) | quint32(bytes[1]) << 8 | quint32(bytes[2]) << 16 |
                                   quint32(bytes[3]) << 24);
        crc = kCrc.t[7][low & 0xFF] ^ kCrc.t[6][(low >> 8) & 0xFF] ^ kCrc.t[5][(low >> 16) & 0xFF] ^
              kCrc.t[4][low >> 24] ^ kCrc.t[3][bytes[4]] ^ kCrc.t[2][bytes[5]] ^ kCrc.t[1][bytes[6]] ^
              kCrc.t[0][bytes[7]];
    }
    while (len--)
        crc = kCrc.t[0][(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
