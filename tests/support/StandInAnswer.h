#pragma once
// What a method of the stand-in's API answers, and the script type that tests set per method.

#include "support/StandInTypes.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
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

// Scripted refusals by method: the next `times` calls of a method (-1: every one) get `answer`
// instead of what the stand-in's state would give. Any thread.
class ApiFailures {
public:
    void set(const std::string& method, int times, const ApiAnswer& answer) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_failures[method] = {times, answer};
    }
    // The scripted answer for this call of `method`, counting it; none when nothing is scripted.
    std::optional<ApiAnswer> take(const std::string& method) {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto failure = m_failures.find(method);
        if (failure == m_failures.end() || failure->second.first == 0)
            return std::nullopt;
        if (failure->second.first > 0)
            --failure->second.first;
        return failure->second.second;
    }

private:
    std::mutex m_lock;
    std::map<std::string, std::pair<int, ApiAnswer>> m_failures; // by method: times left, answer
};
