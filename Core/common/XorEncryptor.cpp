#include "common/XorEncryptor.h"

#include <cstring>

void XorEncryptor::Enc(void* data, unsigned int len, const char* key) {
    const size_t keyLength = key ? std::strlen(key) : 0;
    if (!data || keyLength == 0)
        return;
    auto* bytes = static_cast<unsigned char*>(data);
    for (unsigned int i = 0; i < len; ++i)
        bytes[i] ^= static_cast<unsigned char>(key[i % keyLength]);
    for (unsigned int i = 0; i < len; ++i)
        bytes[i] = SLR(bytes[i], int(i % 7) + 1);
}

void XorEncryptor::Dec(void* data, unsigned int len, const char* key) {
    const size_t keyLength = key ? std::strlen(key) : 0;
    if (!data || keyLength == 0)
        return;
    auto* bytes = static_cast<unsigned char*>(data);
    for (unsigned int i = 0; i < len; ++i)
        bytes[i] = SLR(bytes[i], 7 - int(i % 7)); // a right rotation by (i mod 7) + 1
    for (unsigned int i = 0; i < len; ++i)
        bytes[i] ^= static_cast<unsigned char>(key[i % keyLength]);
}

unsigned char XorEncryptor::SLR(unsigned char b, int n) {
    n &= 7;
    if (n == 0)
        return b;
    return static_cast<unsigned char>((b << n) | (b >> (8 - n)));
}
