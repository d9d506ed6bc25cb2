#include "main/UserQuota.h"

#include "common/PathUtils.h"

#include <QtGlobal>

#include <limits>

namespace {

QString ShortSize(quint64 bytes) {
    const qint64 clamped = qint64(qMin<quint64>(bytes, quint64(std::numeric_limits<qint64>::max())));
    QString text = FormatBytesSize(clamped);
    text.remove(QLatin1Char('b'), Qt::CaseInsensitive);
    text.remove(QLatin1Char(' '));
    return text;
}

} // namespace

UserQuota QuotaOf(quint64 usedBytes, quint64 totalBytes) {
    UserQuota quota;
    quota.text = QStringLiteral("%1/%2").arg(ShortSize(usedBytes), ShortSize(totalBytes));
    if (totalBytes == 0)
        return quota;
    const double percent = double(usedBytes) * 100.0 / double(totalBytes);
    quota.barPos = int(qMin(percent, 100.0));
    if (quota.barPos == 0 && usedBytes != 0)
        quota.barPos = 1;
    return quota;
}
