#include "common/XorEncryptor.h"

#include <cstring>

void XorEncryptor::Enc(void* data, unsigned int len, const char* key) {
    const size_t keyLength = key ? std::strlen(key) : 0;
    if (!data || keyLength == 0)
        return;
    auto* bytes = static_cast<unsigned char*>(data);
    // One pass with running key and rotation positions: archives run to hundreds of megabytes.
    size_t k = 0;
    int r = 0;
    for (unsigned int i = 0; i < len; ++i) {
        bytes[i] = SLR(static_cast<unsigned char>(bytes[i] ^ static_cast<unsigned char>(key[k])), r + 1);
        if (++k == keyLength)
            k = 0;
        if (++r == 7)
            r = 0;
    }
}

void XorEncryptor::Dec(void* data, unsigned int len, const char* key) {
    const size_t keyLength = key ? std::strlen(key) : 0;
    if (!data || keyLength == 0)
        return;
    auto* bytes = static_cast<unsigned char*>(data);
    size_t k = 0;
    int r = 0;
    for (unsigned int i = 0; i < len; ++i) {
        // A right rotation by (i mod 7) + 1, then the key.
        bytes[i] = static_cast<unsigned char>(SLR(bytes[i], 7 - r) ^ static_cast<unsigned char>(key[k]));
        if (++k == keyLength)
            k = 0;
        if (++r == 7)
            r = 0;
    }
}

unsigned char XorEncryptor::SLR(unsigned char b, int n) {
    n &= 7;
    if (n == 0)
        return b;
    return static_cast<unsigned char>((b << n) | (b >> (8 - n)));
}
