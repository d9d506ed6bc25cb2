#include "Database/QCDbThread.h"

#include <openssl/crypto.h>

#include <chrono>
#include <memory>
#include <utility>

QCDbThread::QCDbThread(std::function<qint64()> tick) : m_tick(std::move(tick)) {}

QCDbThread::~QCDbThread() {
    Stop();
}

void QCDbThread::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable())
        return;
    m_accepting = true;
    m_stopping = false;
    m_thread = std::thread([this] { Run(); });
    m_id = m_thread.get_id();
}

bool QCDbThread::HandIn(Job& entry, std::unique_lock<std::mutex>& lock) {
    if (std::this_thread::get_id() == m_id) {
        lock.unlock();
        (*entry.work)();
        entry.ranHere = true;
        return true;
    }
    if (!m_accepting)
        return false;
    m_jobs.push_back(&entry);
    m_wake.notify_one();
    return true;
}

bool QCDbThread::Call(const std::function<void()>& job) {
    Job entry;
    entry.work = &job;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!HandIn(entry, lock))
        return false;
    if (!entry.ranHere)
        m_done.wait(lock, [&entry] { return entry.done; });
    return true;
}

bool QCDbThread::Post(std::function<void()> job) {
    auto entry = std::make_unique<Job>();
    entry->posted = true;
    entry->own = std::move(job);
    entry->work = &entry->own;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!HandIn(*entry, lock))
        return false;
    if (!entry->ranHere)
        entry.release(); // the queue owns it now: Run deletes it once it has run
    return true;
}

void QCDbThread::Stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::this_thread::get_id() == m_id)
            return;
        m_accepting = false;
        m_stopping = true;
        m_wake.notify_one();
        ending.swap(m_thread);
    }
    // Taken out under the lock, so two Stops never join one thread.
    if (ending.joinable())
        ending.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        m_id = std::thread::id();
}

void QCDbThread::Run() {
    const auto runTick = [this]() -> qint64 { return m_tick ? m_tick() : -1; };
    // The tick's next run: `delay` ms after `since`; none while delay is -1.
    qint64 delay = runTick();
    auto since = std::chrono::steady_clock::now();
    const auto elapsedMs = [&since] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
            .count();
    };

    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (!m_jobs.empty()) {
            Job* job = m_jobs.front();
            m_jobs.pop_front();
            lock.unlock();
            (*job->work)();
            if (job->posted) {
                delete job; // nobody waits for it
            } else {
                lock.lock();
                job->done = true;
                m_done.notify_all();
                lock.unlock();
            }
            delay = runTick();
            since = std::chrono::steady_clock::now();
            lock.lock();
            continue;
        }
        if (m_stopping)
            break;
        if (delay < 0) {
            m_wake.wait(lock);
            continue;
        }
        const qint64 left = delay - elapsedMs();
        if (left > 0) {
            // Woken early by a job, by Stop or spuriously: the loop looks again.
            m_wake.wait_for(lock, std::chrono::milliseconds(left));
            continue;
        }
        lock.unlock();
        delay = runTick();
        since = std::chrono::steady_clock::now();
        lock.lock();
    }
    lock.unlock();
    // The jobs hashed paths: OpenSSL's state of this thread goes now, while the process and its
    // OpenSSL are certainly alive, not in a thread-exit handler that may meet OpenSSL's own
    // clean-up at process exit.
    OPENSSL_thread_stop();
}
