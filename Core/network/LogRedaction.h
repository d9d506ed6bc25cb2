#pragma once
// Takes secrets out of text before it goes to a debug line: the values of cookies ("Cookie:" and
// "Set-Cookie:" lines, whatever their case) and of the JSON members "token", "key", "iv" and
// "pwd" become "***". Everything else is kept byte for byte. Any thread.

#include <QByteArray>

QByteArray RedactForLog(const QByteArray& text);
