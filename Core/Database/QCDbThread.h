#pragma once
// A thread that owns database connections and runs the jobs other threads hand to it, one at a
// time and in the order they arrive, while each caller waits for its own job. Between jobs it runs
// a tick, which says when it wants to run again (the sync database's timed commit).
//
// Threads and locks: Call and Stop from any thread; the jobs and the tick run on this thread only.

#include <QThread>
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class QCDbThread : public QThread {
public:
    // `tick` runs on this thread after every job and whenever the delay it last returned has
    // passed; it returns the milliseconds until it wants to run again, or -1 for "after the next
    // job". May be empty.
    explicit QCDbThread(std::function<qint64()> tick);
    // Stops the thread when it still runs.
    ~QCDbThread() override;
    QCDbThread(const QCDbThread&) = delete;
    QCDbThread& operator=(const QCDbThread&) = delete;

    // Starts the thread; from then on Call accepts jobs.
    void Start();
    // Runs `job` on this thread and returns once it has run; runs it at once when called on this
    // thread. False, with the job not run, when the thread is not started or is stopping.
    bool Call(const std::function<void()>& job);
    // Runs the jobs already handed in, ends the thread and waits for it. Not on this thread.
    void Stop();

protected:
    void run() override;

private:
    struct Job {
        const std::function<void()>* work;
        bool done = false; // guarded by m_mutex
    };

    const std::function<qint64()> m_tick;
    std::mutex m_mutex;
    std::condition_variable m_wake; // jobs arrived, or stop
    std::condition_variable m_done; // a job has run
    std::deque<Job*> m_jobs;        // guarded by m_mutex; the callers own the jobs
    bool m_accepting = false;       // guarded by m_mutex; from Start to Stop
    bool m_stopping = false;        // guarded by m_mutex
};
