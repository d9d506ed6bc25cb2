#pragma once
// The records of the service's configuration reply. The configuration parser fills them, the
// global configuration keeps the last one as config_ack, the request side takes hosts and
// fallback addresses from it. Plain copyable values.

#include <QString>
#include <QtGlobal>

// One "addr_1" / "addr_2" triple: "address,extra,mode".
struct IP_INFO {
    QString address; // an IP address of the service, used as a fallback address
    QString extra;
    QString mode; // a one-letter tag

    // "address,extra,mode", or empty when there is no address.
    QString FormatStr() const {
        if (address.isEmpty())
            return QString();
        return QStringLiteral("%1,%2,%3").arg(address, extra, mode);
    }
};

struct ADDR_INFO {
    QString http; // host name of the service, cleaned by ValidateGetConfig
    IP_INFO addr_1;
    IP_INFO addr_2;
    QString backup;     // further addresses, comma-separated, as received
    QString test_url_1; // "http://" + addr_1.address + the reply's "test_addr"; empty without address
    QString test_url_2;
};

// The "cfg" block of the reply.
struct API_TEST {
    qint32 diff = 0;
    qint32 limit = 0;
    QString cip; // from the top-level "cip"
    qint32 exptime = 0;
    qint32 dtimeout = 0;
    qint32 ptimeout = 0;
};

struct GET_CONFIG_ACK {
    ADDR_INFO api;        // reply key "api"
    ADDR_INFO ver;        // reply key "q"; only http is filled
    ADDR_INFO comet;      // reply key "p"; only http is filled
    API_TEST cfg;         // reply key "cfg"
    quint32 is_https = 0; // not 0: the service asks for HTTPS
};
