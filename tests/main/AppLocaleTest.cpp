// The window's language beyond its own texts: Qt's buttons and the form of dates and times.
#include "main/AppLocale.h"
#include "main/ViewText.h"

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

#include <gtest/gtest.h>

TEST(AppLocaleTest, QtsOwnButtonsAndTheDatesAreChinese) {
    const QLocale before;
    ASSERT_TRUE(InstallChineseTranslations(qApp)) << "Debian's qttranslations5-l10n is not installed";
    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("x"), QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    // The other tests of the run keep Qt's own texts and their locale.
    for (QTranslator* translator : qApp->findChildren<QTranslator*>())
        delete translator; // leaves the application's translators as it goes
    QLocale::setDefault(before);
    // Whatever the system's locale (the C locale wrote "14 Nov 2023 22:13:20"):
    const QString text = LocalTimeText(1700000000);
    EXPECT_TRUE(text.startsWith(QDateTime::fromSecsSinceEpoch(1700000000).toString(QStringLiteral("yyyy/M/d "))));
    EXPECT_TRUE(text.contains(QStringLiteral("午"))) << text.toStdString(); // 上午 or 下午
}
