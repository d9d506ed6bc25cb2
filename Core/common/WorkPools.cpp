#include "common/WorkPools.h"

#include "common/TsanAnnotations.h"

#include <QRunnable>

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// The threads of one pool that hold OpenSSL state (their random generator, their error queue).
struct PoolThreads {
    std::mutex lock;
    std::condition_variable gone;
    int holding = 0; // guarded by lock
};

// A pool thread's OpenSSL state, released when the thread ends (it expires idle, or its pool
// ends at exit), not after every task: made anew for each task, the random generator was seeded
// again for every multipart boundary. A thread ending releases it in its thread-local clean-up,
// which runs after QThread::wait() has returned: the pool's end waits for that too (Pool), so no
// thread releases its state into OpenSSL's own clean-up at exit.
struct OpenSslThreadState {
    PoolThreads* pool = nullptr;
    ~OpenSslThreadState() {
        if (!pool)
            return;
        OPENSSL_thread_stop();
        std::lock_guard<std::mutex> guard(pool->lock);
        --pool->holding;
        pool->gone.notify_all();
    }
};

// Qt's pool hands the task over behind its own lock, which ThreadSanitizer cannot see: the task
// says so itself. The pool deletes it after its run. `threads` is null for a pool not made here:
// such a thread releases OpenSSL's state after each task.
class PoolTask : public QRunnable {
public:
    PoolTask(std::function<void()> work, PoolThreads* threads) : m_work(std::move(work)), m_threads(threads) {
        TsanRelease(this);
    }
    void run() override {
        TsanAcquire(this);
        if (!m_threads) {
            m_work();
            OPENSSL_thread_stop();
            return;
        }
        thread_local OpenSslThreadState state;
        if (!state.pool) {
            // A thread serves one pool all its life.
            std::lock_guard<std::mutex> guard(m_threads->lock);
            ++m_threads->holding;
            state.pool = m_threads;
        }
        m_work();
    }

private:
    std::function<void()> m_work;
    PoolThreads* m_threads;
};

// A pool of the engine's and its threads. Made on first use and ended at exit, before the engine
// object they run work for (which was made earlier) and before OpenSSL's clean-up (whose exit
// handler is registered first): the end waits for the running work, then for every thread to
// have released its OpenSSL state (bounded, so that a thread stuck in the system cannot hold up
// the exit for ever).
struct Pool {
    explicit Pool(int threads) {
        // OpenSSL registers its exit handler on its first real initialisation; with no options
        // the call returns at once and initialises nothing, and a pool made before any other use
        // of OpenSSL would then end after OpenSSL's clean-up, its threads' state lost to it. The
        // configuration is what libcurl's own initialisation loads anyway.
        OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
        pool = std::make_unique<QThreadPool>();
        pool->setMaxThreadCount(threads);
    }
    ~Pool() {
        pool.reset();
        std::unique_lock<std::mutex> lock(threads.lock);
        threads.gone.wait_for(lock, std::chrono::seconds(10), [this] { return threads.holding == 0; });
    }
    std::unique_ptr<QThreadPool> pool;
    PoolThreads threads;
};

Pool& TransferPool() {
    static Pool pool(WorkPools::TransferThreadsFor(10, 5));
    return pool;
}

Pool& ControlPool() {
    static Pool pool(WorkPools::kControlThreads);
    return pool;
}

} // namespace

namespace WorkPools {

QThreadPool& Transfers() {
    return *TransferPool().pool;
}

QThreadPool& Control() {
    return *ControlPool().pool;
}

void Start(QThreadPool& pool, std::function<void()> work) {
    PoolThreads* threads = &pool == &Transfers() ? &TransferPool().threads
                           : &pool == &Control() ? &ControlPool().threads
                                                 : nullptr;
    pool.start(new PoolTask(std::move(work), threads));
}

int TransferThreadsFor(double uploads, double downloads) {
    const double units = std::ceil(std::max(0.0, uploads)) + std::ceil(std::max(0.0, downloads));
    return int(std::clamp(2 * units, double(kMinTransferThreads), double(kMaxTransferThreads)));
}

void SizeTransfers(double uploads, double downloads) {
    const int threads = TransferThreadsFor(uploads, downloads);
    QThreadPool& pool = Transfers();
    if (pool.maxThreadCount() != threads)
        pool.setMaxThreadCount(threads);
}

} // namespace WorkPools
