// The frameless window base (dragged by its movable area, deaf to Escape) and the application
// style (no focus rectangle).
#include "widgets/MyProxyStyle.h"
#include "widgets/NoneBorderWndBase.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyleFactory>
#include <QStyleOptionFocusRect>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

void SendMouse(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, at, type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

struct DragCase {
    const char* name;
    QRect movableArea; // null: the window's default
    Qt::MouseButton button;
    QPoint press;
    QPoint expected; // where the window ends
};

class DragTest : public ::testing::TestWithParam<DragCase> {};

TEST_P(DragTest, MovesTheWindowOnlyForALeftPressInItsArea) {
    const DragCase& c = GetParam();
    NoneBorderWndBase window;
    if (!c.movableArea.isNull())
        window.setAreaMovable(c.movableArea);
    window.move(100, 100);
    ASSERT_EQ(window.pos(), QPoint(100, 100));
    SendMouse(window, QEvent::MouseButtonPress, c.press, c.button);
    SendMouse(window, QEvent::MouseMove, c.press + QPoint(20, 15), c.button);
    SendMouse(window, QEvent::MouseButtonRelease, c.press + QPoint(20, 15), c.button);
    EXPECT_EQ(window.pos(), c.expected);
    // After the release, moving the pointer moves nothing.
    SendMouse(window, QEvent::MouseMove, c.press + QPoint(40, 40), Qt::NoButton);
    EXPECT_EQ(window.pos(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Drags, DragTest,
    ::testing::Values(DragCase{"LeftPressDrags", QRect(), Qt::LeftButton, {10, 10}, {120, 115}},
                      DragCase{"RightPressDoesNot", QRect(), Qt::RightButton, {10, 10}, {100, 100}},
                      DragCase{"DefaultAreaIncludesItsCorner", QRect(), Qt::LeftButton, {639, 479}, {120, 115}},
                      DragCase{"DefaultAreaEndsAt640", QRect(), Qt::LeftButton, {640, 10}, {100, 100}},
                      DragCase{"PressBelowTheSetAreaDoesNot", QRect(0, 0, 100, 50), Qt::LeftButton, {10, 60}, {100, 100}},
                      DragCase{"PressInTheSetAreaDrags", QRect(0, 0, 100, 50), Qt::LeftButton, {10, 40}, {120, 115}}),
    [](const ::testing::TestParamInfo<DragCase>& info) { return std::string(info.param.name); });

TEST(NoneBorderWndBaseTest, EscapeLeavesTheDialogOpenAndOtherKeysReachIt) {
    NoneBorderWndBase dialog;
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    bool openAfterEscape = false;
    int resultAfterEscape = -1;
    QTimer::singleShot(0, &dialog, [&] {
        dialog.setResult(5);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        openAfterEscape = dialog.isVisible();
        resultAfterEscape = dialog.result();
        // Return goes on to the dialog, whose default button accepts it.
        QTest::keyClick(&dialog, Qt::Key_Return);
        if (dialog.isVisible())
            dialog.done(-2); // a dialog deaf to Return too: end the run here rather than hang
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(openAfterEscape);
    EXPECT_EQ(resultAfterEscape, 5);
}

bool AllTransparent(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
        }
    }
    return true;
}

QImage Draw(const QStyle& style, QStyle::PrimitiveElement element) {
    QImage image(40, 30, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QStyleOptionFocusRect option;
    option.rect = image.rect().adjusted(2, 2, -2, -2);
    option.state = QStyle::State_Enabled | QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
    option.palette = QApplication::palette();
    QPainter painter(&image);
    style.drawPrimitive(element, &option, &painter);
    return image;
}

TEST(MyProxyStyleTest, DrawsNoFocusRectangleAndEverythingElse) {
    MyProxyStyle style;
    // The default style does draw the focus rectangle, so its absence is this style's doing.
    std::unique_ptr<QStyle> base(QStyleFactory::create(style.baseStyle()->objectName()));
    ASSERT_TRUE(base);
    EXPECT_FALSE(AllTransparent(Draw(*base, QStyle::PE_FrameFocusRect)));
    EXPECT_TRUE(AllTransparent(Draw(style, QStyle::PE_FrameFocusRect)));
    EXPECT_FALSE(AllTransparent(Draw(style, QStyle::PE_PanelButtonCommand)));
}

} // namespace
