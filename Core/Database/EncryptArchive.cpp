#include "Database/EncryptArchive.h"

#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/IuCoreUtils.h"
#include "common/PathUtils.h"
#include "common/XorEncryptor.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The scrambling key of every archive; builds that read each other's files must share it.
const char kArchiveKey[] = "Qc7Nb2x";
static_assert(sizeof(kArchiveKey) == 8, "seven characters and the terminator");

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<char, FreeDeleter>;

} // namespace

bool EncryptArchiveSave(const QString& path, const void* data, int length, long long value1,
                        long long value2) {
    if (!data || length <= 0) {
        QFile::remove(path);
        return false;
    }
    if (length < ARCHIVE_MIN_PAYLOAD || length > ARCHIVE_MAX_PAYLOAD)
        return false;

    // The buffer is ready before the file is touched, so a failed allocation changes nothing.
    const size_t total = size_t(ARCHIVE_HEADER_SIZE) + size_t(length);
    Block buffer(static_cast<char*>(std::malloc(total)));
    if (!buffer)
        return false;
    ARCHIVE_HEADER header;
    header.magic = ARCHIVE_MAGIC;
    header.crc = core::crc32(data, unsigned(length));
    header.value1 = value1;
    header.value2 = value2;
    header.length = quint32(length);
    std::memcpy(buffer.get(), &header, sizeof header);
    char* payload = buffer.get() + ARCHIVE_HEADER_SIZE;
    std::memcpy(payload, data, size_t(length));
    XorEncryptor::Enc(payload, unsigned(length), kArchiveKey);

    const QString folder = GetParentPath(path);
    if (!folder.isEmpty())
        QDir().mkpath(folder); // not checked: the open below reports a missing folder
    // Written beside `path` and renamed over it: a failed save leaves the old file whole.
    if (!IuCoreUtils::PutFileContents(QFile::encodeName(path).toStdString(), buffer.get(), total)) {
        const int error = errno; // the caller's report names it
        CoreDebug("[archive] write data faild file:%s err: %s", path.toUtf8().constData(), std::strerror(error));
        errno = error;
        return false;
    }
    return true;
}

void* EncryptArchiveLoad(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        CoreDebug("[archive] open faild : %s", file.errorString().toUtf8().constData());
        return nullptr;
    }
    const qint64 size = file.size();
    if (size < ARCHIVE_HEADER_SIZE + ARCHIVE_MIN_PAYLOAD || size > ARCHIVE_HEADER_SIZE + ARCHIVE_MAX_PAYLOAD)
        return nullptr;
    ARCHIVE_HEADER header;
    if (file.read(reinterpret_cast<char*>(&header), ARCHIVE_HEADER_SIZE) != ARCHIVE_HEADER_SIZE)
        return nullptr;
    if (header.magic != ARCHIVE_MAGIC || qint64(header.length) != size - ARCHIVE_HEADER_SIZE)
        return nullptr;

    // The length is known to be the real file size and within the bound: safe to allocate.
    const qint64 length = header.length;
    Block block(static_cast<char*>(std::malloc(size_t(size) + 4)));
    if (!block)
        return nullptr;
    std::memcpy(block.get(), &header, sizeof header);
    char* payload = block.get() + ARCHIVE_HEADER_SIZE;
    if (file.read(payload, length) != length)
        return nullptr;
    XorEncryptor::Dec(payload, unsigned(length), kArchiveKey);
    if (core::crc32(payload, unsigned(length)) != header.crc)
        return nullptr;
    std::memset(payload + length, 0, 4);
    return block.release();
}
