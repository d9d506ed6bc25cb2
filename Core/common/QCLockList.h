#pragma once
// A first-in first-out list that carries work between threads: any thread adds, one consumer
// thread takes, sleeping in FetchWait while the list is empty. Elements are copied in and handed
// out by assignment; no reference into the list leaves it.
//
// FetchWait returns at once when the list already holds an element and sleeps only while it is
// empty: a backlog drains at once instead of one element per time-out. A wake reaches only the
// threads waiting at that moment, so looking first also means no element waits for a later wake.
//
// m_items and m_wakes are guarded by m_mutex (not recursive: no operation calls another while
// holding it); m_wake is always used with m_mutex. Standard locks rather than Qt's: Qt's library is
// not built for ThreadSanitizer, which sees through std::mutex but not through QMutex.

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

template <typename T>
class QCLockList {
public:
    QCLockList() = default;
    QCLockList(const QCLockList&) = delete;
    QCLockList& operator=(const QCLockList&) = delete;

    // Appends at the tail and wakes every waiting consumer.
    void Add(const T& item) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(item);
            ++m_wakes;
        }
        m_wake.notify_all();
    }

    // Inserts before every element already queued (urgent work) and wakes every waiting consumer.
    void AddFront(const T& item) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_front(item);
            ++m_wakes;
        }
        m_wake.notify_all();
    }

    // Takes the head into `out`; false and `out` untouched when the list is empty.
    bool Fetch(T& out) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return TakeHeadLocked(out);
    }

    // Takes the head at once when there is one. Otherwise sleeps until Add, AddFront or Stop wakes
    // it or `ms` milliseconds pass (ULONG_MAX: no limit), then takes the head if one arrived;
    // false and `out` untouched when there is none (after a Stop, or when another thread took it
    // first).
    bool FetchWait(T& out, unsigned long ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_items.empty()) {
            // Counting wakes tells a real one from a spurious return of the condition variable.
            const unsigned long long seen = m_wakes;
            const auto woken = [&] { return m_wakes != seen; };
            if (ms == ULONG_MAX) // no time limit, as with QWaitCondition
                m_wake.wait(lock, woken);
            else
                m_wake.wait_for(lock, std::chrono::milliseconds(qint64(ms)), woken);
        }
        return TakeHeadLocked(out);
    }

    int Count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(m_items.size());
    }

    // Whether an element equal to `item` (by T's ==) is queued.
    bool Exists(const T& item) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_items.begin(), m_items.end(), item) != m_items.end();
    }

    // Drops every element and wakes every waiting consumer. The list stays usable afterwards.
    void Stop() {
        std::deque<T> dropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            dropped.swap(m_items);
            ++m_wakes;
        }
        m_wake.notify_all();
        // `dropped` dies here, outside the lock: an element's destructor may use this list.
    }

private:
    bool TakeHeadLocked(T& out) {
        if (m_items.empty())
            return false;
        out = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    std::deque<T> m_items;          // head = oldest, except for elements put there by AddFront
    unsigned long long m_wakes = 0; // wakes given so far by Add, AddFront and Stop
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
};
