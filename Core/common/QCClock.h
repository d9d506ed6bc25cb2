#pragma once
// The core's monotonic clock in milliseconds. Timers, settle delays, retry delays and throttles of
// the engine and the view thread read it, so that tests can advance time instead of sleeping.
// Normally it follows the system's monotonic clock; a test switches it to manual time, which moves
// only when AdvanceForTests is called. Any thread.

#include <QtGlobal>

namespace QCClock {

// Milliseconds on the core's clock; never goes back.
qint64 NowMs();

// Test hooks: from now on the clock stands still at its current reading and moves only by
// AdvanceForTests; UseSystemForTests returns to the system clock (the reading may then jump).
void UseManualForTests();
void AdvanceForTests(qint64 ms);
void UseSystemForTests();

} // namespace QCClock
