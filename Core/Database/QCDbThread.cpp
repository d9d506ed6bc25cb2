#include "Database/QCDbThread.h"

#include <chrono>
#include <utility>

QCDbThread::QCDbThread(std::function<qint64()> tick) : m_tick(std::move(tick)) {}

QCDbThread::~QCDbThread() {
    Stop();
}

void QCDbThread::Start() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepting = true;
        m_stopping = false;
    }
    start();
}

bool QCDbThread::Call(const std::function<void()>& job) {
    if (QThread::currentThread() == this) {
        job();
        return true;
    }
    Job entry{&job};
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return false;
    m_jobs.push_back(&entry);
    m_wake.notify_one();
    m_done.wait(lock, [&entry] { return entry.done; });
    return true;
}

void QCDbThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepting = false;
        m_stopping = true;
        m_wake.notify_one();
    }
    wait();
}

void QCDbThread::run() {
    using Clock = std::chrono::steady_clock;
    const auto runTick = [this]() -> qint64 { return m_tick ? m_tick() : -1; };
    // When the tick wants to run next; none while it returned -1.
    bool timed = false;
    Clock::time_point due;
    const auto schedule = [&](qint64 delay) {
        timed = delay >= 0;
        if (timed)
            due = Clock::now() + std::chrono::milliseconds(delay);
    };

    schedule(runTick());
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (!m_jobs.empty()) {
            Job* job = m_jobs.front();
            m_jobs.pop_front();
            lock.unlock();
            (*job->work)();
            lock.lock();
            job->done = true;
            m_done.notify_all();
            lock.unlock();
            schedule(runTick());
            lock.lock();
            continue;
        }
        if (m_stopping)
            break;
        if (!timed) {
            m_wake.wait(lock);
        } else if (m_wake.wait_until(lock, due) == std::cv_status::timeout) {
            lock.unlock();
            schedule(runTick());
            lock.lock();
        }
    }
}
