#pragma once
// A polled one-shot timer of the engine, in whole seconds on the core's clock (QCClock). Nothing
// fires by itself: the engine's check loop asks Check() on each pass. Engine thread only.

#include <QtGlobal>

class QCTimer {
public:
    // 0 seconds: never due.
    void SetInterval(int seconds) { m_interval = seconds; }
    int Interval() const { return m_interval; }
    // Arms the timer from now on.
    void Start();
    // Disarms it.
    void Reset() { m_armed = false; }
    bool IsArmed() const { return m_armed; }
    // True once per Start, at the first poll more than the interval after it; the timer is then
    // disarmed. False while disarmed or with an interval of 0.
    bool Check();
    // Milliseconds until Check() would be true, or -1 when it never will.
    qint64 MsUntilDue() const;

private:
    int m_interval = 0;
    bool m_armed = false;
    qint64 m_startMs = 0;
};
