#include "support/JsonLine.h"

#include <cmath>

QString JsonQuote(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

JsonLine& JsonLine::addField(const char* key, const QString& plain, const QString& json) {
    m_fields.push_back({QString::fromUtf8(key), plain, json});
    return *this;
}

JsonLine& JsonLine::add(const char* key, qint64 value) {
    const QString text = QString::number(value);
    return addField(key, text, text);
}

JsonLine& JsonLine::add(const char* key, quint64 value) {
    const QString text = QString::number(value);
    return addField(key, text, text);
}

JsonLine& JsonLine::add(const char* key, double value) {
    if (!std::isfinite(value))
        return addNull(key); // JSON has no NaN or infinity
    const QString text = QString::number(value, 'g', 9);
    return addField(key, text, text);
}

JsonLine& JsonLine::add(const char* key, bool value) {
    const QString text = value ? QStringLiteral("true") : QStringLiteral("false");
    return addField(key, text, text);
}

JsonLine& JsonLine::add(const char* key, const QString& value) {
    return addField(key, value, JsonQuote(value));
}

JsonLine& JsonLine::addRaw(const char* key, const QString& json) {
    return addField(key, json, json);
}

JsonLine& JsonLine::addNull(const char* key) {
    return addField(key, QStringLiteral("null"), QStringLiteral("null"));
}

QString JsonLine::text() const {
    QString out = QStringLiteral("{");
    for (const Field& field : m_fields) {
        if (out.size() > 1)
            out += QLatin1Char(',');
        out += JsonQuote(field.key) + QLatin1Char(':') + field.json;
    }
    return out + QLatin1Char('}');
}

bool JsonLine::value(const QString& key, QString* plain) const {
    for (const Field& field : m_fields) {
        if (field.key == key) {
            *plain = field.plain;
            return true;
        }
    }
    return false;
}
