#include "common/IuStringUtils.h"
#include "common/XorEncryptor.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace IuStringUtils;

namespace {

TEST(IuStringUtilsTest, Trim) {
    EXPECT_EQ(Trim(" \t\r\nabc d\n "), "abc d");
    EXPECT_EQ(Trim(" \t \t"), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("x"), "x");
}

TEST(IuStringUtilsTest, Split) {
    std::vector<std::string> out{"kept"};
    Split(",a,,b,c", ",", out, 2);
    EXPECT_EQ(out, (std::vector<std::string>{"kept", "a", "b,c"}));

    out.clear();
    Split(",a,,b;c,", ",;", out, 0);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c"}));

    out.clear();
    Split("a b ", " ", out, 1);
    EXPECT_EQ(out, (std::vector<std::string>{"a b "})) << "the rest keeps its delimiters";

    out.clear();
    Split(",,,", ",", out, 0);
    Split("", ",", out, 3);
    EXPECT_TRUE(out.empty());
}

TEST(IuStringUtilsTest, ReplaceAndCase) {
    EXPECT_EQ(Replace("x.y.z", ".", "::"), "x::y::z");
    EXPECT_EQ(Replace("abc", "", "-"), "abc");
    EXPECT_EQ(stricmp("abc", "ABC"), 0);
    EXPECT_LT(stricmp("a", "B"), 0);
    EXPECT_GT(stricmp("abd", "ABC"), 0);
    EXPECT_LT(stricmp("ab", "abc"), 0);
    EXPECT_EQ(stricmp(nullptr, nullptr), 0);
    EXPECT_LT(stricmp(nullptr, ""), 0);
    EXPECT_EQ(toLower("MiXeD 123"), "mixed 123");
}

TEST(IuStringUtilsTest, UnixLineEndingsToWindows) {
    EXPECT_EQ(ConvertUnixLineEndingsToWindows("a\nb"), "a\r\nb");
    EXPECT_EQ(ConvertUnixLineEndingsToWindows("a\r\nb"), "a\r\nb");
    EXPECT_EQ(ConvertUnixLineEndingsToWindows("\n\n"), "\r\n\r\n");
    EXPECT_EQ(ConvertUnixLineEndingsToWindows("end\r"), "end\r");
    EXPECT_EQ(ConvertUnixLineEndingsToWindows(""), "");
}

// XorEncryptor ---------------------------------------------------------------------------------

TEST(XorEncryptorTest, DecUndoesEnc) {
    std::vector<unsigned char> data(1000);
    std::mt19937 random(1);
    for (unsigned char& b : data)
        b = static_cast<unsigned char>(random());
    const std::vector<unsigned char> original = data;
    XorEncryptor::Enc(data.data(), unsigned(data.size()), "k3y!");
    EXPECT_NE(data, original);
    XorEncryptor::Dec(data.data(), unsigned(data.size()), "k3y!");
    EXPECT_EQ(data, original);
}

TEST(XorEncryptorTest, KeyRepeatsAndRotationHasPeriodSeven) {
    // Zero bytes XORed with the one-byte key "A" (0x41) give 0x41 everywhere before the rotation.
    unsigned char data[15] = {};
    XorEncryptor::Enc(data, sizeof data, "A");
    for (unsigned i = 0; i < sizeof data; ++i)
        EXPECT_EQ(data[i], XorEncryptor::SLR(0x41, int(i % 7) + 1)) << "index " << i;
    EXPECT_EQ(data[7], 0x82) << "index 7 rotates by 1 bit";
    EXPECT_EQ(data[6], 0xA0) << "index 6 rotates by 7 bits";

    unsigned char two[4] = {0, 0, 0, 0};
    XorEncryptor::Enc(two, 4, "\x01\x02");
    EXPECT_EQ(two[0], XorEncryptor::SLR(0x01, 1));
    EXPECT_EQ(two[1], XorEncryptor::SLR(0x02, 2));
    EXPECT_EQ(two[2], XorEncryptor::SLR(0x01, 3));
}

TEST(XorEncryptorTest, MatchesTheByteByByteDefinition) {
    const char key[] = "k3y";
    std::vector<unsigned char> data(100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 37 + 1);
    std::vector<unsigned char> expected = data;
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = XorEncryptor::SLR(static_cast<unsigned char>(expected[i] ^ key[i % 3]), int(i % 7) + 1);
    XorEncryptor::Enc(data.data(), unsigned(data.size()), key);
    EXPECT_EQ(data, expected);
}

TEST(XorEncryptorTest, EdgeCases) {
    unsigned char data[3] = {1, 2, 3};
    XorEncryptor::Enc(data, 0, "key");
    XorEncryptor::Enc(data, 3, "");
    XorEncryptor::Enc(data, 3, nullptr);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[1], 2);
    EXPECT_EQ(data[2], 3);
    EXPECT_EQ(XorEncryptor::SLR(0x81, 1), 0x03);
    EXPECT_EQ(XorEncryptor::SLR(0x81, 8), 0x81);
    EXPECT_EQ(XorEncryptor::SLR(0x0F, 4), 0xF0);
}

} // namespace
