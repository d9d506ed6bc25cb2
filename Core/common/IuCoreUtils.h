#pragma once
// Conversions between UTF-8, wide strings and the locale encoding, file access by UTF-8 path,
// number and size formatting, and the MIME type of a local file. 8-bit strings hold UTF-8 unless
// said otherwise; wide strings hold one code point per element. No state: any thread, reentrant.
//
// Paths go to the operating system as their UTF-8 bytes, whatever the locale: converting them to
// the locale encoding would cut a Chinese name short under LANG=C and open a different file.

#include <cstdint>
#include <cstdio>
#include <string>

namespace IuCoreUtils {

// UTF-8 to code points; decoding stops at the first invalid or incomplete sequence, keeping what
// came before it.
std::wstring Utf8ToWstring(const std::string& text);
// Code points to UTF-8 (four bytes above U+FFFF); a surrogate or a value above U+10FFFF ends the
// encoding, keeping what came before it.
std::string WstringToUtf8(const std::wstring& text);
// UTF-8 to the encoding of the environment's locale, and back. A character the locale cannot
// represent ends the conversion, keeping what came before it. Not for paths (see above).
std::string Utf8ToSystemLocale(const std::string& text);
std::string SystemLocaleToUtf8(const std::string& text);
// The text unchanged; the code page is ignored.
std::string ConvertToUtf8(const std::string& text, const std::string& codepage);

// fopen of a UTF-8 path with the standard library's mode text; null on failure.
std::FILE* fopen_utf8(const char* path, const char* mode);
// The size of the file, or -1 when it cannot be queried.
int64_t getFileSize(const std::string& path);
bool FileExists(const std::string& path);
// Copies in pieces of 64 KiB to a temporary file beside `dst`, renamed into place once every write
// and the close succeeded. False when the source cannot be read, when `overwrite` is false and
// `dst` exists, or when a write, the close or the rename fails (nothing is left behind then).
bool copyFile(const std::string& src, const std::string& dst, bool overwrite);
// Creates the folder and every missing parent with `mode`. An existing folder counts as success;
// an existing non-folder on the way fails with errno ENOTDIR.
bool createDirectory(const std::string& path, unsigned int mode);
bool RemoveFile(const std::string& path);
bool MoveFileOrFolder(const std::string& from, const std::string& to);
// Reads a whole text file as UTF-8: a UTF-8 byte-order mark is dropped, text after the UTF-16
// little-endian mark FF FE is converted. False when the file cannot be opened or read.
bool ReadUtf8TextFile(const std::string& path, std::string& out);
// Replaces the file by `data`: the one writer of the program's private files (history, lists,
// snapshots, settings, pictures). A temporary file beside it gets the old file's mode, is written
// with every write checked, synced and renamed over the old file, and the folder is synced. False
// when any step fails, errno saying why (ENOSPC, EDQUOT, EFBIG: the disk is full); the old file
// then stays as it was and no temporary file is left. The new file's modification time is later
// than the old one's. The folder must exist.
bool PutFileContents(const std::string& path, const std::string& data);
bool PutFileContents(const std::string& path, const char* data, size_t size);

// The MIME type that the command "file" reports; "application/octet-stream" when it cannot run,
// empty when it cannot open the file. The path is one argument of its own: no shell sees it.
std::string GetFileMimeType(const std::string& path);
// "gif", "png" or "jpg" for the three image types (compared exactly); empty otherwise.
std::string GetDefaultExtensionForMimeType(const std::string& mime);

// After the last "/" or "\"; a query from the last "?" on is cut first.
std::string ExtractFileName(const std::string& path);
// After the last "." of the file name, without the dot; empty when the name has none.
std::string ExtractFileExt(const std::string& path);
// Up to and including the last "/" or "\"; empty when there is none.
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileNameNoExt(const std::string& path);
// Every occurrence of `find` replaced, left to right, the inserted text not searched again; the
// text unchanged when `find` is empty.
std::string StrReplace(const std::string& text, const std::string& find, const std::string& repl);

// Local time as "DD.MM.YYYY hh:mm:ss".
std::string timeStampToString(int64_t t);
// Decimal text of a value; `ok` (when given) false when the text holds no number or one outside
// the 64-bit range (the value is then the smallest 64-bit value).
int64_t stringToint64_t(const std::string& text, bool* ok = nullptr);
// Parses an integer like strtoll (blanks, a sign, "0x" with base 0 or 16, a leading 0 with base 0
// for octal). A magnitude outside the 64-bit range is a failure, never wrapped: the result is then
// the smallest 64-bit value, `ok` false and `end` the start of `s`. `ok` is false too when no digit
// was read (`end` is `s` then). Either pointer may be null.
int64_t zstrtoll(const char* s, const char** end, int base, bool* ok);
// "n/a", "N bytes", "N KB", "N.N MB", "N.N GB".
std::string fileSizeToString(int64_t n);
std::string toString(int value);
std::string toString(unsigned int value);
// `value` with `decimals` digits after the point, rounded as printf rounds.
std::string toString(double value, int decimals);
std::string int64_tToString(int64_t value);

} // namespace IuCoreUtils
