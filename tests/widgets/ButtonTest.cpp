// The sprite buttons as the user sees them: the frame each pointer action shows, the icon-and-text
// button's background, the tab's highlight, and the user button's face.
#include "ColorPrint.h"
#include "widgets/CTabButton.h"
#include "widgets/CUserInfoButton.h"
#include "widgets/QButtonCustom.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPainter>

#include <functional>
#include <gtest/gtest.h>

namespace {

const QColor kGreen(42, 195, 138);

void Send(QWidget& widget, QEvent::Type type, Qt::MouseButton button = Qt::NoButton) {
    if (type == QEvent::Enter || type == QEvent::Leave) {
        QEvent event(type);
        QApplication::sendEvent(&widget, &event);
        return;
    }
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton;
    QMouseEvent event(type, QPointF(5, 5), button, held, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

// What a widget shows: `picture` laid over the window background that a grab paints first.
QImage OverBackground(const QWidget& widget, const QPixmap& picture) {
    QImage image(picture.size(), QImage::Format_RGB32);
    image.fill(widget.palette().color(QPalette::Window));
    QPainter(&image).drawPixmap(0, 0, picture);
    return image;
}

QImage Grab(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

struct FrameStep {
    const char* action;
    std::function<void(QButtonCustom&)> act;
    int frame;
};

TEST(QButtonCustomTest, ShowsTheFrameOfEachPointerState) {
    const QString sprite = QStringLiteral(":/skin/main/btn_close.png");
    const FrameStep steps[] = {
        {"new", [](QButtonCustom&) {}, 0},
        {"enter", [](QButtonCustom& b) { Send(b, QEvent::Enter); }, 1},
        {"left press", [](QButtonCustom& b) { Send(b, QEvent::MouseButtonPress, Qt::LeftButton); }, 2},
        {"left release", [](QButtonCustom& b) { Send(b, QEvent::MouseButtonRelease, Qt::LeftButton); }, 1},
        {"leave", [](QButtonCustom& b) { Send(b, QEvent::Leave); }, 0},
        {"disabled", [](QButtonCustom& b) { b.setEnabled(false); }, 3},
        {"enter while disabled", [](QButtonCustom& b) { Send(b, QEvent::Enter); }, 3},
        {"enabled", [](QButtonCustom& b) { b.setEnabled(true); }, 0},
        {"enter again", [](QButtonCustom& b) { Send(b, QEvent::Enter); }, 1},
        {"right press", [](QButtonCustom& b) { Send(b, QEvent::MouseButtonPress, Qt::RightButton); }, 1},
        {"right release", [](QButtonCustom& b) { Send(b, QEvent::MouseButtonRelease, Qt::RightButton); }, 1},
        {"state index past the frames", [](QButtonCustom& b) { b.setcurIndex(7); }, 3},
    };
    QButtonCustom button(sprite, 4);
    button.resize(button.sizeHint());
    ASSERT_EQ(button.size(), QSize(20, 20));
    const QPixmap picture(sprite);
    for (const FrameStep& step : steps) {
        SCOPED_TRACE(step.action);
        step.act(button);
        EXPECT_EQ(Grab(button), OverBackground(button, picture.copy(step.frame * 20, 0, 20, 20)));
    }
}

TEST(QButtonCustomTest, OneFrameButtonStaysOnItsFrame) {
    const QString sprite = QStringLiteral(":/skin/main/trans_play.png");
    QButtonCustom button(sprite, 1);
    button.resize(button.sizeHint());
    const QImage frame = OverBackground(button, QPixmap(sprite));
    for (const QEvent::Type type : {QEvent::Enter, QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        Send(button, type, Qt::LeftButton);
        EXPECT_EQ(button.getcurIndex(), 0);
        EXPECT_EQ(Grab(button), frame);
    }
}

TEST(QButtonCustomTest, IconAndTextButtonHighlightsWhileHoveredOrPressed) {
    const QString sprite = QStringLiteral(":/skin/main/btn_ic_upload.png");
    QButtonCustom button(sprite, 4, QStringLiteral("上传文件"));
    button.setFixedSize(92, 30);
    button.setIconSize(QSize(32, 24));
    button.setIconOffset(QPoint(0, 3));
    button.setTextOffset(QPoint(32, 0));
    button.setTextSize(QSize(60, 30));
    const QColor frame(128, 219, 185);
    const QColor hoverFill(244, 252, 249);
    const QColor pressedFill(223, 246, 238);

    button.setcurIndex(1);
    QImage image = Grab(button);
    EXPECT_EQ(QColor(image.pixel(0, 0)), frame);
    EXPECT_EQ(QColor(image.pixel(88, 2)), hoverFill);

    button.setcurIndex(2);
    image = Grab(button);
    EXPECT_EQ(QColor(image.pixel(0, 0)), frame);
    EXPECT_EQ(QColor(image.pixel(88, 2)), pressedFill);

    button.setcurIndex(0);
    image = Grab(button);
    EXPECT_NE(QColor(image.pixel(88, 2)), hoverFill);
    EXPECT_NE(QColor(image.pixel(88, 2)), pressedFill);
    EXPECT_NE(QColor(image.pixel(0, 0)), frame);
    // The icon is the state's frame at its offset.
    EXPECT_EQ(image.copy(0, 3, 32, 24), OverBackground(button, QPixmap(sprite).copy(0, 0, 32, 24)));
}

TEST(CTabButtonTest, HighlightsWhenCheckedAndHidesTextWhenSmall) {
    CTabButton tab(QIcon(QStringLiteral(":/skin/main/icon_myzone.png")), QStringLiteral("我的文件"));
    tab.setCheckable(true);
    tab.resize(139, 50);

    tab.setChecked(true);
    EXPECT_EQ(QColor(Grab(tab).pixel(1, 25)), kGreen);

    tab.setChecked(false);
    QImage image = Grab(tab);
    EXPECT_NE(QColor(image.pixel(1, 25)), kGreen);
    const QRgb background = image.pixel(138, 0);
    bool textShown = false;
    for (int x = 57; x < 139; ++x) {
        for (int y = 0; y < 50; ++y)
            textShown = textShown || image.pixel(x, y) != background;
    }
    EXPECT_TRUE(textShown);

    tab.SetMode(CTabButton::Sizemode_Small);
    image = Grab(tab);
    for (int x = 57; x < 139; ++x) {
        for (int y = 0; y < 50; ++y)
            ASSERT_EQ(image.pixel(x, y), background) << "at " << x << ", " << y;
    }
}

QColor FaceCentre(CUserInfoButton& button) {
    // A 104-pixel high button: the 38 x 38 face lies at (10, 33).
    return QColor(Grab(button).pixel(29, 52));
}

TEST(CUserInfoButtonTest, LoadsTheFaceOnlyWhenItsPathChanges) {
    const QString red = QDir::current().filePath(QStringLiteral("red.png"));
    const QString blue = QDir::current().filePath(QStringLiteral("blue.png"));
    auto write = [](const QString& path, const QColor& colour) {
        QImage image(50, 40, QImage::Format_RGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(path));
    };
    write(red, Qt::red);
    write(blue, Qt::blue);
    CUserInfoButton button(red, QStringLiteral(":/skin/main/prg_volume_info.png"));
    button.resize(139, 104);
    EXPECT_EQ(FaceCentre(button), QColor(Qt::red));

    // The path already shown is not read again, even when the file changed.
    write(red, Qt::green);
    button.SetFaceIconFilePath(red);
    EXPECT_EQ(FaceCentre(button), QColor(Qt::red));
    button.SetFaceIconFilePath(blue);
    EXPECT_EQ(FaceCentre(button), QColor(Qt::blue));
}

} // namespace
