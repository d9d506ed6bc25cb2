#pragma once
// Trimming, splitting, replacing, comparing and case folding of 8-bit text. Stateless; any thread.

#include <string>
#include <vector>

namespace IuStringUtils {

// Without leading and trailing blanks, tabs, CRs and LFs.
std::string Trim(const std::string& text);
// Appends to `out` the maximal runs of characters not in `delimiters` (never an empty token). With
// `max` > 0 the token numbered `max` is the whole rest of the text from its start, delimiters
// included.
void Split(const std::string& text, const std::string& delimiters, std::vector<std::string>& out, int max);
// Every occurrence of `find` replaced, left to right; the text unchanged when `find` is empty.
std::string Replace(const std::string& text, const std::string& find, const std::string& repl);
// 0 when equal ignoring ASCII case, else the difference of the upper-cased first differing bytes.
// A null pointer sorts before any text.
int stricmp(const char* a, const char* b);
// Each byte through the standard library's tolower.
std::string toLower(const std::string& text);
// Every LF not already preceded by CR becomes CR LF.
std::string ConvertUnixLineEndingsToWindows(const std::string& text);

} // namespace IuStringUtils
