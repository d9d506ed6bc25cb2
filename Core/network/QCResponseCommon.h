#pragma once
// Turns the "data" member of a successful API reply into a typed record. Parsers are tolerant: a
// missing or mistyped key gives an empty text, 0 or false, and an empty "data" gives the record
// as constructed. Only checks that guard memory and paths reject a reply: those parsers return
// an empty pointer for a reply that breaks the protocol. Stateless: any thread, any number of
// calls at once (parseGetConfig also writes two texts of the global configuration).

#include "Database/ConfigRecords.h"
#include "network/AccountRecords.h"
#include "network/NodeRecords.h"
#include "network/TransferRecords.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

// No file of the service has more blocks than this (2 TiB in 512 KiB blocks).
constexpr quint64 MAX_FILE_BLOCKS = 4194304;

class QCResponseCommon {
public:
    virtual ~QCResponseCommon() = default;

    // Tolerant converters: null, arrays, objects and absent values give 0 / false.
    static qint32 JsonInt(const QJsonValue& value);
    static bool JsonBool(const QJsonValue& value);
    static quint64 JsonULong(const QJsonValue& value);
    static quint64 JsonULongLong(const QJsonValue& value);
    // Whether the value is a number below zero, or the decimal text of one: a size or count that
    // no file has (JsonULongLong would read it as 0 or wrap it).
    static bool JsonNegative(const QJsonValue& value);

    // Configuration reply ("User.getConfig"). Never empty.
    std::shared_ptr<GET_CONFIG_ACK> parseGetConfig(QJsonObject& data);
    // Strips "https://" and "http://" anywhere and blanks at both ends; a text that is then not a
    // plain host name or IP literal with an optional port becomes empty.
    static void ValidateGetConfig(QString& host);
    // Whether `host` is a host name, an IPv4 literal or a bracketed IPv6 literal, with an optional
    // ":port", and nothing else (no "/", "@", blanks or line breaks).
    static bool IsValidHost(const QString& host);

    // Account replies. Never empty.
    std::shared_ptr<LOGIN_ACK> parseLogin(QJsonObject& data);
    std::shared_ptr<USER_DETAIL_ACK> parseUserDetail(QJsonObject& data);
    std::shared_ptr<VERSION_ACK> parseVersion(QJsonObject& data);
    std::shared_ptr<BGSP_ACK> parseBgsp(QJsonObject& data);

    // Node replies. Never empty. A list node whose id is not a non-empty text, or whose name is
    // not a single file name, is left out and counted in `bad_nodes`.
    std::shared_ptr<GLOBAL_NODES_ACK> parseGlobalNode(QJsonObject& data);
    std::shared_ptr<INCR_GLOBAL_ACK> parseIncrNode(QJsonObject& data);
    std::shared_ptr<NODE_CHANGE_ACK> parseCreateDir(QJsonObject& data);

    // Transfer replies. parseDownloadMeta returns an empty pointer when the blocks do not tile the
    // file exactly in blocks of at most 512 KiB; parseUploadMeta when the answer does not match
    // the upload's own block list `blocks` (count, indexes, hashes).
    std::shared_ptr<DL_INFO_ACK> parseDownloadInfo(QJsonObject& data);
    std::shared_ptr<DL_META_ACK> parseDownloadMeta(QJsonObject& data);
    std::shared_ptr<UP_INFO_ACK> parseUploadInfo(QJsonObject& data);
    std::shared_ptr<UP_EX_ACK> parseUploadMeta(QJsonObject& data, const std::vector<BLOCK_INFO>& blocks);
    std::shared_ptr<UP_COMMIT_ACK> parseUploadCommit(QJsonObject& data);
    std::shared_ptr<UP_ADD_ACK> parseUploadAdd(QJsonObject& data);

    // The text of `key` when it is a JSON string, else empty.
    static QString JsonText(const QJsonObject& object, const QString& key);
    // Splits "address,extra,mode"; fewer than three parts, or an address that is not a valid
    // host, leave the record empty.
    static IP_INFO SplitAddress(const QString& text);
};
