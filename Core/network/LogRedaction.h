#pragma once
// Takes secrets out of text before it goes to a debug line: the values of cookies ("Cookie:" and
// "Set-Cookie:" lines, whatever their case), of the JSON members "token", "key", "iv" and "pwd",
// and of a URL argument "parad" (the account service's enciphered block) become "***".
// Everything else is kept byte for byte. Any thread.

#include <QByteArray>

QByteArray RedactForLog(const QByteArray& text);
