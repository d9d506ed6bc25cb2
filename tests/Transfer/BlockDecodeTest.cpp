// Decoding block replies one after another with the same two buffers, as each pool thread of a
// download does: every block comes out as its own bytes, whatever came before it, and once the
// buffers have grown no block needs new memory.
#include "Transfer/QCDownloadFile.h"

#include "common/Hash.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

const AES_KEY_PAIR kKey{QByteArray(32, 'k'), QByteArray(16, 'v')};

QByteArray Bytes(int size, unsigned seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    unsigned state = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char("abcdefgh"[(state >> 16) % 8]); // compressible, and different per seed
    }
    return bytes;
}

QByteArray Deflate(const QByteArray& in) {
    uLongf length = compressBound(uLong(in.size()));
    QByteArray out(int(length), Qt::Uninitialized);
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                        reinterpret_cast<const Bytef*>(in.constData()), uLong(in.size()), Z_BEST_SPEED),
              Z_OK);
    out.resize(int(length));
    return out;
}

QByteArray Encrypt(const QByteArray& in) {
    QByteArray out(in.size() + 32, Qt::Uninitialized);
    int length = 0;
    int last = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char*>(kKey.key.constData()),
                       reinterpret_cast<const unsigned char*>(kKey.iv.constData()));
    EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(out.data()), &length,
                      reinterpret_cast<const unsigned char*>(in.constData()), in.size());
    EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char*>(out.data()) + length, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(length + last);
    return out;
}

struct Reply {
    int size;
    bool encrypted;
    bool compressed;
};

TEST(BlockDecodeTest, BlocksDecodedInTurnWithTheSameBuffersComeOutWhole) {
    const int full = int(CLOUD_BLOCK_SIZE);
    const Reply replies[] = {
        {full, false, false},     {full, true, true},   {full, false, true},    {300000, true, true},
        {1000, true, false},      {17, false, false},   {full, true, false},    {full, true, true},
        {full, false, false},     {full, false, true},  {full, true, true},     {full, true, true},
    };
    QByteArray body;
    QByteArray scratch;
    std::set<const char*> memory; // where decoded blocks lay once the buffers had grown
    for (size_t i = 0; i < sizeof replies / sizeof replies[0]; ++i) {
        const Reply& reply = replies[i];
        const QByteArray plain = Bytes(reply.size, unsigned(i));
        QByteArray wire = reply.compressed && reply.size > 1024 ? Deflate(plain) : plain;
        if (reply.encrypted)
            wire = Encrypt(wire);
        // The body arrives into the memory the previous block left, reserved as a block's
        // exchange reserves it (NetworkClient::setBodyBuffer).
        body.reserve(std::max(body.capacity(), full + 65536));
        body.resize(0);
        body.append(wire);
        ASSERT_TRUE(QCDownloadFile::DecodeBlock(body, scratch, reply.encrypted, reply.compressed,
                                                quint32(reply.size), kKey))
            << i;
        EXPECT_TRUE(body == plain) << "block " << i << " of " << reply.size << " bytes";
        if (i >= 2)
            memory.insert(body.constData());
    }
    EXPECT_LE(memory.size(), 2u) << "a decoded block lay in new memory";
}

TEST(BlockDecodeTest, AWrongKeyFailsAndAFailedInflationLeavesTheBytes) {
    const QByteArray plain = Bytes(4096, 9);
    QByteArray body = Encrypt(plain);
    QByteArray scratch;
    const AES_KEY_PAIR other{QByteArray(32, 'x'), QByteArray(16, 'v')};
    EXPECT_FALSE(QCDownloadFile::DecodeBlock(body, scratch, true, false, 4096, other));

    body = plain; // not deflated: the raw bytes stay, for the hash check to refuse or accept
    ASSERT_TRUE(QCDownloadFile::DecodeBlock(body, scratch, false, true, 4096, kKey));
    EXPECT_TRUE(body == plain);
}

} // namespace
