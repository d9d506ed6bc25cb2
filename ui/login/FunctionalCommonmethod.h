#pragma once
// Single DES in CBC mode and base64, as the account service's parameter block needs them. Only
// des_cbc_pkcs5_encrypt (key "9e2a61d5") and base64Encode (no line breaks) take part in the
// protocol; the others complete the set.
//
// DES comes from OpenSSL 3's legacy provider, loaded together with the default one into a private
// library context made once per process; the global context stays as it was. When the provider
// cannot be loaded every DES operation returns empty bytes (with a debug line), so that nothing is
// ever sent unenciphered. Keys: the first 8 bytes, a shorter key zero-padded; no parity or
// weak-key checks. Stateless; any thread.

#include <memory>
#include <string>

class FunctionalCommonmethod {
public:
    // PKCS#5 padding, IV = the key block itself. A multiple of 8 bytes, at least 8; empty when DES
    // is unavailable.
    static std::string des_cbc_pkcs5_encrypt(const std::string& data, const std::string& key);
    // Zero padding of a trailing partial block (none added to whole blocks), IV "rqm40817".
    static std::string des_cbc_zero_encrypt(const std::string& data, const std::string& key);
    // IV "rqm40817"; the whole blocks of `data` only, padding bytes left as they are.
    static std::string des_cbc_pkcs5_decrypt(const std::string& data, const std::string& key);

    // Standard base64 of `length` bytes, NUL-terminated; with `newLine` a line break after every
    // 64 characters and at the end. Never null; empty text for a null `data` or length <= 0.
    static std::unique_ptr<char[]> base64Encode(const char* data, int length, bool newLine);
    // A zero-filled buffer of max(length, 0) bytes holding the decoded bytes of the first
    // `length` input bytes (never more than fit); `newLine` false: the input has no line breaks.
    // The decoded length is not reported.
    static std::unique_ptr<char[]> base64Decode(const char* data, int length, bool newLine);
};
