#include "common/IuStringUtils.h"

#include "common/IuCoreUtils.h"

#include <cctype>

namespace {

int AsciiUpper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

} // namespace

namespace IuStringUtils {

std::string Trim(const std::string& text) {
    static const char kBlanks[] = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

void Split(const std::string& text, const std::string& delimiters, std::vector<std::string>& out, int max) {
    int taken = 0;
    for (size_t start = text.find_first_not_of(delimiters); start != std::string::npos;
         start = text.find_first_not_of(delimiters, start)) {
        if (max > 0 && taken + 1 >= max) {
            out.push_back(text.substr(start));
            return;
        }
        const size_t stop = text.find_first_of(delimiters, start);
        out.push_back(text.substr(start, stop - start));
        ++taken;
        if (stop == std::string::npos)
            return;
        start = stop;
    }
}

std::string Replace(const std::string& text, const std::string& find, const std::string& repl) {
    return IuCoreUtils::StrReplace(text, find, repl);
}

int stricmp(const char* a, const char* b) {
    if (!a || !b)
        return a == b ? 0 : (a ? 1 : -1);
    for (;; ++a, ++b) {
        const int ca = AsciiUpper(static_cast<unsigned char>(*a));
        const int cb = AsciiUpper(static_cast<unsigned char>(*b));
        if (ca != cb)
            return ca - cb;
        if (ca == 0)
            return 0;
    }
}

std::string toLower(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string ConvertUnixLineEndingsToWindows(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            // A CR travels with the character after it, so an existing CR LF is kept as it is.
            result += '\r';
            if (i + 1 < text.size())
                result += text[++i];
        } else if (text[i] == '\n') {
            result += "\r\n";
        } else {
            result += text[i];
        }
    }
    return result;
}

} // namespace IuStringUtils
