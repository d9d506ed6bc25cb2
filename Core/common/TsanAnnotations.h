#pragma once
// What ThreadSanitizer cannot see for itself. Qt's library is not built for ThreadSanitizer, so the
// hand-offs that go through Qt's own locks are invisible to it and would be reported as races:
// - a posted event: QCoreApplication::postEvent on one thread happens before the receiver's
//   event() on another. The poster calls TsanReleaseEvent right before postEvent; every receiver
//   of core events calls TsanAcquireEvent first thing in its event().
// - state that Qt shares between threads behind its own locks where no suppression can name the
//   frames (Debian's Qt has no symbols for them): the code that drives it holds a
//   TsanIgnoreAccesses while it does. Locks taken meanwhile still count.
// Outside a ThreadSanitizer build all of this compiles to nothing.

#include <QEvent>

#if defined(__SANITIZE_THREAD__)
#define NIMBO_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NIMBO_TSAN_BUILD 1
#endif
#endif

#ifdef NIMBO_TSAN_BUILD
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

// On the posting thread, after the event's payload is filled and before it is posted.
inline void TsanReleaseEvent(const QEvent* event) {
#ifdef NIMBO_TSAN_BUILD
    __tsan_release(const_cast<QEvent*>(event));
#else
    Q_UNUSED(event);
#endif
}

// On the receiving thread, before the event's payload is read. Any event may be passed: one that
// was never released is left alone.
inline void TsanAcquireEvent(const QEvent* event) {
#ifdef NIMBO_TSAN_BUILD
    __tsan_acquire(const_cast<QEvent*>(event));
#else
    Q_UNUSED(event);
#endif
}

// The same for any other hand-off through Qt (a task given to Qt's thread pool): release on the
// handing thread before the hand-off, acquire on the receiving one before it reads what it got.
inline void TsanRelease(const void* address) {
#ifdef NIMBO_TSAN_BUILD
    __tsan_release(const_cast<void*>(address));
#else
    Q_UNUSED(address);
#endif
}

inline void TsanAcquire(const void* address) {
#ifdef NIMBO_TSAN_BUILD
    __tsan_acquire(const_cast<void*>(address));
#else
    Q_UNUSED(address);
#endif
}

// While one lives, ThreadSanitizer ignores this thread's memory accesses (its own and those of the
// library calls it makes). Keep the scope to the calls into Qt.
class TsanIgnoreAccesses {
public:
    TsanIgnoreAccesses() {
#ifdef NIMBO_TSAN_BUILD
        __tsan_ignore_thread_begin();
#endif
    }
    ~TsanIgnoreAccesses() {
#ifdef NIMBO_TSAN_BUILD
        __tsan_ignore_thread_end();
#endif
    }
    TsanIgnoreAccesses(const TsanIgnoreAccesses&) = delete;
    TsanIgnoreAccesses& operator=(const TsanIgnoreAccesses&) = delete;
};
