#include "support/TestData.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

#include <gtest/gtest.h>

QString TestDataPath(const QString& relative) {
    return QStringLiteral(NIMBO_TEST_DATA_DIR) + QLatin1Char('/') + relative;
}

QByteArray ReadTestData(const QString& relative) {
    QFile file(TestDataPath(relative));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << file.fileName().toStdString() << ": "
                      << file.errorString().toStdString();
        return QByteArray();
    }
    return file.readAll();
}

QJsonObject LoadJsonObject(const QString& relative) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(ReadTestData(relative), &error);
    if (!document.isObject()) {
        ADD_FAILURE() << relative.toStdString()
                      << " is not a JSON object: " << error.errorString().toStdString();
        return QJsonObject();
    }
    return document.object();
}
