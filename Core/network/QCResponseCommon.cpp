#include "network/QCResponseCommon.h"

#include "Database/QCGlobalConfig.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace {

// Strict decimal integer text: an optional sign (only when `allowSign`), then digits only.
bool ParseDecimal(const QString& text, bool allowSign, bool& negative, quint64& magnitude) {
    int i = 0;
    negative = false;
    if (allowSign && !text.isEmpty() && (text.at(0) == QLatin1Char('-') || text.at(0) == QLatin1Char('+'))) {
        negative = text.at(0) == QLatin1Char('-');
        i = 1;
    }
    if (i >= text.size())
        return false;
    magnitude = 0;
    for (; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (c < '0' || c > '9')
            return false;
        const quint64 digit = c - '0';
        if (magnitude > (std::numeric_limits<quint64>::max() - digit) / 10)
            return false; // beyond 64 bits
        magnitude = magnitude * 10 + digit;
    }
    return true;
}

// The value of `key`, with a non-empty array unwrapped to its first element.
QJsonValue FirstOfArray(const QJsonObject& object, const QString& key) {
    QJsonValue value = object.value(key);
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        value = array.isEmpty() ? QJsonValue() : array.first();
    }
    return value;
}

} // namespace

qint32 QCResponseCommon::JsonInt(const QJsonValue& value) {
    if (value.isDouble()) {
        const double d = value.toDouble();
        // Fractions and numbers outside 32 bits give 0, as the service's own clients read them.
        if (d != std::trunc(d) || d < double(std::numeric_limits<qint32>::min()) ||
            d > double(std::numeric_limits<qint32>::max()))
            return 0;
        return qint32(d);
    }
    if (value.isString()) {
        bool negative = false;
        quint64 magnitude = 0;
        if (!ParseDecimal(value.toString(), true, negative, magnitude))
            return 0;
        if (negative)
            return magnitude <= 2147483648ULL ? qint32(-qint64(magnitude)) : 0;
        return magnitude <= 2147483647ULL ? qint32(magnitude) : 0;
    }
    return 0;
}

bool QCResponseCommon::JsonBool(const QJsonValue& value) {
    if (value.isBool())
        return value.toBool();
    return JsonInt(value) > 0;
}

quint64 QCResponseCommon::JsonULongLong(const QJsonValue& value) {
    if (value.isDouble()) {
        const double d = std::trunc(value.toDouble());
        constexpr double two64 = 18446744073709551616.0;
        constexpr double two63 = 9223372036854775808.0;
        if (!(d < two64) || d < -two63)
            return 0;
        if (d < 0)
            return quint64(qint64(d)); // a negative number wraps: -1 gives 2^64 - 1
        return quint64(d);
    }
    if (value.isString()) {
        bool negative = false;
        quint64 magnitude = 0;
        return ParseDecimal(value.toString(), false, negative, magnitude) ? magnitude : 0;
    }
    return 0;
}

bool QCResponseCommon::JsonNegative(const QJsonValue& value) {
    if (value.isDouble())
        return value.toDouble() < 0;
    bool negative = false;
    quint64 magnitude = 0;
    return value.isString() && ParseDecimal(value.toString(), true, negative, magnitude) && negative &&
           magnitude != 0;
}

quint64 QCResponseCommon::JsonULong(const QJsonValue& value) {
    return JsonULongLong(value);
}

QString QCResponseCommon::JsonText(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

bool QCResponseCommon::IsValidHost(const QString& host) {
    static const QRegularExpression shape(QStringLiteral(
        "^(?:[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,62})(?:\\.[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,62}))*\\.?"
        "|\\[[0-9A-Fa-f:.]+\\])(?::([0-9]{1,5}))?$"));
    if (host.isEmpty() || host.size() > 260)
        return false;
    const QRegularExpressionMatch match = shape.match(host);
    if (!match.hasMatch())
        return false;
    const QString port = match.captured(1);
    return port.isEmpty() || (port.toInt() >= 1 && port.toInt() <= 65535);
}

void QCResponseCommon::ValidateGetConfig(QString& host) {
    host.remove(QStringLiteral("https://"));
    host.remove(QStringLiteral("http://"));
    host = host.trimmed();
    // A host from an unauthenticated reply ends up in URLs and headers: nothing but a host may pass.
    if (!host.isEmpty() && !IsValidHost(host))
        host.clear();
}

IP_INFO QCResponseCommon::SplitAddress(const QString& text) {
    IP_INFO info;
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() < 3)
        return info;
    if (!parts.at(0).isEmpty() && !IsValidHost(parts.at(0)))
        return info;
    info.address = parts.at(0);
    info.extra = parts.at(1);
    info.mode = parts.at(2);
    return info;
}

