// Arbitrary bytes through the readers of the account service's replies: as a body to each XML
// reader, and as header lines ("name: value") to the captcha token.
#include "login/replies/AccountReplies.h"

#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(const AccountReply& reply, bool needsQid) {
    if (reply.kind == AccountReplyKind::ServiceError && reply.errorNumber == 0)
        abort();
    if (reply.kind == AccountReplyKind::Success && needsQid && !IsSafeQid(reply.qid))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    Check(ReadLoginReply(bytes), true);
    Check(ReadUserInfoReply(bytes), true);
    Check(ReadRDReply(bytes), false);

    HeaderList headers;
    for (const QByteArray& line : bytes.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon >= 0)
            headers.append({QString::fromUtf8(line.left(colon).trimmed()), QString::fromUtf8(line.mid(colon + 1).trimmed())});
    }
    const QString token = CaptchaTokenOf(headers);
    if (token != token.simplified())
        abort();
    return 0;
}
