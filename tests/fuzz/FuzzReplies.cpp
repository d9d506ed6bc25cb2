// Arbitrary bytes through every reply parser of the API client.
#include "network/QCResponseCommon.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

namespace {

void Convert(const QJsonValue& value) {
    QCResponseCommon::JsonInt(value);
    QCResponseCommon::JsonBool(value);
    QCResponseCommon::JsonULong(value);
    QCResponseCommon::JsonULongLong(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    if (document.isArray()) {
        for (const QJsonValue& value : document.array())
            Convert(value);
        return 0;
    }
    if (!document.isObject())
        return 0;
    QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        Convert(it.value());

    QCResponseCommon parser;
    parser.parseGetConfig(object);
    parser.parseDownloadInfo(object);
    parser.parseDownloadMeta(object);
    parser.parseUploadInfo(object);
    parser.parseUploadCommit(object);
    parser.parseUploadAdd(object);
    // The upload's own block list: as many blocks as the input's first byte says.
    std::vector<BLOCK_INFO> blocks(size > 0 ? data[0] % 8 : 0);
    for (size_t i = 0; i < blocks.size(); ++i) {
        blocks[i].bidx = quint32(i + 1);
        blocks[i].bhash = QStringLiteral("c%1").arg(i + 1);
    }
    parser.parseUploadMeta(object, blocks);
    return 0;
}
