#include "common/Hash.h"

#include <gtest/gtest.h>

namespace {

TEST(HashTest, KnownDigests) {
    EXPECT_EQ(HashBuffer("", 0, HASH_MD5), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(HashBuffer("abc", 3, HASH_SHA1), QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(core::crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(core::crc32("", 0), 0u);
}

TEST(HashTest, PiecesGiveTheDigestOfTheirConcatenation) {
    CHash whole(HASH_SHA1);
    whole.AddData(reinterpret_cast<const unsigned char*>("abc"), 3);
    CHash pieces(HASH_SHA1);
    for (const char* piece : {"a", "b", "c"})
        pieces.AddData(reinterpret_cast<const unsigned char*>(piece), 1);
    EXPECT_EQ(whole.Final(), pieces.Final());
    const unsigned char bytes[] = {0, 171};
    EXPECT_EQ(Digest2String(bytes, 2), QByteArray("00ab"));
    EXPECT_TRUE(Digest2String(bytes, 0).isEmpty());
}

} // namespace
