// What the application's tests stand on: widgets are shown headless, and the core logs in and
// reports to a receiver in the user interface's thread under the widget tests' main.
#include "support/EngineTestSupport.h"

#include "common/QCEventBase.h"
#include "sync/VUZeroz.h"

#include <QApplication>
#include <QImage>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

TEST(WidgetMainTest, ShowsAWidgetOffscreen) {
    ASSERT_TRUE(qobject_cast<QApplication*>(QCoreApplication::instance()));
    EXPECT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    QWidget widget;
    widget.setAutoFillBackground(true);
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, Qt::red);
    widget.setPalette(palette);
    widget.resize(120, 80);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    const QImage image = widget.grab().toImage();
    ASSERT_EQ(image.size(), QSize(120, 80));
    EXPECT_EQ(QColor(image.pixel(60, 40)), QColor(Qt::red));
}

using CoreUnderWidgetsTest = EngineTest;

TEST_F(CoreUnderWidgetsTest, LogsInAndReportsToTheUserInterfaceThread) {
    LogInAndSettle();
    const SYNC_INFO status = VUZeroz::GetInstance()->Status();
    EXPECT_EQ(status.status, UI_STATUS_SYNCED);
    EXPECT_EQ(receiver.thread(), QApplication::instance()->thread());
    EXPECT_GT(receiver.Count(QCEventBase::StatusChanged), 0);
}

} // namespace
