// The receiver of core events: what reaches the login manager, the registered window, or nothing.
#include "login/CLoginMgr.h"
#include "login/QCUIEventNetwork.h"
#include "main/QCUIEventReceiver.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A main window as far as the receiver can tell: it keeps the type of every event it is given.
class WindowDouble : public QObject {
public:
    bool event(QEvent* e) override {
        types.push_back(int(e->type()));
        return true;
    }
    std::vector<int> types;
};

std::unique_ptr<QEvent> MakeEvent(int type) {
    switch (type) {
    case QCUIEventNetwork::LoginAck:
        return std::make_unique<QCUIEventLoginAck>(nullptr);
    case QCUIEventNetwork::AutoLoginAck:
        return std::make_unique<QCUIEventAutoLoginAck>(nullptr);
    case QCUIEventNetwork::HeadImgAck:
        return std::make_unique<QCUIEventHeadImgAck>(nullptr);
    case QCUIEventNetwork::CaptchaAck:
        return std::make_unique<QCUIEventCaptchaAck>(nullptr);
    case QCUIEventNetwork::RDAck:
        return std::make_unique<QCUIEventRDAck>(nullptr);
    }
    return std::make_unique<QEvent>(QEvent::Type(type));
}

struct RouteRow {
    const char* name;
    int type;
    bool reachesWindow;
};

class EventReceiverTest : public ::testing::TestWithParam<RouteRow> {
protected:
    void TearDown() override { QCUIEventReceiver::GetInstance()->SetMainWnd(nullptr); }
};

TEST_P(EventReceiverTest, Routes) {
    WindowDouble window;
    QCUIEventReceiver* receiver = QCUIEventReceiver::GetInstance();
    receiver->SetMainWnd(&window);
    EXPECT_EQ(receiver->getMainWnd(), &window);
    const std::unique_ptr<QEvent> event = MakeEvent(GetParam().type);
    const bool consumed = QCoreApplication::sendEvent(receiver, event.get());
    // The login manager's replies are its own, whatever becomes of them.
    if (GetParam().type >= 2301 && GetParam().type <= 2305) {
        EXPECT_TRUE(consumed);
    }
    EXPECT_EQ(window.types, GetParam().reachesWindow ? std::vector<int>{GetParam().type} : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(Types, EventReceiverTest,
                         ::testing::Values(RouteRow{"BelowTheRange", 1999, false},
                                           RouteRow{"FirstOfTheRange", 2000, true},
                                           RouteRow{"FileUpdate", 2201, true},
                                           RouteRow{"Status", 2205, true},
                                           RouteRow{"LastOfTheRange", 2999, true},
                                           RouteRow{"AboveTheRange", 3000, false},
                                           RouteRow{"LoginReplyWithoutClient", 2301, false},
                                           RouteRow{"CookieLoginReply", 2302, false},
                                           RouteRow{"FaceReply", 2303, false},
                                           RouteRow{"CaptchaReply", 2304, false},
                                           RouteRow{"HandOffReply", 2305, false}),
                         [](const ::testing::TestParamInfo<RouteRow>& info) { return info.param.name; });

TEST(EventReceiverWindowTest, AfterTheRegistrationIsClearedNothingIsReached) {
    QCUIEventReceiver* receiver = QCUIEventReceiver::GetInstance();
    WindowDouble window;
    receiver->SetMainWnd(&window);
    receiver->SetMainWnd(nullptr);
    EXPECT_EQ(receiver->getMainWnd(), nullptr);
    QEvent status(QEvent::Type(2205));
    QCoreApplication::sendEvent(receiver, &status);
    EXPECT_TRUE(window.types.empty());
    EXPECT_EQ(receiver->thread(), QCoreApplication::instance()->thread());
}

TEST(EventReceiverWindowTest, ADestroyedWindowIsNeverReached) {
    QCUIEventReceiver* receiver = QCUIEventReceiver::GetInstance();
    auto window = std::make_unique<WindowDouble>();
    receiver->SetMainWnd(window.get());
    window.reset();
    EXPECT_EQ(receiver->getMainWnd(), nullptr);
    QEvent status(QEvent::Type(2205));
    QCoreApplication::sendEvent(receiver, &status); // ASan: no use of the destroyed window
    receiver->SetMainWnd(nullptr);
}

} // namespace