std::shared_ptr<GET_CONFIG_ACK> QCResponseCommon::parseGetConfig(QJsonObject& data) {
    auto ack = std::make_shared<GET_CONFIG_ACK>();
    if (data.isEmpty())
        return ack;

    const QString testAddr = JsonText(data, QStringLiteral("test_addr"));
    ack->cfg.cip = JsonText(data, QStringLiteral("cip"));
    g_Config.SetThumbs(JsonText(data, QStringLiteral("thumb_picture")),
                       JsonText(data, QStringLiteral("thumb_video")));

    const QJsonValue isHttps = data.value(QStringLiteral("is_https"));
    ack->is_https = isHttps.isBool() ? quint32(isHttps.toBool()) : quint32(JsonULong(isHttps));

    API_TEST& cfg = ack->cfg;
    cfg.limit = 170;
    cfg.diff = 10;
    cfg.exptime = 86400;
    cfg.dtimeout = 300000;
    cfg.ptimeout = 1800000;
    const QJsonValue cfgValue = FirstOfArray(data, QStringLiteral("cfg"));
    if (cfgValue.isObject()) {
        const QJsonObject c = cfgValue.toObject();
        cfg.limit = JsonInt(c.value(QStringLiteral("limit")));
        if (cfg.limit <= 9 || cfg.limit > 10240)
            cfg.limit = 170;
        cfg.diff = JsonInt(c.value(QStringLiteral("diff")));
        if (cfg.diff <= 0 || cfg.diff > 10240)
            cfg.diff = 10;
        cfg.exptime = JsonInt(c.value(QStringLiteral("exptime")));
        if (cfg.exptime <= 3599)
            cfg.exptime = 604800;
        cfg.dtimeout = JsonInt(c.value(QStringLiteral("dtimeout")));
        if (cfg.dtimeout < 60000)
            cfg.dtimeout = 300000;
        cfg.ptimeout = JsonInt(c.value(QStringLiteral("ptimeout")));
        if (cfg.ptimeout < 60000)
            cfg.ptimeout = 1800000;
    }

    const QJsonValue apiValue = FirstOfArray(data, QStringLiteral("api"));
    if (apiValue.isObject()) {
        const QJsonObject api = apiValue.toObject();
        ack->api.http = JsonText(api, QStringLiteral("http"));
        ack->api.backup = JsonText(api, QStringLiteral("backup"));
        ack->api.addr_1 = SplitAddress(JsonText(api, QStringLiteral("addr_1")));
        ack->api.addr_2 = SplitAddress(JsonText(api, QStringLiteral("addr_2")));
        if (!ack->api.addr_1.address.isEmpty())
            ack->api.test_url_1 = QStringLiteral("http://") + ack->api.addr_1.address + testAddr;
        if (!ack->api.addr_2.address.isEmpty())
            ack->api.test_url_2 = QStringLiteral("http://") + ack->api.addr_2.address + testAddr;
    }
    const QJsonValue q = data.value(QStringLiteral("q"));
    if (q.isObject())
        ack->ver.http = JsonText(q.toObject(), QStringLiteral("http"));
    const QJsonValue p = data.value(QStringLiteral("p"));
    if (p.isObject())
        ack->comet.http = JsonText(p.toObject(), QStringLiteral("http"));

    ValidateGetConfig(ack->api.http);
    ValidateGetConfig(ack->ver.http);
    ValidateGetConfig(ack->comet.http);
    return ack;
}
