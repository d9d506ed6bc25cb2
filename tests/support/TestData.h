#pragma once
// Fixtures checked into tests/data.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Path of a file below tests/data.
QString TestDataPath(const QString& relative);
// The bytes of a file below tests/data; empty when it cannot be read.
QByteArray ReadTestData(const QString& relative);
// The JSON object of a file below tests/data; empty (and a test failure) when it is not one.
QJsonObject LoadJsonObject(const QString& relative);
