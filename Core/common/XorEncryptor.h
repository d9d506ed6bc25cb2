#pragma once
// The byte scrambler of the archive files: XOR with a repeating key, then a left rotation of each
// byte by 1 to 7 bits (period 7). In place, no allocation; any thread. Not encryption: it only
// keeps the files from being read or edited by chance.

class XorEncryptor {
public:
    // `key` is a non-empty NUL-terminated byte string; an empty or null key changes nothing.
    static void Enc(void* data, unsigned int len, const char* key);
    // The exact inverse of Enc with the same key.
    static void Dec(void* data, unsigned int len, const char* key);
    // `b` rotated left by `n` bits within 8 bits.
    static unsigned char SLR(unsigned char b, int n);
};
