#pragma once
// What a method of the stand-in's API answers, and the script type that tests set per method.

#include "support/StandInTypes.h"

#include <functional>
#include <string>

struct ApiAnswer {
    int errnoValue = 0;
    std::string errmsg;
    std::string data = "{}"; // JSON text of the "data" member
    // When set, the body is sent as it stands instead of an envelope (for broken replies).
    bool rawBody = false;
    std::string body;
    int status = 200;

    // Success with `data` (JSON text).
    static ApiAnswer Data(const std::string& data) {
        ApiAnswer answer;
        answer.data = data;
        return answer;
    }
    // The service's error `errnoValue` with its text.
    static ApiAnswer Error(int errnoValue, const std::string& errmsg) {
        ApiAnswer answer;
        answer.errnoValue = errnoValue;
        answer.errmsg = errmsg;
        answer.data = "null";
        return answer;
    }
};

using ApiScript = std::function<ApiAnswer(const RecordedRequest&)>;
