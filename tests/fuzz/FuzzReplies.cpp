// Arbitrary bytes through every reply parser of the API client.
#include "network/QCResponseCommon.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Convert(const QJsonValue& value) {
    QCResponseCommon::JsonInt(value);
    QCResponseCommon::JsonBool(value);
    QCResponseCommon::JsonULong(value);
    QCResponseCommon::JsonULongLong(value);
}

// A filed node must carry its own id and a name that is one plain path component.
void CheckNodes(const NodeMap& nodes) {
    for (const auto& entry : nodes) {
        const QString& name = entry.second.name;
        if (entry.first.isEmpty() || entry.first != entry.second.nid || name.isEmpty() ||
            name == QLatin1String(".") || name == QLatin1String("..") || name.contains(QLatin1Char('/')) ||
            name.contains(QChar(0)) || name == QLatin1String(".Nimboshare"))
            abort();
    }
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
    parser.parseLogin(object);
    parser.parseUserDetail(object);
    parser.parseVersion(object);
    parser.parseBgsp(object);
    CheckNodes(parser.parseGlobalNode(object)->nodes);
    CheckNodes(parser.parseIncrNode(object)->nodes);
    parser.parseCreateDir(object);
    // The upload's own block list: as many blocks as the input's first byte says.
    std::vector<BLOCK_INFO> blocks(size > 0 ? data[0] % 8 : 0);
    for (size_t i = 0; i < blocks.size(); ++i) {
        blocks[i].bidx = quint32(i + 1);
        blocks[i].bhash = QStringLiteral("c%1").arg(i + 1);
    }
    parser.parseUploadMeta(object, blocks);
    return 0;
}
