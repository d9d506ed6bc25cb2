// The user information pop-up as the main window fills and shows it: the quota text and bar, the
// enterprise rows and their choice by the mouse, the change of account, the hiding on
// deactivation, and what of the form is shown. Its web page buttons reach the core and are tested
// with a signed-in core elsewhere.
#include "main/CElementItem.h"
#include "main/CPopUserInfoWnd.h"
#include "main/UserQuota.h"

#include "widgets/CProgressBar.h"
#include "widgets/QButtonCustom.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const quint64 kGiB = quint64(1) << 30;

// A part of the form by its name; a missing one fails the test (GoogleTest reports the exception)
// instead of crashing it.
template <typename T>
T* Part(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    if (!child)
        throw std::runtime_error(std::string("no ") + name);
    return child;
}

struct QuotaCase {
    const char* name;
    quint64 used;
    quint64 total;
    const char* text;
    int bar;
};

class QuotaTest : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(QuotaTest, ReadsShortAndPutsTheBar) {
    const QuotaCase& c = GetParam();
    const UserQuota quota = QuotaOf(c.used, c.total);
    EXPECT_EQ(quota.text, QString::fromUtf8(c.text));
    EXPECT_EQ(quota.barPos, c.bar);

    // As the main window hands it to the pop-up.
    CPopUserInfoWnd popup;
    popup.SetMemoryText(quota.text);
    popup.SetProgressBarPos(quota.barPos);
    EXPECT_EQ(Part<QLabel>(popup, "label_memoryTip")->text(), quota.text);
    EXPECT_EQ(popup.quotaBar()->Pos(), c.bar);
}

INSTANTIATE_TEST_SUITE_P(
    Quotas, QuotaTest,
    ::testing::Values(QuotaCase{"OneAndAHalfOfTenGiB", kGiB * 3 / 2, 10 * kGiB, "1.5G/10.0G", 15},
                      QuotaCase{"NothingOfNothing", 0, 0, "0K/0K", 0},
                      QuotaCase{"OneByteOfTenGiB", 1, 10 * kGiB, "1K/10.0G", 1},
                      QuotaCase{"UsedWithoutTotal", 5000, 0, "4.9K/0K", 0},
                      QuotaCase{"Full", 10 * kGiB, 10 * kGiB, "10.0G/10.0G", 100},
                      QuotaCase{"OverFull", 20 * kGiB, 10 * kGiB, "20.0G/10.0G", 100},
                      QuotaCase{"Terabytes", 3 * 1024 * kGiB, 4 * 1024 * kGiB, "3.0T/4.0T", 75},
                      QuotaCase{"BelowOnePercent", 1000 * (quint64(1) << 20), 100 * kGiB, "1000.0M/100.0G", 1}),
    [](const auto& info) { return std::string(info.param.name); });

ENTERPRISE_INFO TwoEnterprises() {
    ENTERPRISE_INFO info;
    ENTERPRISE_ITEM owned;
    owned.eid = QStringLiteral("20001");
    owned.name = QStringLiteral("自己的企业");
    owned.type = ENTERPRISE_OWNER;
    ENTERPRISE_ITEM member;
    member.eid = QStringLiteral("20002");
    member.name = QStringLiteral("别人的企业");
    member.type = ENTERPRISE_MEMBER;
    info.items = {owned, member};
    return info;
}

class PopUpTest : public ::testing::Test {
protected:
    CElementItem* Row(int index) {
        QListWidget* list = popup.enterpriseList();
        if (index >= list->count())
            return nullptr;
        return qobject_cast<CElementItem*>(list->itemWidget(list->item(index)));
    }

    void Show() {
        popup.onShow(QRect(40, 30, 270, 500));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&popup));
    }

    CPopUserInfoWnd popup;
};

TEST_F(PopUpTest, IsTheFormsSizeAndShowsWhereItIsTold) {
    EXPECT_EQ(popup.width(), 270);
    EXPECT_FALSE(popup.isVisible());
    Show();
    EXPECT_TRUE(popup.isVisible());
    EXPECT_EQ(popup.geometry(), QRect(40, 30, 270, 500));
    EXPECT_FALSE(popup.isModal());
}

