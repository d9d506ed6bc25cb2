#pragma once
// A thread that owns database connections and runs the jobs other threads hand to it, one at a
// time and in the order they arrive, while each caller waits for its own job (Call) or goes on
// (Post). Between jobs it runs a tick, which says when it wants to run again (the sync database's
// timed commit).
//
// Ending. Stop returns only once the thread has ended completely, its thread-local clean-up
// included (Qt's thread data, OpenSSL's per-thread state, which the thread releases itself at the
// end of its run). Hence a joinable std::thread rather than a QThread: QThread::wait() returns
// before that clean-up has run, and a process that exits meanwhile tears down OpenSSL under the
// thread's feet. Qt SQL still sees a thread of its own here: Qt adopts the thread on first use
// (QThread::currentThread()) and ends that adoption in the thread's own clean-up.
//
// Threads and locks: Start, Call and Stop from any thread (Stop not from this thread); the jobs and
// the tick run on this thread only. Every field below m_mutex is guarded by it.

#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class QCDbThread {
public:
    // `tick` runs on this thread after every job and whenever the delay it last returned has
    // passed; it returns the milliseconds until it wants to run again, or -1 for "after the next
    // job". May be empty.
    explicit QCDbThread(std::function<qint64()> tick);
    // Stops the thread when it still runs.
    ~QCDbThread();
    QCDbThread(const QCDbThread&) = delete;
    QCDbThread& operator=(const QCDbThread&) = delete;

    // Starts the thread; from then on Call accepts jobs. No effect while it runs.
    void Start();
    // Runs `job` on this thread and returns once it has run; runs it at once when called on this
    // thread. False, with the job not run, when the thread is not started or is stopping.
    bool Call(const std::function<void()>& job);
    // Queues `job` behind the jobs handed in so far and returns at once; runs it at once when
    // called on this thread. False, with the job dropped, when the thread is not started or is
    // stopping.
    bool Post(std::function<void()> job);
    // Runs the jobs already handed in, ends the thread and returns once it has ended completely.
    // Not on this thread (it would wait for itself: nothing happens then).
    void Stop();

private:
    struct Job {
        const std::function<void()>* work = nullptr;
        bool done = false;         // guarded by m_mutex
        bool posted = false;       // owned by the queue: deleted once it has run
        bool ranHere = false;      // handed in on this thread, and run there at once
        std::function<void()> own; // a posted job's work
    };
    // Queues `entry`, or runs it at once when called on this thread (ranHere). False when the
    // thread does not accept jobs. `lock` holds m_mutex (released when the job runs here).
    bool HandIn(Job& entry, std::unique_lock<std::mutex>& lock);

    void Run();

    const std::function<qint64()> m_tick;
    std::mutex m_mutex;
    std::condition_variable m_wake; // jobs arrived, or stop
    std::condition_variable m_done; // a job has run
    std::deque<Job*> m_jobs;        // the callers own the jobs, but posted ones
    bool m_accepting = false;       // from Start to Stop
    bool m_stopping = false;
    std::thread m_thread; // joined by Stop
    std::thread::id m_id; // m_thread's id while it runs
};
