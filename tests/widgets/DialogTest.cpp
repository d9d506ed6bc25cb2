// The exit confirmation box, the about box and the settings dialog as their caller uses them:
// built afresh, run with exec(), ended by their buttons (never by Escape), fixed in size, dragged
// by their body; their texts in their own translation context; the settings dialog's pages.
#include "widgets/CAbout.h"
#include "widgets/CMsgBox.h"
#include "widgets/CSet.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

enum class Kind { MsgBox, About, Set };

std::unique_ptr<NoneBorderWndBase> Make(Kind kind) {
    switch (kind) {
    case Kind::MsgBox:
        return std::make_unique<CMsgBox>();
    case Kind::About:
        return std::make_unique<CAbout>();
    case Kind::Set:
        return std::make_unique<CSet>();
    }
    return nullptr;
}

template <typename T>
T* Child(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Runs `dialog` with exec() and calls `act` once its modal loop runs. A dialog still open after
// `act` is ended with -2, so that a dialog that ignores its buttons fails rather than hangs.
int ExecAndDo(NoneBorderWndBase& dialog, const std::function<void()>& act) {
    QTimer::singleShot(0, &dialog, [&] {
        act();
        if (dialog.isVisible())
            dialog.done(-2);
    });
    return dialog.exec();
}

// ---- Results of exec() ----

const int kStillOpen = -2;

struct ResultCase {
    const char* name;
    Kind kind;
    const char* button; // null: the Escape key
    int result;         // kStillOpen: the dialog is still open afterwards, its result unchanged
};

void PrintTo(const ResultCase& c, std::ostream* out) {
    *out << c.name;
}

class ResultTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(ResultTest, ExecEndsAsTheButtonSays) {
    const ResultCase& c = GetParam();
    auto dialog = Make(c.kind);
    const int kMarker = 7;
    bool acted = false;
    bool openAfter = false;
    int resultAfter = 0;
    const int result = ExecAndDo(*dialog, [&] {
        dialog->setResult(kMarker);
        if (c.button) {
            auto* button = Child<QAbstractButton>(*dialog, c.button);
            if (!button || !button->isVisible())
                return;
            QTest::mouseClick(button, Qt::LeftButton);
        } else {
            // Escape reaches the dialog from the focused widget, as a key press of the user does.
            QWidget* focus = dialog->focusWidget();
            QTest::keyClick(focus ? focus : dialog.get(), Qt::Key_Escape);
        }
        acted = true;
        openAfter = dialog->isVisible();
        resultAfter = dialog->result();
    });
    ASSERT_TRUE(acted) << "the button is missing or hidden";
    if (c.result == kStillOpen) {
        EXPECT_TRUE(openAfter);
        EXPECT_EQ(resultAfter, kMarker);
    } else {
        EXPECT_FALSE(openAfter);
    }
    EXPECT_EQ(result, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, ResultTest,
    ::testing::Values(ResultCase{"MsgBoxConfirmGivesOne", Kind::MsgBox, "comfirmbtn", QDialog::Accepted},
                      ResultCase{"MsgBoxCancelGivesZero", Kind::MsgBox, "cancelbtn", QDialog::Rejected},
                      ResultCase{"MsgBoxCloseGivesZero", Kind::MsgBox, "closebtn", QDialog::Rejected},
                      ResultCase{"MsgBoxEscapeKeepsItOpen", Kind::MsgBox, nullptr, kStillOpen},
                      ResultCase{"AboutCloseEndsIt", Kind::About, "closebtn", QDialog::Rejected},
                      ResultCase{"AboutUsageAgreementKeepsItOpen", Kind::About, "pushButton_2", kStillOpen},
                      ResultCase{"AboutPrivacyAgreementKeepsItOpen", Kind::About, "pushButton", kStillOpen},
                      ResultCase{"AboutEscapeKeepsItOpen", Kind::About, nullptr, kStillOpen},
                      ResultCase{"SetOkGivesOne", Kind::Set, "okbtn", QDialog::Accepted},
                      ResultCase{"SetCancelGivesZero", Kind::Set, "cancelbtn", QDialog::Rejected},
                      ResultCase{"SetCloseGivesZero", Kind::Set, "closebtn", QDialog::Rejected},
                      ResultCase{"SetGeneralTabKeepsItOpen", Kind::Set, "pushButton", kStillOpen},
                      ResultCase{"SetEscapeKeepsItOpen", Kind::Set, nullptr, kStillOpen}),
    [](const ::testing::TestParamInfo<ResultCase>& info) { return std::string(info.param.name); });

// Built, run and deleted over and over, as the main window does: the leak checker of the
// sanitizer build reports anything a dialog leaves behind.
TEST(DialogLifetimeTest, OpeningAndClosingTenTimesLeavesNothing) {
    for (Kind kind : {Kind::MsgBox, Kind::About, Kind::Set}) {
        for (int i = 0; i < 10; ++i) {
            auto dialog = Make(kind);
            const int result = ExecAndDo(*dialog, [&] { QTest::mouseClick(Child<QAbstractButton>(*dialog, "closebtn"), Qt::LeftButton); });
            ASSERT_EQ(result, QDialog::Rejected) << "kind " << int(kind) << ", round " << i;
        }
    }
}

// ---- Window: size, frame ----

struct FrameCase {
    const char* name;
    Kind kind;
    QSize size;
};

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.name;
}

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, IsAFramelessWindowOfFixedSize) {
    const FrameCase& c = GetParam();
    auto dialog = Make(c.kind);
    EXPECT_TRUE(dialog->isWindow());
    EXPECT_TRUE(dialog->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(dialog->size(), c.size);
    dialog->resize(900, 900);
    EXPECT_EQ(dialog->size(), c.size);
    dialog->show();
    EXPECT_EQ(dialog->size(), c.size);
    dialog->resize(100, 100);
    EXPECT_EQ(dialog->size(), c.size);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, FrameTest,
                         ::testing::Values(FrameCase{"MsgBox", Kind::MsgBox, {400, 250}},
                                           FrameCase{"About", Kind::About, {476, 340}},
                                           FrameCase{"Set", Kind::Set, {680, 572}}),
                         [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

TEST(CMsgBoxTest, IsAToolWindow) {
    CMsgBox box;
    EXPECT_EQ(box.windowType(), Qt::Tool);
}

// ---- Drag by the body ----

void SendMouse(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, at, button, held, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

struct DragCase {
    const char* name;
    Kind kind;
    QPoint press;   // in the dialog
    const char* on; // the widget under the press, which passes it on to the dialog
    bool moves;
};

void PrintTo(const DragCase& c, std::ostream* out) {
    *out << c.name;
}

class BodyDragTest : public ::testing::TestWithParam<DragCase> {};

TEST_P(BodyDragTest, MovesTheDialogWithinTheDefaultArea) {
    const DragCase& c = GetParam();
    auto dialog = Make(c.kind);
    dialog->show(); // lays out every child, so that the point finds what the user would see there
    dialog->move(100, 100);
    ASSERT_EQ(dialog->pos(), QPoint(100, 100));
    // The press lands on whatever the user points at; it reaches the dialog when that ignores it.
    QWidget* target = dialog->childAt(c.press);
    if (!target)
        target = dialog.get();
    ASSERT_EQ(target->objectName(), QString::fromLatin1(c.on));
    const QPoint offset = target->mapTo(dialog.get(), QPoint(0, 0));
    const QPoint at = c.press - offset;
    SendMouse(*target, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(*target, QEvent::MouseMove, at + QPoint(-30, 12), Qt::NoButton, Qt::LeftButton);
    SendMouse(*target, QEvent::MouseButtonRelease, at + QPoint(-30, 12), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(dialog->pos(), c.moves ? QPoint(70, 112) : QPoint(100, 100));
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, BodyDragTest,
    ::testing::Values(DragCase{"MsgBoxByItsText", Kind::MsgBox, {60, 100}, "label_title", true},
                      DragCase{"MsgBoxByItsTitle", Kind::MsgBox, {20, 15}, "label_wintitle", true},
                      DragCase{"MsgBoxByItsLastPixel", Kind::MsgBox, {399, 249}, "CMsgBox", true},
                      DragCase{"AboutByItsVersion", Kind::About, {60, 176}, "label_3", true},
                      DragCase{"AboutByItsLastPixel", Kind::About, {475, 339}, "CAbout", true},
                      DragCase{"SetByItsPage", Kind::Set, {300, 300}, "widget_3", true},
                      DragCase{"SetRightOfTheDefaultArea", Kind::Set, {660, 300}, "widget_3", false},
                      DragCase{"SetBelowTheDefaultArea", Kind::Set, {300, 500}, "widget_3", false}),
    [](const ::testing::TestParamInfo<DragCase>& info) { return std::string(info.param.name); });

// ---- Texts ----

// Answers every lookup with its context and source, so that a text shows which context it was
// translated in.
class ContextTranslator : public QTranslator {
public:
    QString translate(const char* context, const char* source, const char*, int) const override {
        return QStringLiteral("[%1]%2").arg(QString::fromUtf8(context), QString::fromUtf8(source));
    }
    bool isEmpty() const override { return false; }
};

struct TextCase {
    const char* name;
    Kind kind;
    const char* context;
    const char* object;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* out) {
    *out << c.name;
}

class TextTest : public ::testing::TestWithParam<TextCase> {};

QString TextOf(QWidget& dialog, const char* object) {
    QObject* child = dialog.findChild<QObject*>(QString::fromLatin1(object));
    EXPECT_NE(child, nullptr) << object;
    return child ? child->property("text").toString() : QString();
}

TEST_P(TextTest, ShowsItsTextTranslatedInTheDialogsContext) {
    const TextCase& c = GetParam();
    const QString text = QString::fromUtf8(c.text);
    EXPECT_EQ(TextOf(*Make(c.kind), c.object), text);
    ContextTranslator translator;
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    const QString translated = TextOf(*Make(c.kind), c.object);
    QCoreApplication::removeTranslator(&translator);
    EXPECT_EQ(translated, QStringLiteral("[%1]%2").arg(QString::fromLatin1(c.context), text));
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, TextTest,
    ::testing::Values(TextCase{"MsgBoxTitle", Kind::MsgBox, "CMsgBox", "label_wintitle", "退出"},
                      TextCase{"MsgBoxWarning", Kind::MsgBox, "CMsgBox", "label_title", "退出云盘将中止任务！"},
                      TextCase{"MsgBoxQuestion", Kind::MsgBox, "CMsgBox", "label_text", "是否退出？"},
                      TextCase{"MsgBoxConfirm", Kind::MsgBox, "CMsgBox", "comfirmbtn", "确定"},
                      TextCase{"MsgBoxCancel", Kind::MsgBox, "CMsgBox", "cancelbtn", "取消"},
                      TextCase{"AboutTitle", Kind::About, "CAbout", "label", "关于"},
                      TextCase{"AboutVersion", Kind::About, "CAbout", "label_3", "版本号：1.0.0.1010"},
                      TextCase{"AboutRights", Kind::About, "CAbout", "label_4", "版权所有 © Nimbo，保留所有权利。"},
                      TextCase{"AboutUsageAgreement", Kind::About, "CAbout", "pushButton_2", "使用协议"},
                      TextCase{"AboutPrivacyAgreement", Kind::About, "CAbout", "pushButton", "隐私协议"},
                      TextCase{"SetTitle", Kind::Set, "CSet", "label", "设置"},
                      TextCase{"SetGeneralTab", Kind::Set, "CSet", "pushButton", "常规"},
                      TextCase{"SetNetworkTab", Kind::Set, "CSet", "pushButton_2", "网络"},
                      TextCase{"SetSecurityTab", Kind::Set, "CSet", "pushButton_3", "安全"},
                      TextCase{"SetOtherTab", Kind::Set, "CSet", "pushButton_4", "其他"},
                      TextCase{"SetStartUp", Kind::Set, "CSet", "checkBox", "开机时启动Nimbo安全云盘（推荐）"},
                      TextCase{"SetUnlimited", Kind::Set, "CSet", "radioButton", "无限制"},
                      TextCase{"SetLimited", Kind::Set, "CSet", "radioButton_2", "限制传输速度"},
                      TextCase{"SetFileLocation", Kind::Set, "CSet", "label_13", "   文件位置"},
                      TextCase{"SetChangeLocation", Kind::Set, "CSet", "pushButton_5", "更改位置"},
                      TextCase{"SetOk", Kind::Set, "CSet", "okbtn", "确定"},
                      TextCase{"SetCancel", Kind::Set, "CSet", "cancelbtn", "取消"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

// The two lines of the exit box are rows 25 pixels high that hold their text whole.
TEST(CMsgBoxTest, MessageLinesHoldTheirText) {
    CMsgBox box;
    box.show();
    for (const char* name : {"label_title", "label_text"}) {
        auto* label = Child<QLabel>(box, name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->height(), 25) << name;
        EXPECT_LE(label->fontMetrics().height(), label->height()) << name;
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width()) << name;
    }
}

// ---- The settings dialog's pages ----

const char* const kPages[] = {"widget_3", "widget_4", "widget_5", "widget_6"};

// The pages shown, by name.
std::vector<std::string> ShownPages(CSet& dialog) {
    std::vector<std::string> shown;
    for (const char* page : kPages) {
        auto* widget = Child<QWidget>(dialog, page);
        if (widget && widget->isVisibleTo(&dialog))
            shown.push_back(page);
    }
    return shown;
}

TEST(CSetTest, OffersOnlyTheGeneralTabAndPage) {
    CSet dialog;
    dialog.show();
    auto* general = Child<QAbstractButton>(dialog, "pushButton");
    ASSERT_NE(general, nullptr);
    EXPECT_TRUE(general->isVisible());
    EXPECT_TRUE(general->isChecked());
    for (const char* hidden : {"pushButton_2", "pushButton_3", "pushButton_4"})
        EXPECT_TRUE(Child<QWidget>(dialog, hidden)->isHidden()) << hidden;
    EXPECT_EQ(ShownPages(dialog), std::vector<std::string>{"widget_3"});

    // Clicking the checked tab again keeps it checked and its page shown.
    QTest::mouseClick(general, Qt::LeftButton);
    EXPECT_TRUE(general->isChecked());
    EXPECT_EQ(ShownPages(dialog), std::vector<std::string>{"widget_3"});

    // The click is what brings the general page back after another one was shown.
    dialog.on_pushButton_4_clicked();
    ASSERT_EQ(ShownPages(dialog), std::vector<std::string>{"widget_6"});
    QTest::mouseClick(general, Qt::LeftButton);
    EXPECT_EQ(ShownPages(dialog), std::vector<std::string>{"widget_3"});
}

struct PageCase {
    const char* slot;
    const char* page;
};

void PrintTo(const PageCase& c, std::ostream* out) {
    *out << c.slot;
}

class CSetPageTest : public ::testing::TestWithParam<PageCase> {};

TEST_P(CSetPageTest, TabSlotShowsItsPageAlone) {
    const PageCase& c = GetParam();
    CSet dialog;
    dialog.show();
    // From each page in turn, so that every page is seen hidden by this slot.
    for (const char* from : {"on_pushButton_clicked", "on_pushButton_2_clicked", "on_pushButton_3_clicked",
                             "on_pushButton_4_clicked"}) {
        ASSERT_TRUE(QMetaObject::invokeMethod(&dialog, from));
        ASSERT_TRUE(QMetaObject::invokeMethod(&dialog, c.slot));
        EXPECT_EQ(ShownPages(dialog), std::vector<std::string>{c.page}) << "after " << from;
    }
}

INSTANTIATE_TEST_SUITE_P(Tabs, CSetPageTest,
                         ::testing::Values(PageCase{"on_pushButton_clicked", "widget_3"},
                                           PageCase{"on_pushButton_2_clicked", "widget_4"},
                                           PageCase{"on_pushButton_3_clicked", "widget_5"},
                                           PageCase{"on_pushButton_4_clicked", "widget_6"}),
                         [](const ::testing::TestParamInfo<PageCase>& info) {
                             std::string name = info.param.slot;
                             name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
                             return name;
                         });

// The dialog keeps nothing: what was entered and confirmed is gone in the next one.
TEST(CSetTest, AFreshDialogStartsFromTheSameValues) {
    {
        CSet first;
        const int result = ExecAndDo(first, [&] {
            Child<QCheckBox>(first, "checkBox")->setChecked(true);
            Child<QRadioButton>(first, "radioButton_2")->setChecked(true);
            first.on_pushButton_2_clicked();
            QTest::keyClicks(Child<QLineEdit>(first, "lineEdit"), QStringLiteral("512"));
            QTest::keyClicks(Child<QLineEdit>(first, "lineEdit_2"), QStringLiteral("128"));
            QTest::mouseClick(Child<QAbstractButton>(first, "okbtn"), Qt::LeftButton);
        });
        ASSERT_EQ(result, QDialog::Accepted);
        ASSERT_EQ(Child<QLineEdit>(first, "lineEdit")->text(), QStringLiteral("512"));
    }
    CSet fresh;
    fresh.show();
    EXPECT_FALSE(Child<QCheckBox>(fresh, "checkBox")->isChecked());
    EXPECT_TRUE(Child<QRadioButton>(fresh, "radioButton")->isChecked());
    EXPECT_FALSE(Child<QRadioButton>(fresh, "radioButton_2")->isChecked());
    EXPECT_TRUE(Child<QLineEdit>(fresh, "lineEdit")->text().isEmpty());
    EXPECT_TRUE(Child<QLineEdit>(fresh, "lineEdit_2")->text().isEmpty());
    EXPECT_EQ(Child<QLabel>(fresh, "label_14")->text(), QStringLiteral("TextLabel"));
    EXPECT_EQ(ShownPages(fresh), std::vector<std::string>{"widget_3"});
}

} // namespace
