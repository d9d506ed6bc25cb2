#pragma once
// One flat JSON object written as one line, its keys in the order they were added (the headless
// driver's output, read by people as well as by tests). Values may also be looked up by key as
// plain text: a number as printed, a string unquoted, true/false.

#include <QString>
#include <QtGlobal>

#include <vector>

class JsonLine {
public:
    JsonLine& add(const char* key, qint64 value);
    JsonLine& add(const char* key, quint64 value);
    JsonLine& add(const char* key, int value) { return add(key, qint64(value)); }
    JsonLine& add(const char* key, unsigned int value) { return add(key, quint64(value)); }
    JsonLine& add(const char* key, double value);
    JsonLine& add(const char* key, bool value);
    JsonLine& add(const char* key, const QString& value);
    // `json` is written as it is (a nested object); its plain text is the same.
    JsonLine& addRaw(const char* key, const QString& json);
    JsonLine& addNull(const char* key);

    // "{...}" without a line end.
    QString text() const;
    // The plain text of `key`; false when the line has no such key.
    bool value(const QString& key, QString* plain) const;

private:
    struct Field {
        QString key;
        QString plain;
        QString json;
    };
    JsonLine& addField(const char* key, const QString& plain, const QString& json);

    std::vector<Field> m_fields;
};

// `text` as a JSON string literal, quotes included.
QString JsonQuote(const QString& text);
