#pragma once
// A private X display for the end-to-end test: Xvfb on a free display (-displayfd) with the window
// manager openbox, and the tools that drive it as a user would: xdotool (windows, pointer, keys)
// and ImageMagick's import (screenshots of the root window, read back with QImage). Everything
// ends with the session. Test thread only.

#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <sys/types.h>

#include <functional>
#include <vector>

// Polls `condition` every 50 ms until it holds; false when `timeoutMs` passed first.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// Pixels of `image` inside `area` whose colour is `colour`, each channel within `tolerance`.
int CountColour(const QImage& image, const QRect& area, QRgb colour, int tolerance = 0);
// The most pixels of `colour` in one row of `area`.
int BestRow(const QImage& image, const QRect& area, QRgb colour);

struct XWindow {
    QString id;
    QString name;
    QRect geometry; // on the root window
};

class XSession {
public:
    XSession() = default;
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // Starts Xvfb on a free display and openbox on it; false (with errorText()) when either did
    // not come up within 20 s.
    bool Start();
    QString display() const { return m_display; }
    QString errorText() const { return m_error; }

    // Runs xdotool with `args`; its standard output, or a null string when it failed.
    QString Xdo(const QStringList& args) const;
    // The visible top-level windows of process `pid`, with their names and places.
    std::vector<XWindow> WindowsOf(qint64 pid) const;
    // The whole screen; a null image when import failed.
    QImage Screenshot() const;

    // Pointer and keyboard, through xdotool.
    bool Activate(const QString& windowId) const;
    bool Click(const QPoint& at, int count = 1) const;
    bool Keys(const QStringList& keys) const;
    bool Type(const QString& text) const;

private:
    QProcessEnvironment Environment() const;

    pid_t m_xvfb = -1;
    QProcess m_windowManager;
    QTemporaryFile m_windowManagerLog;
    QString m_display;
    QString m_error;
};
