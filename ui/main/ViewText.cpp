#include "main/ViewText.h"

#include "main/AppLocale.h"

#include <QDateTime>
#include <QLocale>
#include <QMessageBox>

namespace {
const QString kSearch = QStringLiteral("search|");
const QString kAll = QStringLiteral("all|");
const QString kCurrent = QStringLiteral("current|");
} // namespace

bool IsSearchPath(const QString& path) {
    return path.startsWith(kSearch);
}

QString SearchKeyword(const QString& path) {
    if (!IsSearchPath(path))
        return QString();
    QString rest = path.mid(kSearch.size());
    if (rest.startsWith(kAll))
        rest = rest.mid(kAll.size());
    else if (rest.startsWith(kCurrent))
        rest = rest.mid(kCurrent.size());
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    return rest;
}

QString LocalTimeText(quint64 unixSeconds) {
    return WindowLocale().toString(QDateTime::fromSecsSinceEpoch(qint64(unixSeconds)), QLocale::ShortFormat);
}

void ShowViewMessage(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, QStringLiteral("提示"), text, QMessageBox::Ok);
}
