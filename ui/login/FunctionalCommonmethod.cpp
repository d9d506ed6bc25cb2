#include "login/FunctionalCommonmethod.h"

#include "common/CoreLog.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

const unsigned char kZeroPaddingIv[8] = {'r', 'q', 'm', '4', '0', '8', '1', '7'};

// DES-CBC from a private library context holding the legacy and default providers; made once,
// kept for the process (the context lives as long as the cipher). Null when it cannot be had.
const EVP_CIPHER* Des() {
    static EVP_CIPHER* const cipher = []() -> EVP_CIPHER* {
        OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
        if (!context) {
            CoreDebug("[login] no OpenSSL library context for DES");
            return nullptr;
        }
        EVP_CIPHER* des = nullptr;
        if (OSSL_PROVIDER_load(context, "legacy") && OSSL_PROVIDER_load(context, "default"))
            des = EVP_CIPHER_fetch(context, "DES-CBC", nullptr);
        if (!des) {
            CoreDebug("[login] DES-CBC is unavailable: OpenSSL's legacy provider did not load");
            OSSL_LIB_CTX_free(context);
        }
        return des;
    }();
    return cipher;
}

// One DES-CBC pass over `data` from `iv`; empty on any failure (the caller never falls back to
// sending clear text).
std::string Crypt(const std::string& data, const std::string& key, const unsigned char* iv, bool encrypt,
                  bool padding) {
    const EVP_CIPHER* des = Des();
    if (!des || data.size() > size_t(INT_MAX) - 16)
        return std::string();
    unsigned char keyBlock[8] = {};
    memcpy(keyBlock, key.data(), std::min<size_t>(key.size(), sizeof keyBlock));
    if (!iv)
        iv = keyBlock;
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!context || EVP_CipherInit_ex2(context.get(), des, keyBlock, iv, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0) != 1)
        return std::string();
    std::string out(data.size() + 16, '\0');
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&out[0]);
    int written = 0;
    int last = 0;
    if (EVP_CipherUpdate(context.get(), bytes, &written, reinterpret_cast<const unsigned char*>(data.data()),
                         int(data.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), bytes + written, &last) != 1)
        return std::string();
    out.resize(size_t(written + last));
    return out;
}

} // namespace

std::string FunctionalCommonmethod::des_cbc_pkcs5_encrypt(const std::string& data, const std::string& key) {
    return Crypt(data, key, nullptr, true, true);
}

std::string FunctionalCommonmethod::des_cbc_zero_encrypt(const std::string& data, const std::string& key) {
    std::string padded = data;
    padded.resize((data.size() + 7) / 8 * 8, '\0');
    return Crypt(padded, key, kZeroPaddingIv, true, false);
}

std::string FunctionalCommonmethod::des_cbc_pkcs5_decrypt(const std::string& data, const std::string& key) {
    return Crypt(data.substr(0, data.size() / 8 * 8), key, kZeroPaddingIv, false, false);
}

std::unique_ptr<char[]> FunctionalCommonmethod::base64Encode(const char* data, int length, bool newLine) {
    if (!data || length <= 0 || length > INT_MAX / 2) {
        std::unique_ptr<char[]> empty(new char[1]);
        empty[0] = '\0';
        return empty;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    // Four characters per three bytes, a line break per 64 characters, the final NUL, slack.
    const size_t size = size_t(length + 2) / 3 * 4 + size_t(length) / 48 + 16;
    std::unique_ptr<char[]> text(new char[size]());
    auto* out = reinterpret_cast<unsigned char*>(text.get());
    if (!newLine) {
        EVP_EncodeBlock(out, in, length);
        return text;
    }
    std::unique_ptr<EVP_ENCODE_CTX, void (*)(EVP_ENCODE_CTX*)> context(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
    if (!context)
        return text;
    int written = 0;
    int last = 0;
    EVP_EncodeInit(context.get());
    if (EVP_EncodeUpdate(context.get(), out, &written, in, length) != 1)
        written = 0;
    EVP_EncodeFinal(context.get(), out + written, &last);
    out[written + last] = '\0';
    return text;
}

std::unique_ptr<char[]> FunctionalCommonmethod::base64Decode(const char* data, int length, bool newLine) {
    // The decoder skips line breaks itself, so the flag needs no separate path.
    (void)newLine;
    const int size = std::max(length, 0);
    std::unique_ptr<char[]> bytes(new char[size_t(size) + 1]());
    if (!data || size == 0)
        return bytes;
    std::unique_ptr<EVP_ENCODE_CTX, void (*)(EVP_ENCODE_CTX*)> context(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
    if (!context)
        return bytes;
    // Three bytes per four characters: the decoded bytes always fit, with room for one group.
    std::string decoded(size_t(size) + 4, '\0');
    auto* out = reinterpret_cast<unsigned char*>(&decoded[0]);
    int written = 0;
    int last = 0;
    EVP_DecodeInit(context.get());
    if (EVP_DecodeUpdate(context.get(), out, &written, reinterpret_cast<const unsigned char*>(data), size) < 0)
        return bytes;
    if (EVP_DecodeFinal(context.get(), out + written, &last) < 0)
        return bytes;
    memcpy(bytes.get(), decoded.data(), std::min<size_t>(size_t(written + last), size_t(size)));
    return bytes;
}
