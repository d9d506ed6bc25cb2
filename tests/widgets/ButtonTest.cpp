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
#include <QSet>

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

// A picture of solid colours side by side, one `side` x `side` block each; its path.
QString SolidBlocks(const QString& name, const QList<QColor>& colours, int side = 20) {
    QImage image(side * colours.size(), side, QImage::Format_RGB32);
    QPainter painter(&image);
    for (int i = 0; i < colours.size(); ++i)
        painter.fillRect(i * side, 0, side, side, colours.at(i));
    painter.end();
    const QString path = QDir::current().filePath(name);
    return image.save(path) ? path : QString();
}

TEST(QButtonCustomTest, CutsAGridColumnByColumn) {
    // Top row red, green; bottom row blue, yellow.
    QImage grid(40, 40, QImage::Format_RGB32);
    QPainter painter(&grid);
    painter.fillRect(0, 0, 20, 20, Qt::red);
    painter.fillRect(20, 0, 20, 20, Qt::green);
    painter.fillRect(0, 20, 20, 20, Qt::blue);
    painter.fillRect(20, 20, 20, 20, Qt::yellow);
    painter.end();
    const QString path = QDir::current().filePath(QStringLiteral("grid.png"));
    ASSERT_TRUE(grid.save(path));
    QButtonCustom button(path, 2, nullptr, 2);
    EXPECT_EQ(button.sizeHint(), QSize(20, 20));
    EXPECT_EQ(button.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(button.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    button.resize(20, 20);
    const QColor expected[] = {Qt::red, Qt::blue, Qt::green, Qt::yellow};
    for (int index = 0; index < 4; ++index) {
        // The state index is the Qt property the windows animate.
        ASSERT_TRUE(button.setProperty("m_nCurIndex", index));
        EXPECT_EQ(button.property("m_nCurIndex").toInt(), index);
        EXPECT_EQ(QColor(Grab(button).pixel(10, 10)), expected[index]) << "state " << index;
    }
}

TEST(QButtonCustomTest, OneFilePerStateAndAnIconForTheSize) {
    QVector<QString> files;
    const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::gray};
    for (int i = 0; i < 4; ++i)
        files << SolidBlocks(QStringLiteral("state%1.png").arg(i), {colours[i]});
    const QString icon = SolidBlocks(QStringLiteral("icon.png"), {Qt::black}, 13);
    QButtonCustom button(files, nullptr, icon);
    // The icon decides the size hint and is never painted.
    EXPECT_EQ(button.sizeHint(), QSize(13, 13));
    button.resize(20, 20);
    EXPECT_EQ(QColor(Grab(button).pixel(5, 5)), QColor(Qt::red));
    Send(button, QEvent::Enter);
    EXPECT_EQ(QColor(Grab(button).pixel(5, 5)), QColor(Qt::green));
    Send(button, QEvent::MouseButtonPress, Qt::LeftButton);
    EXPECT_EQ(QColor(Grab(button).pixel(5, 5)), QColor(Qt::blue));
    // An empty list keeps the frames.
    QVector<QString> none;
    button.setPixmapList(none);
    EXPECT_EQ(QColor(Grab(button).pixel(5, 5)), QColor(Qt::blue));
}

// The colours of the pixels where the text differs from the bare frame.
QSet<QRgb> TextColours(QButtonCustom& button, const QPixmap& frame) {
    const QImage shown = Grab(button);
    const QImage bare = OverBackground(button, frame);
    QSet<QRgb> colours;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            if (shown.pixel(x, y) != bare.pixel(x, y))
                colours.insert(shown.pixel(x, y) | 0xff000000u);
        }
    }
    return colours;
}

TEST(QButtonCustomTest, TextIsWhiteUnlessColoursAreSetThenTakesTheStatesColour) {
    const QString sprite = QStringLiteral(":/skin/main/button1.png");
    const QPixmap picture(sprite);
    QButtonCustom button(sprite, 4);
    button.setText(QStringLiteral("HH"));
    QFont font = button.font();
    font.setPixelSize(24);
    font.setBold(true);
    button.setFont(font);
    button.resize(button.sizeHint());
    ASSERT_EQ(button.size(), QSize(80, 30));

    QSet<QRgb> colours = TextColours(button, picture.copy(0, 0, 80, 30));
    ASSERT_FALSE(colours.isEmpty());
    EXPECT_TRUE(colours.contains(qRgb(255, 255, 255)));

    QColor normal(200, 0, 0);
    QColor hover(0, 200, 0);
    QColor pressed(0, 0, 200);
    QColor disabled(90, 60, 30);
    button.setTextColor(normal, hover, pressed, disabled);
    colours = TextColours(button, picture.copy(0, 0, 80, 30));
    EXPECT_TRUE(colours.contains(normal.rgb()));
    EXPECT_FALSE(colours.contains(qRgb(255, 255, 255)));

    button.setEnabled(false);
    colours = TextColours(button, picture.copy(240, 0, 80, 30));
    EXPECT_TRUE(colours.contains(disabled.rgb()));
    EXPECT_FALSE(colours.contains(normal.rgb()));
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

TEST(CUserInfoButtonTest, DrawsTheQuotaTextInItsBoxOnly) {
    CUserInfoButton button(QStringLiteral("no-such-face.png"), QStringLiteral(":/skin/main/prg_volume_info.png"));
    button.resize(139, 104);
    const QImage before = Grab(button);
    button.SetMemoryText(QStringLiteral("1.5G/10G"));
    const QImage after = Grab(button);
    // The text box: 80 x 25 at (61, y + 5), y = (104 - 38) / 2.
    const QRect box(61, 38, 80, 25);
    bool changedInBox = false;
    for (int y = 0; y < after.height(); ++y) {
        for (int x = 0; x < after.width(); ++x) {
            if (after.pixel(x, y) == before.pixel(x, y))
                continue;
            ASSERT_TRUE(box.contains(x, y)) << "text outside its box at " << x << ", " << y;
            changedInBox = true;
        }
    }
    EXPECT_TRUE(changedInBox);
}

} // namespace