TEST_F(PopUpTest, ShowsNoEditionOfItsOwnButOffersTheRenewal) {
    Show();
    EXPECT_FALSE(Part<QLabel>(popup, "label_4")->isVisible());
    EXPECT_FALSE(Part<QLabel>(popup, "label_2")->isVisible());
    EXPECT_FALSE(Part<QLabel>(popup, "label_3")->isVisible());
    EXPECT_FALSE(Part<QLabel>(popup, "label_5")->isVisible());
    ASSERT_NE(popup.renewButton(), nullptr);
    EXPECT_TRUE(popup.renewButton()->isVisible());
    EXPECT_EQ(popup.renewButton()->text(), QStringLiteral("续费/升级"));
    EXPECT_EQ(popup.renewButton()->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(Part<QPushButton>(popup, "pushButton_2")->text(), QStringLiteral("帐号详情"));
    EXPECT_EQ(Part<QPushButton>(popup, "pushButton_3")->text(), QStringLiteral("修改密码"));
    EXPECT_EQ(Part<QPushButton>(popup, "pushButton_4")->text(), QStringLiteral("修改昵称"));
    EXPECT_EQ(Part<QPushButton>(popup, "pushButton")->text(), QStringLiteral("更换帐号"));
    EXPECT_EQ(Part<QPushButton>(popup, "pushButton")->iconSize(), QSize(32, 14));
    EXPECT_FALSE(Part<QPushButton>(popup, "pushButton")->icon().isNull());
}

TEST_F(PopUpTest, SetsTheNickName) {
    popup.SetNickName(QStringLiteral("小明"));
    EXPECT_EQ(Part<QLabel>(popup, "label_nickname")->text(), QStringLiteral("小明"));
}

TEST_F(PopUpTest, ListsTheEnterprisesWithTheirCategoryIcons) {
    popup.SetEnterprise(TwoEnterprises());
    ASSERT_EQ(popup.enterpriseList()->count(), 2);
    EXPECT_EQ(Part<QComboBox>(popup, "comboBox")->count(), 2);
    EXPECT_EQ(Part<QComboBox>(popup, "comboBox")->itemText(0), QStringLiteral("自己的企业"));
    ASSERT_NE(Row(0), nullptr);
    ASSERT_NE(Row(1), nullptr);
    EXPECT_EQ(Row(0)->getEid(), QStringLiteral("20001"));
    EXPECT_EQ(Row(1)->getEid(), QStringLiteral("20002"));
    EXPECT_EQ(Row(1)->name(), QStringLiteral("别人的企业"));
    const QImage admin = QPixmap(QStringLiteral(":/skin/main/icon_enterprise_admin.png")).toImage();
    const QImage member = QPixmap(QStringLiteral(":/skin/main/icon_enterprise_member.png")).toImage();
    ASSERT_FALSE(admin.isNull());
    ASSERT_NE(admin, member);
    EXPECT_EQ(Row(0)->iconLabel()->pixmap(Qt::ReturnByValue).toImage(), admin);
    EXPECT_EQ(Row(1)->iconLabel()->pixmap(Qt::ReturnByValue).toImage(), member);

    popup.CleanListItem();
    EXPECT_EQ(popup.enterpriseList()->count(), 0);
    EXPECT_EQ(Part<QComboBox>(popup, "comboBox")->count(), 0);
}

TEST_F(PopUpTest, AnEmptyListHidesTheDropDownUntilAFullOne) {
    Show();
    popup.SetEnterprise(ENTERPRISE_INFO());
    EXPECT_FALSE(Part<QComboBox>(popup, "comboBox")->isVisible());
    popup.CleanListItem();
    popup.SetEnterprise(TwoEnterprises());
    EXPECT_TRUE(Part<QComboBox>(popup, "comboBox")->isVisible());
}

TEST_F(PopUpTest, ALeftPressReleasedAnywhereChoosesTheRow) {
    popup.SetEnterprise(TwoEnterprises());
    Show();
    QSignalSpy chosen(&popup, &CPopUserInfoWnd::onClickedChangeEnterprise);
    CElementItem* second = Row(1);
    ASSERT_NE(second, nullptr);
    QTest::mousePress(second, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(chosen.count(), 0);
    EXPECT_TRUE(popup.isVisible());
    QTest::mouseRelease(second, Qt::LeftButton, Qt::NoModifier, QPoint(-300, 900));
    ASSERT_EQ(chosen.count(), 1);
    EXPECT_EQ(chosen.at(0).at(0).toString(), QStringLiteral("20002"));
    EXPECT_FALSE(popup.isVisible());
}

TEST_F(PopUpTest, ARightPressChoosesNothing) {
    popup.SetEnterprise(TwoEnterprises());
    Show();
    QSignalSpy chosen(&popup, &CPopUserInfoWnd::onClickedChangeEnterprise);
    CElementItem* first = Row(0);
    ASSERT_NE(first, nullptr);
    QTest::mousePress(first, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    QTest::mouseRelease(first, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(chosen.count(), 0);
    EXPECT_TRUE(popup.isVisible());
    // A release ends a press only once.
    QTest::mousePress(first, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTest::mouseRelease(first, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTest::mouseRelease(first, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    ASSERT_EQ(chosen.count(), 1);
    // The enterprise in use is reported like any other.
    EXPECT_EQ(chosen.at(0).at(0).toString(), QStringLiteral("20001"));
}

TEST_F(PopUpTest, ChangeAccountIsReported) {
    Show();
    QSignalSpy account(&popup, &CPopUserInfoWnd::onClickedChangeAccount);
    QSignalSpy enterprise(&popup, &CPopUserInfoWnd::onClickedChangeEnterprise);
    QTest::mouseClick(Part<QPushButton>(popup, "pushButton"), Qt::LeftButton);
    EXPECT_EQ(account.count(), 1);
    EXPECT_EQ(enterprise.count(), 0);
}

TEST_F(PopUpTest, HidesWhenNoLongerActive) {
    Show();
    QEvent other(QEvent::WindowActivate);
    QApplication::sendEvent(&popup, &other);
    EXPECT_TRUE(popup.isVisible());
    QEvent deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(&popup, &deactivate);
    EXPECT_FALSE(popup.isVisible());
    // Shown again, freshly placed.
    popup.onShow(QRect(10, 10, 270, 400));
    EXPECT_TRUE(popup.isVisible());
    EXPECT_EQ(popup.geometry(), QRect(10, 10, 270, 400));
}

} // namespace
