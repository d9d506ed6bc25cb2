#include "common/WorkPools.h"

#include "common/TsanAnnotations.h"

#include <QRunnable>

#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// OpenSSL's state of a pool thread (its random generator, its error queue), released when the
// thread ends: when it expires idle, or when its pool ends at exit. The pools are made after
// OpenSSL is set up (MakePool), so they end before OpenSSL's own clean-up at exit, and no thread
// releases its state into a torn-down OpenSSL. Released after every task instead, the state
// would be made anew by the next (a random generator seeded for each multipart boundary).
struct OpenSslThreadState {
    ~OpenSslThreadState() { OPENSSL_thread_stop(); }
};

// Qt's pool hands the task over behind its own lock, which ThreadSanitizer cannot see: the task
// says so itself. The pool deletes it after its run.
class PoolTask : public QRunnable {
public:
    explicit PoolTask(std::function<void()> work) : m_work(std::move(work)) { TsanRelease(this); }
    void run() override {
        TsanAcquire(this);
        thread_local OpenSslThreadState state;
        (void)state;
        m_work();
    }

private:
    std::function<void()> m_work;
};

QThreadPool* MakePool(int threads) {
    // First, so that OpenSSL's clean-up at exit is registered before the pool's end (see above).
    OPENSSL_init_crypto(0, nullptr);
    auto* pool = new QThreadPool();
    pool->setMaxThreadCount(threads);
    return pool;
}

} // namespace

namespace WorkPools {

// Made on first use and ended at exit, before the engine object they run work for (which was
// made earlier): each waits for its running work first.
QThreadPool& Transfers() {
    static const std::unique_ptr<QThreadPool> pool(MakePool(TransferThreadsFor(10, 5)));
    return *pool;
}

QThreadPool& Control() {
    static const std::unique_ptr<QThreadPool> pool(MakePool(kControlThreads));
    return *pool;
}

void Start(QThreadPool& pool, std::function<void()> work) {
    pool.start(new PoolTask(std::move(work)));
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
