#include "network/LogRedaction.h"

#include <cstring>

namespace {

const char kMask[] = "***";

bool StartsWithNoCase(const QByteArray& line, int from, const char* prefix) {
    const int length = int(strlen(prefix));
    return line.size() - from >= length && qstrnicmp(line.constData() + from, prefix, uint(length)) == 0;
}

// "Name: a=1; b=2" keeps the names: "Name: a=***; b=***".
QByteArray RedactCookieValues(const QByteArray& line, int valueStart) {
    QByteArray out = line.left(valueStart);
    int i = valueStart;
    while (i < line.size()) {
        int end = line.indexOf(';', i);
        if (end < 0)
            end = line.size();
        const int equals = line.indexOf('=', i);
        if (equals >= 0 && equals < end) {
            out += line.mid(i, equals + 1 - i);
            out += kMask;
        } else {
            out += line.mid(i, end - i);
        }
        if (end < line.size())
            out += ';';
        i = end + 1;
    }
    return out;
}

QByteArray RedactCookieLines(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size());
    int start = 0;
    while (start < text.size()) {
        int end = text.indexOf('\n', start);
        end = end < 0 ? text.size() : end + 1;
        QByteArray line = text.mid(start, end - start);
        int trail = line.size();
        while (trail > 0 && (line[trail - 1] == '\n' || line[trail - 1] == '\r'))
            --trail;
        const QByteArray ending = line.mid(trail);
        line.truncate(trail);
        int from = 0;
        while (from < line.size() && (line[from] == ' ' || line[from] == '\t'))
            ++from;
        if (StartsWithNoCase(line, from, "cookie:"))
            line = RedactCookieValues(line, from + 7);
        else if (StartsWithNoCase(line, from, "set-cookie:"))
            line = RedactCookieValues(line, from + 11);
        out += line;
        out += ending;
        start = end;
    }
    return out;
}

// Index just past the JSON string that opens at `quote` (or the end of the text).
int StringEnd(const QByteArray& text, int quote) {
    for (int i = quote + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return text.size();
}

bool IsSecretName(const QByteArray& quoted) {
    return quoted == "\"token\"" || quoted == "\"key\"" || quoted == "\"iv\"" || quoted == "\"pwd\"";
}

int SkipBlanks(const QByteArray& text, int i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        ++i;
    return i;
}

// Strings are read whole, so a member name quoted inside another string is left alone.
QByteArray RedactJsonMembers(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size());
    int i = 0;
    while (i < text.size()) {
        const int quote = text.indexOf('"', i);
        if (quote < 0) {
            out += text.mid(i);
            break;
        }
        out += text.mid(i, quote - i);
        const int nameEnd = StringEnd(text, quote);
        const QByteArray name = text.mid(quote, nameEnd - quote);
        out += name;
        i = nameEnd;
        if (!IsSecretName(name))
            continue;
        int value = SkipBlanks(text, i);
        if (value >= text.size() || text[value] != ':')
            continue;
        value = SkipBlanks(text, value + 1);
        if (value >= text.size() || text[value] == '{' || text[value] == '[')
            continue; // not a scalar: its own members are looked at in turn
        int valueEnd = value;
        if (text[value] == '"') {
            valueEnd = StringEnd(text, value);
        } else {
            while (valueEnd < text.size() && !strchr(",}] \t\r\n", text[valueEnd]))
                ++valueEnd;
        }
        out += text.mid(i, value - i);
        out += '"';
        out += kMask;
        out += '"';
        i = valueEnd;
    }
    return out;
}

// "?parad=<block>&" and "&parad=<block>" keep the name: the block holds the password's digest and
// the login cookies, enciphered with a key that every copy of the client carries.
QByteArray RedactParad(const QByteArray& text) {
    static const QByteArray name = "parad=";
    QByteArray out;
    int i = 0;
    while (i < text.size()) {
        const int at = text.indexOf(name, i);
        if (at < 0) {
            out += text.mid(i);
            break;
        }
        const int value = at + name.size();
        out += text.mid(i, value - i);
        if (at > 0 && text[at - 1] != '?' && text[at - 1] != '&') {
            i = value; // part of another name ("xparad=")
            continue;
        }
        int end = value;
        while (end < text.size() && !strchr("& \t\r\n\"", text[end]))
            ++end;
        out += kMask;
        i = end;
    }
    return out;
}

} // namespace

QByteArray RedactForLog(const QByteArray& text) {
    return RedactParad(RedactJsonMembers(RedactCookieLines(text)));
}
