#include "Database/QCDbThread.h"

#include <QElapsedTimer>

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
    const auto runTick = [this]() -> qint64 { return m_tick ? m_tick() : -1; };
    // The tick's next run: `delay` ms after `since` was started; none while delay is -1.
    qint64 delay = runTick();
    QElapsedTimer since;
    since.start();

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
            delay = runTick();
            since.restart();
            lock.lock();
            continue;
        }
        if (m_stopping)
            break;
        if (delay < 0) {
            m_wake.wait(lock);
            continue;
        }
        const qint64 left = delay - since.elapsed();
        if (left > 0) {
            // Woken early by a job, by Stop or spuriously: the loop looks again.
            m_wake.wait_for(lock, std::chrono::milliseconds(left));
            continue;
        }
        lock.unlock();
        delay = runTick();
        since.restart();
        lock.lock();
    }
}
