#include "support/StandInTypes.h"

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
