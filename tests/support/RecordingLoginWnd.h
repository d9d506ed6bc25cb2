#pragma once
// The login window with every status call it received, for tests of the login window and of the
// loop around it.

#include "login/CLoginWnd.h"

#include <QLabel>
#include <QString>

#include <utility>
#include <vector>

class RecordingLoginWnd : public CLoginWnd {
public:
    void callbackLoginStatus(int code, QString text) override {
        calls.emplace_back(code, text);
        CLoginWnd::callbackLoginStatus(code, text);
    }
    // The error line's text while it is shown, else empty.
    QString ErrorShown() {
        auto* label = findChild<QLabel*>(QStringLiteral("labelError"));
        return label && !label->isHidden() ? label->text() : QString();
    }
    std::vector<std::pair<int, QString>> calls; // in order
};
