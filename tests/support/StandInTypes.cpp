#include "support/StandInTypes.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <strings.h>

namespace {
const std::string* Find(const NameValueList& list, const std::string& name, bool ignoreCase) {
    for (const auto& [key, value] : list) {
        if (ignoreCase ? strcasecmp(key.c_str(), name.c_str()) == 0 : key == name)
            return &value;
    }
    return nullptr;
}
} // namespace

std::string RecordedRequest::header(const std::string& name) const {
    const std::string* value = Find(headers, name, true);
    return value ? *value : std::string();
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    return Find(headers, name, true) != nullptr;
}

std::string RecordedRequest::cookie(const std::string& name) const {
    const std::string* value = Find(cookies, name, false);
    return value ? *value : std::string();
}

std::string RecordedRequest::queryArg(const std::string& name) const {
    const std::string* value = Find(queryArgs, name, false);
    return value ? *value : std::string();
}

const FormPart* RecordedRequest::part(const std::string& name) const {
    for (const FormPart& p : parts) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

std::string StandInHex(const unsigned char* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::string StandInSha1Hex(const char* data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(data, length, digest, &digestLength, EVP_sha1(), nullptr) != 1)
        std::abort(); // no SHA-1: no hash the stand-in gives or checks could be trusted
    return StandInHex(digest, digestLength);
}
