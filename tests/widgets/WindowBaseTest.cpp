// The frameless window base (dragged by its movable area, deaf to Escape) and the application
// style (no focus rectangle).
#include "widgets/MyProxyStyle.h"
#include "widgets/NoneBorderWndBase.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyleFactory>
#include <QStyleOptionFocusRect>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// `button` is the one that changed (none for a move), `held` the buttons down after the event. A
// move reaches a widget without mouse tracking only while a button is held.
void SendMouse(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, at, button, held, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

struct DragCase {
    const char* name;
    QRect movableArea; // null: the window's default
    Qt::MouseButton button;
    QPoint press;
    QPoint expected; // where the window ends
};

void PrintTo(const DragCase& c, std::ostream* out) {
    *out << c.name;
}

class DragTest : public ::testing::TestWithParam<DragCase> {};

TEST_P(DragTest, MovesTheWindowOnlyForALeftPressInItsArea) {
    const DragCase& c = GetParam();
    NoneBorderWndBase window;
    if (!c.movableArea.isNull())
        window.setAreaMovable(c.movableArea);
    window.move(100, 100);
    ASSERT_EQ(window.pos(), QPoint(100, 100));
    SendMouse(window, QEvent::MouseButtonPress, c.press, c.button, c.button);
    SendMouse(window, QEvent::MouseMove, c.press + QPoint(20, 15), Qt::NoButton, c.button);
    SendMouse(window, QEvent::MouseButtonRelease, c.press + QPoint(20, 15), c.button, Qt::NoButton);
    EXPECT_EQ(window.pos(), c.expected);
    // After the release, moving the pointer moves nothing, even with a button (said to be) held.
    SendMouse(window, QEvent::MouseMove, c.press + QPoint(40, 40), Qt::NoButton, Qt::LeftButton);
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

TEST(NoneBorderWndBaseTest, RightPressDuringADragLeavesItRunningUntilARelease) {
    const Qt::MouseButtons both = Qt::LeftButton | Qt::RightButton;
    NoneBorderWndBase window;
    window.move(100, 100);
    SendMouse(window, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
    SendMouse(window, QEvent::MouseButtonPress, {20, 20}, Qt::RightButton, both);
    SendMouse(window, QEvent::MouseMove, {30, 25}, Qt::NoButton, both);
    EXPECT_EQ(window.pos(), QPoint(120, 115));
    // The right press did not move the press point: the grabbed point stays under the pointer.
    SendMouse(window, QEvent::MouseMove, {15, 10}, Qt::NoButton, both);
    EXPECT_EQ(window.pos(), QPoint(125, 115));
    // Any release ends the drag, even with the left button still down.
    SendMouse(window, QEvent::MouseButtonRelease, {15, 10}, Qt::RightButton, Qt::LeftButton);
    SendMouse(window, QEvent::MouseMove, {40, 40}, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(window.pos(), QPoint(125, 115));
}

TEST(NoneBorderWndBaseTest, IsFramelessWhateverTheFlagsAndTranslucentOnRequest) {
    NoneBorderWndBase plain(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(plain.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_FALSE(plain.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_NE(plain.windowType(), Qt::Tool);
    EXPECT_TRUE(plain.isWindow());
    EXPECT_FALSE(plain.testAttribute(Qt::WA_TranslucentBackground));
    NoneBorderWndBase translucent(nullptr, Qt::WindowFlags(), true);
    EXPECT_TRUE(translucent.testAttribute(Qt::WA_TranslucentBackground));
}

TEST(NoneBorderWndBaseTest, ShadowLayerFallsBelowAndRightOfThePanel) {
    NoneBorderWndBase window(nullptr, Qt::WindowFlags(), true);
    QPointer<QWidget> panel = new QWidget(&window);
    window.setShadowLayer(panel);
    QPointer<QGraphicsDropShadowEffect> shadow = qobject_cast<QGraphicsDropShadowEffect*>(panel->graphicsEffect());
    ASSERT_TRUE(shadow);
    EXPECT_EQ(shadow->offset(), QPointF(4, 4));
    EXPECT_EQ(shadow->color(), QColor(0, 0, 0, 50));
    EXPECT_EQ(shadow->blurRadius(), 10);
    // The panel owns the effect.
    delete panel;
    EXPECT_TRUE(shadow.isNull());
}

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
