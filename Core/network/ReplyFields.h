#pragma once
// Short readers of one member of a reply object, shared by the reply parsers' sources: a text
// only from a JSON string, any other value through the tolerant converters.

#include "network/QCResponseCommon.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>

namespace ReplyFields {

inline QString Text(const QJsonObject& object, const char* key) {
    return QCResponseCommon::JsonText(object, QLatin1String(key));
}

inline QJsonValue Value(const QJsonObject& object, const char* key) {
    return object.value(QLatin1String(key));
}

// A 32-bit field keeps the low 32 bits of the reply's number.
inline quint32 Low32(const QJsonObject& object, const char* key) {
    return quint32(QCResponseCommon::JsonULong(Value(object, key)));
}

} // namespace ReplyFields
