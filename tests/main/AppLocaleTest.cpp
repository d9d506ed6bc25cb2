// The window's language beyond its own texts: Qt's buttons and the form of dates and times.
#include "main/AppLocale.h"
#include "main/ViewText.h"

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

#include <gtest/gtest.h>

namespace {

TEST(AppLocaleTest, QtsOwnButtonsAndTheDatesAreChinese) {
    const QLocale before;
    ASSERT_TRUE(InstallChineseTranslations(qApp)) << "Debian's qttranslations5-l10n is not installed";
    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("x"), QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(QLocale().language(), QLocale::Chinese);
    // Other tests of the run keep Qt's untranslated texts and the locale they began with.
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    QLocale::setDefault(before);

    // Dates follow the window's locale without the translations as well, whatever the system's.
    const QString text = LocalTimeText(1700000000);
    EXPECT_TRUE(text.startsWith(QDateTime::fromSecsSinceEpoch(1700000000).toString(QStringLiteral("yyyy/M/d "))))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("午"))) << text.toStdString(); // 上午 or 下午
}

} // namespace
