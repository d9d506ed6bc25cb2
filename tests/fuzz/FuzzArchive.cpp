// Arbitrary bytes through the archive loader (as a whole file on disk) and through the node
// snapshot's parser of part text (as UTF-32 lines).
#include "Database/EncryptArchive.h"
#include "Database/NodeStorage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace {

// The file each input is written to, in memory where the system offers it (twenty times the runs
// of a disk); removed when the run ends.
struct ScratchFile {
    QString path =
        QDir(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
            .filePath(QStringLiteral("fuzz_archive_%1.dat").arg(QCoreApplication::applicationPid()));
    ~ScratchFile() { QFile::remove(path); }
};

void ParseText(const void* bytes, size_t size) {
    // A copy: the parser reads whole aligned characters, as it does inside a loaded block.
    std::vector<wchar_t> text(size / sizeof(wchar_t));
    if (!text.empty())
        std::memcpy(text.data(), bytes, text.size() * sizeof(wchar_t));
    std::map<QString, FILE_INFO> nodes;
    NodeStorage::ParsePart(text.data(), text.size(), nodes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchFile scratch;
    const QString& path = scratch.path;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort(); // the harness itself is broken
        if (file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
            std::abort();
    }
    if (void* block = EncryptArchiveLoad(path)) {
        ARCHIVE_HEADER header;
        std::memcpy(&header, block, sizeof header);
        if (header.length % sizeof(wchar_t) == 0) {
            std::map<QString, FILE_INFO> nodes;
            NodeStorage::ParsePart(
                reinterpret_cast<const wchar_t*>(static_cast<char*>(block) + ARCHIVE_HEADER_SIZE),
                header.length / sizeof(wchar_t), nodes);
        }
        std::free(block);
    }
    ParseText(data, size);
    return 0;
}
