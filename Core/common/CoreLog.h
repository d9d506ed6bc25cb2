#pragma once
// The debug-line switch of the whole core. Off by default; the global configuration turns it on.
// Debug lines start with a bracketed tag such as "[db]" and go through Qt's debug channel.

namespace CoreLog {
bool Enabled();
void SetEnabled(bool on);
} // namespace CoreLog

// Writes one printf-style line through qDebug() while the switch is on; any thread.
void CoreDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));
