#include "common/WorkPools.h"

#include "common/TsanAnnotations.h"

#include <QRunnable>

#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Qt's pool hands the task over behind its own lock, which ThreadSanitizer cannot see: the task
// says so itself. The pool deletes it after its run.
class PoolTask : public QRunnable {
public:
    explicit PoolTask(std::function<void()> work) : m_work(std::move(work)) { TsanRelease(this); }
    void run() override {
        TsanAcquire(this);
        m_work();
        OPENSSL_thread_stop();
    }

private:
    std::function<void()> m_work;
};

QThreadPool* MakePool(int threads) {
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
